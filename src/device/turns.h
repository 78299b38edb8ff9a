#pragma once

#include <cstdint>

#include "device/device.h"

// Runs at once take turns on a thermometer, and a run sends its first
// command only once no answer owed to another run, live or dead, can reach
// it: take the turn, look at the marks, let the line fall quiet, read out
// under a mark stamped around each command, clear it unless an answer is
// still owed, give the turn back. The platform's part: turns_platform.h.

// How long a run waits for another run's read-out of the same thermometer:
// the slowest that still succeeds lasts its quiet line (10 s at most) and
// seven transfers. A run that gives up fails that thermometer.
extern int lockTimeoutMs;

// A run that may meet another run's late answer drops what the thermometer
// sends until it has sent nothing for quietLineMs, and fails the read-out
// if it keeps sending for quietLineBoundMs (or twice that quiet) beyond.
extern int quietLineMs;
extern int quietLineBoundMs;

// What a run finds of the marks of read-outs that sent a command and never
// saw its whole answer.
enum class MarkFound {
    kNone,
    kDated,    // its time is that run's last command
    kUndated,  // its time tells nothing: another boot's, an untrusted account's
    kUnknown,  // no mark can tell: this run has no place for one (nor may the run
               // before it have had one), or a run died holding the turn
};

struct QuietLine {
    int quietMs;  // the silence to wait for; 0 for none
    int watchMs;  // and the least time to watch the line in all
};

// The line a run waits for before its first command, from the youngest
// dated mark's age. A live run that ended with nothing owed leaves no mark.
QuietLine PlanQuietLine(MarkFound found, std::int64_t ageMs);

// Reads and drops reports until the line is quiet. False, after an error
// line, when it did not fall quiet or the device failed.
bool StartOnQuietLine(DeviceHandle device, const QuietLine& line);

// Held while this run has the turn; released on every path.
struct Turn {
    std::intptr_t lock;
    bool abandoned;  // its last holder died with it (Windows tells)
};

// Takes the turn on the thermometer at devicePath (Windows, before opening
// it) or opened as device (Linux), waiting up to lockTimeoutMs. False, after
// an error line, when it could not be had.
bool TakeTurn(const char* devicePath, DeviceHandle device, Turn* turn);
void EndTurn(Turn* turn);

// Runs the action on a thermometer whose turn this run has, on a quiet line
// where one is needed, under the mark of its read-out. Returns its result,
// or ERROR_SENTINEL after an error line.
int ReadInTurn(DeviceHandle device, const char* devicePath, const Turn& turn,
               ThermometerAction action);
