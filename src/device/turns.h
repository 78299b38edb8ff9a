#pragma once

#include <cstddef>
#include <cstdint>

#include "device/device.h"

// Runs at once take turns on a thermometer, and a run sends its first
// command only once no answer owed to another run, live or dead, can reach
// it: take the turn, look at the mark, let the line fall quiet, read out
// (stamping the mark before each command), clear the mark unless an answer
// is still owed, give the turn back.

// How long a run waits for another run's read-out of the same thermometer:
// longer than one can last (four transfer time-outs and the pause).
extern int lockTimeoutMs;

// A run that may meet another run's late answer drops what the thermometer
// sends until it has sent nothing for quietLineMs. A thermometer that keeps
// sending for quietLineBoundMs (or twice the quiet time, if longer) beyond
// that fails the read-out instead.
extern int quietLineMs;
extern int quietLineBoundMs;

// What a run finds where the mark of a thermometer's read-out lies: the
// mark of a run that sent a command and never saw all of its answer.
enum class MarkFound {
    kNone,
    kDated,    // its time is that run's last command
    kUndated,  // a file whose time tells nothing: another account's, or not a mark
};

struct QuietLine {
    int quietMs;  // the silence to wait for; 0 for none
    int watchMs;  // and the least time to watch the line in all
};

// The line a run waits for before its first command, from what it found of
// the mark (dated ageMs ago) and whether it waited for a live run.
QuietLine PlanQuietLine(MarkFound found, long ageMs, bool waited);

// Reads and drops reports until the line is quiet. False, after an error
// line, when it did not fall quiet or the device failed.
bool StartOnQuietLine(DeviceHandle device, const QuietLine& line);

// Runs the action on a thermometer whose turn this run has, on a quiet line
// where one is needed, under the mark of its read-out. Returns the action's
// result, or ERROR_SENTINEL after an error line.
int ReadInTurn(DeviceHandle device, const char* devicePath, bool waited, ThermometerAction action);

// The protocol's word on each exchange: a command goes out, and its whole
// answer is in. Outside a turn they do nothing.
void CommandGoing();
void AnswerComplete();

// The platform's part.

// Held while this run has the turn; released on every path.
struct Turn {
    std::intptr_t lock;
    bool waited;  // another run had it, or died holding it
};

// Takes the turn on the thermometer at devicePath (Windows, before opening
// it) or opened as device (Linux), waiting up to lockTimeoutMs. False, after
// an error line, when it could not be had.
bool TakeTurn(const char* devicePath, DeviceHandle device, Turn* turn);
void EndTurn(Turn* turn);

// The folder of the marks (on Windows, null for the application data of
// all users).
extern const char* readOutMarkDir;

constexpr std::size_t kMarkPathSize = 512;
// Where the mark of the device at devicePath lies; empty where none can.
void MarkPathOf(const char* devicePath, char* path, std::size_t size);

// What lies at path, and how long ago it was last stamped (negative when
// dated ahead of the clock).
MarkFound LookAtMark(const char* path, long* ageMs);

// An open mark of this run's; kNoMark where it has none.
using MarkHandle = std::intptr_t;
constexpr MarkHandle kNoMark = -1;

// Stamps the mark with the time now: the first call makes it, or takes over
// this account's mark left there; never another account's, never through a
// link. kNoMark when there is no place for it: this run goes without.
MarkHandle StampMark(const char* path, MarkHandle mark);
// Removes the mark, or leaves it for the next run; either closes it.
void ClearMark(const char* path, MarkHandle mark);
void LeaveMark(MarkHandle mark);
