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

// The read-out under way, which the protocol's word stamps and settles.
struct Marking {
    const char* path;  // null outside a read-out
    MarkHandle mark;
    bool owed;  // a command went out whose whole answer is not in
};

Marking marking = {nullptr, kNoMark, false};

}  // namespace

QuietLine PlanQuietLine(MarkFound found, std::int64_t ageMs) {
    QuietLine line = {quietLineMs, 0};
    switch (found) {
    case MarkFound::kNone:
        // A live run that ended with nothing owed leaves no mark: what it
        // was sent is queued here already, and the drop before the first
        // command takes it.
        line.quietMs = 0;
        break;
    case MarkFound::kNoPlace:
        // A run before this one may have died with no mark to say so.
        line.watchMs = transferTimeoutMs;
        break;
    case MarkFound::kUndated:
        // Only what the thermometer held: the quiet line covers it.
        break;
    case MarkFound::kDated:
        // A dead run's answer comes no later than a transfer waits for one
        // after its command. Dated ahead, the clock went back since: its
        // time tells at most that the whole wait may be owed.
        if (ageMs < 0) {
            line.watchMs = transferTimeoutMs;
        } else if (ageMs < transferTimeoutMs) {
            line.watchMs = static_cast<int>(transferTimeoutMs - ageMs);
        }
        break;
    }
    return line;
}

bool StartOnQuietLine(DeviceHandle device, const QuietLine& line) {
    if (line.quietMs == 0) {
        return true;
    }
    const int burstMs = quietLineBoundMs > 2 * line.quietMs ? quietLineBoundMs : 2 * line.quietMs;
    int error = 0;
    if (!AwaitQuietLine(device, line.quietMs, line.watchMs, line.watchMs + burstMs, &error)) {
        PrintSystemError("ERR ReadFile", error);
        return false;
    }
    return true;
}

int ReadInTurn(DeviceHandle device, const char* devicePath, ThermometerAction action) {
    char path[kMarkPathSize];
    std::int64_t ageMs = 0;
    const MarkFound found = FindMarkPlace(devicePath, path, sizeof path) ? LookAtMarks(path, &ageMs)
                                                                         : MarkFound::kNoPlace;
    // The mark is not touched before the first command, so that a run killed
    // while it waits leaves the next one the same time to wait for.
    if (!StartOnQuietLine(device, PlanQuietLine(found, ageMs))) {
        return ERROR_SENTINEL;
    }
    marking = {path[0] == '\0' ? nullptr : path, kNoMark, false};
    const int result = action(device);
    if (marking.mark != kNoMark) {
        // A rejected value came in a whole answer: nothing is owed then.
        if (marking.owed) {
            LeaveMark(marking.mark);
        } else {
            ClearMark(path, marking.mark);
        }
    }
    marking = {nullptr, kNoMark, false};
    return result;
}

void StampCommand() {
    if (marking.path != nullptr) {
        marking.mark = StampMark(marking.path, marking.mark);
        marking.owed = true;
    }
}

void AnswerComplete() {
    marking.owed = false;
}
