#pragma once

#include <ctime>
#include <string>

#include "output/output.h"

// FormatTimeStamp's text as a string, for comparisons.
inline std::string StampText(const std::tm& local, int biasMinutes) {
    char text[kTimeStampSize];
    FormatTimeStamp(local, biasMinutes, text, sizeof text);
    return text;
}
