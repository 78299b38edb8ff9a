#pragma once

#include "device/device.h"

// The whole program: parses the arguments, reads every thermometer and
// returns the exit status.
int RunFrostgauge(int argc, char* argv[]);

// Sets the flags of runOptions from the arguments. Returns true when the run
// goes on; otherwise the help text has been printed and *exitStatus is set.
bool ParseOptions(int argc, const char* const argv[], int* exitStatus);

void PrintUsage();

// Reads one opened thermometer and prints its reading. Returns 0, or
// ERROR_SENTINEL after printing why the reading failed.
int ReadThermometer(DeviceHandle device);
