#pragma once

#include <ctime>
#include <string>

// Prints one reading (degrees Celsius, calibration offset included) in the
// form that runOptions selects. Nothing follows it, not even a line break.
void PrintReading(double celsius, int calibration);

// The W3C-DTF text of the current local time with the zone offset in force.
std::string MakeTimeStamp();

// The W3C-DTF text of a broken-down local time. The bias is in minutes, as
// UTC = local time + bias: -540 for UTC+9.
std::string FormatTimeStamp(const std::tm& local, int biasMinutes);

// The local time at an instant and the bias in force then. Falls back to UTC
// with bias 0 when the local time cannot be had.
void LocalTimeAt(std::time_t instant, std::tm* local, int* biasMinutes);
