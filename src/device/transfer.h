#pragma once

#include <cstddef>
#include <cstdint>

#include "device/device.h"

// A report as the program exchanges it: byte 0 is the report ID (always 0 in
// a command), bytes 1 to 8 the thermometer's 8-byte HID report.
constexpr std::size_t kReportSize = 9;
using Report = std::uint8_t[kReportSize];

// How long a transfer waits for the device; a thermometer answers within
// about 80 ms, so five seconds of silence means it never will.
extern int transferTimeoutMs;

// Sends the whole command. On failure returns false and sets *error to the
// platform's error code.
bool WriteReport(DeviceHandle device, const Report command, int* error);

// Reads one report into the zeroed buffer and sets *count to the number of
// buffer bytes it now holds. On failure returns false and sets *error.
bool ReadReport(DeviceHandle device, Report response, int* count, int* error);

// Reads and discards reports until none has come for quietMs and watchMs
// have passed. False when reports still come after boundMs (*error is then
// the platform's "busy" code) or a read fails (*error is its code).
bool AwaitQuietLine(DeviceHandle device, int quietMs, int watchMs, int boundMs, int* error);

// Reads and discards the reports already waiting, so that the answer read
// after the next command is the answer to it, not a late one to another's.
void DropStaleReports(DeviceHandle device);
