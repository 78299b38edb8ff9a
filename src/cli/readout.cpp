#include <cstdio>

#include "cli/cli.h"
#include "common/run_options.h"
#include "common/system.h"
#include "output/output.h"

namespace {

// Give the device a moment after it is opened before the first command.
constexpr int kSettleMilliseconds = 20;

int FailReadOut(const char* operation) {
    std::printf("ERR %s\n", operation);
    return ERROR_SENTINEL;
}

}  // namespace

int ReadThermometer(DeviceHandle device) {
    PauseMilliseconds(kSettleMilliseconds);
    if (ReadVersion(device) != 0) {
        return FailReadOut("ReadVersion");
    }
    const int calibration = ReadCalibration(device);
    if (calibration == ERROR_SENTINEL) {
        return FailReadOut("ReadCalibration");
    }
    const double celsius = ReadCelsius(device);
    if (celsius == ERROR_SENTINEL_CELSIUS) {
        return FailReadOut("ReadCelsius");
    }
    PrintReading(calibration + celsius, calibration);
    return 0;
}
