#include <cstdio>
#include <cstring>

#include "common/run_options.h"
#include "common/system.h"
#include "device/device.h"
#include "device/marking.h"
#include "device/transfer.h"

namespace {

const Report kVersionCommand = {0x00, 0x01, 0x86, 0xFF, 0x01, 0x00, 0x00, 0x00, 0x00};
const Report kCalibrationCommand = {0x00, 0x01, 0x82, 0x77, 0x01, 0x00, 0x00, 0x00, 0x00};
const Report kCelsiusCommand = {0x00, 0x01, 0x80, 0x33, 0x01, 0x00, 0x00, 0x00, 0x00};

constexpr int kMinCalibration = -8;
constexpr int kMaxCalibration = 7;
constexpr double kMinCelsius = -40.0;
constexpr double kMaxCelsius = 125.0;

void TraceBytes(const char* label, const std::uint8_t* bytes, int count) {
    std::printf("  %s %d byte", label, count);
    for (int i = 0; i < count; ++i) {
        std::printf(" %02X", bytes[i]);
    }
    std::printf("\n");
}

bool SendCommand(DeviceHandle device, const char* name, const Report command) {
    DropStaleReports(device);
    if (runOptions.diagnosis) {
        std::printf("%s\n", name);
        TraceBytes("SND", command, static_cast<int>(kReportSize));
    }
    // The answer may come up to a transfer's time-out after the write
    // returns, which can be long after it began.
    if (!StampCommand()) {
        return false;
    }
    int error = 0;
    if (!WriteReport(device, command, &error)) {
        PrintSystemError("ERR WriteFile", error);
        return false;
    }
    return StampCommand();
}

bool ReceiveResponse(DeviceHandle device, Report response) {
    std::memset(response, 0, kReportSize);
    int count = 0;
    int error = 0;
    if (!ReadReport(device, response, &count, &error)) {
        PrintSystemError("ERR ReadFile", error);
        return false;
    }
    if (runOptions.diagnosis) {
        TraceBytes("RCV", response, count);
    }
    return true;
}

// Sends a command and receives its answer, count reports long.
bool Exchange(DeviceHandle device, const char* name, const Report command, Report* responses,
              int count) {
    if (!SendCommand(device, name, command)) {
        return false;
    }
    for (int i = 0; i < count; ++i) {
        if (!ReceiveResponse(device, responses[i])) {
            return false;
        }
    }
    AnswerComplete();
    return true;
}

}  // namespace

int ReadVersion(DeviceHandle device) {
    // The identification text comes in two reports.
    Report responses[2];
    char identification[11] = {};
    if (!Exchange(device, "ReadVersion", kVersionCommand, responses, 2)) {
        return ERROR_SENTINEL;
    }
    std::memcpy(identification, responses[0] + 1, 8);
    std::memcpy(identification + 8, responses[1] + 1, 2);
    if (runOptions.diagnosis) {
        std::printf("  ->%s\n", identification);
    }
    return 0;
}

int ReadCalibration(DeviceHandle device) {
    Report response;
    if (!Exchange(device, "ReadCalibration", kCalibrationCommand, &response, 1)) {
        return ERROR_SENTINEL;
    }
    // Sign and magnitude: bit 7 is the sign, bits 0 to 6 whole degrees.
    const int magnitude = response[3] & 0x7F;
    const int calibration = (response[3] & 0x80) != 0 ? -magnitude : magnitude;
    if (runOptions.diagnosis) {
        std::printf("  ->Calibration %d degC\n", calibration);
    }
    if (calibration < kMinCalibration || calibration > kMaxCalibration) {
        return ERROR_SENTINEL;
    }
    return calibration;
}

double ReadCelsius(DeviceHandle device) {
    Report response;
    if (!Exchange(device, "ReadCelsius", kCelsiusCommand, &response, 1)) {
        return ERROR_SENTINEL_CELSIUS;
    }
    // The sensor sends a 16-bit two's-complement number in 256ths of a degree,
    // high byte first; only its top 11 bits are significant (eighths).
    int raw = (response[3] << 8) | (response[4] & 0xE0);
    if (raw >= 0x8000) {
        raw -= 0x10000;
    }
    const double celsius = raw / 256.0;
    if (runOptions.diagnosis) {
        std::printf("  ->%3.3f degC\n", celsius);
    }
    if (celsius < kMinCelsius || celsius > kMaxCelsius) {
        return ERROR_SENTINEL_CELSIUS;
    }
    return celsius;
}
