#include "device/turns.h"

#include "common/run_options.h"
#include "common/system.h"
#include "device/marking.h"
#include "device/transfer.h"
#include "device/turns_platform.h"

// A thermometer answers some 80 ms after a command. On Linux the kernel hands
// each report to every reader at once, and a thermometer that nobody reads
// holds its answer until the next run opens it; Wine passes reports on from
// a service process of its own, which takes longer when the machine is busy.
// Half a second of silence outlasts all of these several times over.
int quietLineMs = 500;
// Longer than any burst of answers a run could leave behind.
int quietLineBoundMs = 5000;

namespace {

// A file system that keeps a stamp to the second (vfat keeps even ones)
// may have taken up to 2 s off it.
constexpr std::int64_t kCoarseSlackMs = 2000;

// The read-out under way, which the protocol's word stamps and settles.
struct Marking {
    bool active;  // within a read-out that keeps a mark
    DeviceHandle device;
    MarkPaths paths;
    int count;
    int at;  // the place of this run's mark, or the first it may keep one in
    MarkHandle mark;
    bool owed;  // a command went out whose whole answer is not in
} marking;

void RemoveOwnMark(const char* path) {
    Stamp stamp = {0, true};
    if (WhatLiesAt(path, marking.device, &stamp) == Lying::kOwn) {
        RemoveMark(path);
    }
}

// The youngest dated mark rules; one that tells nothing only where none
// does. marking.at becomes the first place this run may keep its own mark
// in (marking.count: none).
MarkFound LookAtMarks(std::int64_t* ageMs) {
    MarkFound found = MarkFound::kNone;
    marking.at = marking.count;
    for (int i = 0; i < marking.count; ++i) {
        std::int64_t markAgeMs = 0;
        const MarkFound here = LookAtMark(marking.paths[i], marking.device, &markAgeMs);
        if (here == MarkFound::kDated && (found != MarkFound::kDated || markAgeMs < *ageMs)) {
            found = MarkFound::kDated;
            *ageMs = markAgeMs;
        } else if (here == MarkFound::kUndated && found == MarkFound::kNone) {
            found = MarkFound::kUndated;
        }
        int error = 0;
        if (marking.at == marking.count && CanKeepMark(marking.paths[i], marking.device, &error)) {
            marking.at = i;
        }
    }
    return found;
}

}  // namespace

// A mark tells its age only where its owner could have read the thermometer;
// the clock never goes back, so a stamp ahead of it is another boot's.
MarkFound LookAtMark(const char* path, DeviceHandle device, std::int64_t* ageMs) {
    Stamp stamp = {0, true};
    const Lying lying = WhatLiesAt(path, device, &stamp);
    const std::int64_t nowMs = StampClockMs();
    if (lying == Lying::kNothing || lying == Lying::kOther || stamp.ms > nowMs) {
        return lying == Lying::kNothing ? MarkFound::kNone : MarkFound::kUndated;
    }
    *ageMs = nowMs - stamp.ms - (stamp.exact ? 0 : kCoarseSlackMs);
    *ageMs = *ageMs < 0 ? 0 : *ageMs;
    return MarkFound::kDated;
}

QuietLine PlanQuietLine(MarkFound found, std::int64_t ageMs) {
    QuietLine line = {quietLineMs, 0};
    switch (found) {
    case MarkFound::kNone:
        // What a live run was sent is queued here already: the drop before
        // the first command takes it.
        line.quietMs = 0;
        break;
    case MarkFound::kUnknown:
        line.watchMs = transferTimeoutMs;
        break;
    case MarkFound::kUndated:
        break;  // only what the thermometer held: the quiet line covers it
    case MarkFound::kDated:
        // A dead run's answer comes no later than a transfer waits for one
        // after its command.
        line.watchMs = ageMs < transferTimeoutMs ? static_cast<int>(transferTimeoutMs - ageMs) : 0;
        break;
    }
    return line;
}

bool StartOnQuietLine(DeviceHandle device, const QuietLine& line) {
    const int burstMs = quietLineBoundMs > 2 * line.quietMs ? quietLineBoundMs : 2 * line.quietMs;
    int error = 0;
    if (line.quietMs != 0 &&
        !AwaitQuietLine(device, line.quietMs, line.watchMs, line.watchMs + burstMs, &error)) {
        PrintSystemError("ERR ReadFile", error);
        return false;
    }
    return true;
}

int ReadInTurn(DeviceHandle device, const char* devicePath, const Turn& turn,
               ThermometerAction action) {
    marking.device = device;
    marking.count = ListMarkPlaces(devicePath, marking.paths);
    marking.mark = kNoMark;
    marking.owed = false;
    std::int64_t ageMs = 0;
    MarkFound found = LookAtMarks(&ageMs);
    const bool leftovers = found != MarkFound::kNone;
    // With no place for its own mark a run reads unmarked, and cannot tell
    // whether the run before it had one.
    marking.active = marking.at < marking.count;
    found = marking.active && !turn.abandoned ? found : MarkFound::kUnknown;
    // No mark is touched before the first command, so that a run killed
    // while it waits leaves the next one the same time to wait for.
    const bool quiet = StartOnQuietLine(device, PlanQuietLine(found, ageMs));
    marking.active = marking.active && quiet;  // a line never quiet leaves the marks as found
    const int result = quiet ? action(device) : ERROR_SENTINEL;
    // The mark goes unless an answer is still owed, and so do this account's
    // leftovers elsewhere, which would each cost a later run a quiet line.
    int error = 0;
    if (marking.mark != kNoMark &&
        !CloseMark(marking.paths[marking.at], marking.mark, !marking.owed, &error)) {
        PrintDiagnosedError("WRN ClearMark", error);
    }
    for (int i = 0; leftovers && marking.active && !marking.owed && i < marking.count; ++i) {
        RemoveOwnMark(marking.paths[i]);
    }
    marking.active = false;
    return result;
}

bool StampCommand() {
    marking.owed = marking.active;
    int error = 0;
    if (!marking.active || (marking.mark != kNoMark && StampMark(marking.mark, &error))) {
        return true;
    }
    // The next place that takes a new mark: the old one, if any, keeps its
    // earlier stamp until then, which asks a later run for no shorter a wait.
    for (int i = marking.mark == kNoMark ? marking.at : marking.at + 1; i < marking.count; ++i) {
        MarkHandle made = kNoMark;
        // The place the look found was checked then.
        if ((i == marking.at && marking.mark == kNoMark) ||
            CanKeepMark(marking.paths[i], marking.device, &error)) {
            RemoveOwnMark(marking.paths[i]);  // made new, a mark is never another's file
            made = MakeMark(marking.paths[i], marking.device, &error);
        }
        if (made == kNoMark) {
            PrintDiagnosedError("WRN MakeMark", error);
            continue;
        }
        if (marking.mark != kNoMark &&
            !CloseMark(marking.paths[marking.at], marking.mark, true, &error)) {
            PrintDiagnosedError("WRN ClearMark", error);
        }
        marking.mark = made;
        marking.at = i;
        return true;
    }
    PrintSystemError("ERR MarkReadOut", error);
    return false;
}

void AnswerComplete() {
    marking.owed = false;
}
