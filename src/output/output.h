#pragma once

#include <cstddef>
#include <ctime>

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
// with bias 0 when the local time cannot be had.
void LocalTimeAt(std::time_t instant, std::tm* local, int* biasMinutes);
