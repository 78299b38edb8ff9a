#pragma once

#include <cstdint>

// An opened HID interface: a file descriptor on Linux, a HANDLE on Windows.
using DeviceHandle = std::intptr_t;

// The read-out run on each thermometer found; returns 0, or ERROR_SENTINEL
// when the thermometer could not be read.
using ThermometerAction = int (*)(DeviceHandle device);

// How long a run waits for another run's read-out of the same thermometer:
// longer than one can last (four transfer time-outs and the pause).
extern int lockTimeoutMs;

// A run that waited for another run's read-out starts only once the
// thermometer has sent nothing for quietLineMs: an answer to the other run's
// last command may still be on its way. A thermometer that keeps sending
// for quietLineBoundMs (or twice the quiet time, if longer) fails the
// read-out instead.
extern int quietLineMs;
extern int quietLineBoundMs;

// What a run finds of the mark that every run leaves while it reads a
// thermometer, once it has taken that thermometer: none (its place cannot
// be written), its own, or one left behind by a run that died reading or
// whose read-out failed, whose last command may still be answered.
enum class ReadOutMark { kNone, kMade, kLeftBehind };

// Makes the mark at markPath unless one is there; never through a link.
ReadOutMark MarkReadOut(const char* markPath);
void UnmarkReadOut(const char* markPath);

// Reads and drops reports until the line is quiet: for quietLineMs after a
// run that waited for another, for as long as any answer may take after a
// run that died reading; at once for a run that did neither. False, after
// an error line, when it did not fall quiet or the device failed.
bool StartOnQuietLine(DeviceHandle device, bool waited, ReadOutMark mark);

// Runs the action on a thermometer this run has taken, under the mark of
// its read-out at markPath, on a quiet line where one is needed; the mark
// stays when the read-out failed. Returns the action's result, or
// ERROR_SENTINEL after an error line.
int ReadUnderMark(DeviceHandle device, const char* markPath, bool waited, ThermometerAction action);

// Opens every HID interface present and runs the action on each thermometer,
// in enumeration order. Returns ERROR_SENTINEL when the enumeration could not
// start or any action failed, else 0.
int FindThermometers(ThermometerAction action);

// The thermometer's commands. Each returns ERROR_SENTINEL on failure.
int ReadVersion(DeviceHandle device);
int ReadCalibration(DeviceHandle device);
double ReadCelsius(DeviceHandle device);
