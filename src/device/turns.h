#pragma once

#include <cstdint>

#include "device/device.h"

// Runs at once take turns on a thermometer, and a run sends its first
// command only once no answer owed to another run, live or dead, can reach
// it: take the turn, look at the marks, let the line fall quiet, read out
// (stamping the mark around each command), clear the mark unless an answer
// is still owed, give the turn back. The platform's part is in
// turns_platform.h.

// How long a run waits for another run's read-out of the same thermometer.
// A healthy one takes well under a second; the slowest that still succeeds
// lasts its quiet line (the watch and the bound beyond it, 10 s) and seven
// transfers of up to a time-out each. A run that gives up before fails that
// thermometer: it never reads over another run.
extern int lockTimeoutMs;

// A run that may meet another run's late answer drops what the thermometer
// sends until it has sent nothing for quietLineMs. A thermometer that keeps
// sending for quietLineBoundMs (or twice the quiet time, if longer) beyond
// that fails the read-out instead.
extern int quietLineMs;
extern int quietLineBoundMs;

// What a run finds of the marks of a thermometer's read-out: the mark of a
// run that sent a command and never saw all of its answer.
enum class MarkFound {
    kNone,
    kDated,    // its time is that run's last command
    kUndated,  // a file whose time tells nothing: another account's, or not a mark
    kNoPlace,  // this run can make no mark, so a run before it may have made none
};

struct QuietLine {
    int quietMs;  // the silence to wait for; 0 for none
    int watchMs;  // and the least time to watch the line in all
};

// The line a run waits for before its first command, from what it found of
// the marks (the youngest dated ageMs ago, negative when dated ahead of the
// clock). Whether it waited for a live run does not matter: one that ended
// with nothing owed leaves no mark.
QuietLine PlanQuietLine(MarkFound found, std::int64_t ageMs);

// Reads and drops reports until the line is quiet. False, after an error
// line, when it did not fall quiet or the device failed.
bool StartOnQuietLine(DeviceHandle device, const QuietLine& line);

// Runs the action on a thermometer whose turn this run has, on a quiet line
// where one is needed, under the mark of its read-out. Returns the action's
// result, or ERROR_SENTINEL after an error line.
int ReadInTurn(DeviceHandle device, const char* devicePath, ThermometerAction action);

// Held while this run has the turn; released on every path.
struct Turn {
    std::intptr_t lock;
    bool waited;  // another run had it, or died holding it (for the tests)
};

// Takes the turn on the thermometer at devicePath (Windows, before opening
// it) or opened as device (Linux), waiting up to lockTimeoutMs. False, after
// an error line, when it could not be had.
bool TakeTurn(const char* devicePath, DeviceHandle device, Turn* turn);
void EndTurn(Turn* turn);
