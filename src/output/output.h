#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

// An instant in seconds since 1970-01-01T00:00:00Z. 64 bits in every build,
// so that stamps stay right past January 2038 where a time_t has 32.
using Instant = std::int64_t;

// The current instant, from the system clock.
Instant CurrentTime();

// Prints one reading (degrees Celsius, calibration offset included) in the
// form that runOptions selects. Nothing follows it, not even a line break.
void PrintReading(double celsius, int calibration);

// Room for a time stamp of any year a std::tm can hold.
constexpr std::size_t kTimeStampSize = 40;

// The W3C-DTF text of the current local time with the zone offset in force.
void MakeTimeStamp(char* text, std::size_t size);

// The W3C-DTF text of a broken-down local time. The bias is in minutes, as
// UTC = local time + bias: -540 for UTC+9.
void FormatTimeStamp(const std::tm& local, int biasMinutes, char* text, std::size_t size);

// The local time at an instant and the bias in force then. Falls back to UTC
// with bias 0 when the local time cannot be had, and to the epoch when not
// even that can.
void LocalTimeAt(Instant instant, std::tm* local, int* biasMinutes);
