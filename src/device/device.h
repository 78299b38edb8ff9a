#pragma once

#include <cstdint>

// An opened HID interface: a file descriptor on Linux, a HANDLE on Windows.
using DeviceHandle = std::intptr_t;

// The read-out run on each thermometer found; returns 0, or ERROR_SENTINEL
// when the thermometer could not be read.
using ThermometerAction = int (*)(DeviceHandle device);

// Opens every HID interface present and runs the action on each thermometer,
// in enumeration order. Returns ERROR_SENTINEL when the enumeration could not
// start or any action failed, else 0.
int FindThermometers(ThermometerAction action);

// The thermometer's commands. Each returns ERROR_SENTINEL on failure.
int ReadVersion(DeviceHandle device);
int ReadCalibration(DeviceHandle device);
double ReadCelsius(DeviceHandle device);
