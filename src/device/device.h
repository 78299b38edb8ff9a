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
// for quietLineBoundMs fails the read-out instead.
extern int quietLineMs;
extern int quietLineBoundMs;

// Reads and drops reports until the line is quiet. False, after an error
// line, when it did not fall quiet or the device failed.
bool StartOnQuietLine(DeviceHandle device);

// Opens every HID interface present and runs the action on each thermometer,
// in enumeration order. Returns ERROR_SENTINEL when the enumeration could not
// start or any action failed, else 0.
int FindThermometers(ThermometerAction action);

// The thermometer's commands. Each returns ERROR_SENTINEL on failure.
int ReadVersion(DeviceHandle device);
int ReadCalibration(DeviceHandle device);
double ReadCelsius(DeviceHandle device);
