#pragma once

// Prints one reading (degrees Celsius, calibration offset included) in the
// form that runOptions selects. Nothing follows it, not even a line break.
void PrintReading(double celsius, int calibration);
