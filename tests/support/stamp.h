#pragma once

#include <ctime>
#include <string>

#include "output/output.h"

// Instants a 32-bit time_t cannot hold: its first second past, a leap day,
// and the eve of a century's 1st of March that has no leap day before it.
constexpr Instant kPast2038 = 2147483648;     // 2038-01-19T03:14:08Z
constexpr Instant kLeapDay2040 = 2214072000;  // 2040-02-28T20:00:00Z
constexpr Instant kMarch2100 = 4107549600;    // 2100-03-01T02:00:00Z

// FormatTimeStamp's text as a string, for comparisons.
inline std::string StampText(const std::tm& local, int biasMinutes) {
    char text[kTimeStampSize];
    FormatTimeStamp(local, biasMinutes, text, sizeof text);
    return text;
}
