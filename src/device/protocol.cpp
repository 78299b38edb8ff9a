#include <cstdio>
#include <cstring>

#include "common/run_options.h"
#include "common/system.h"
#include "device/device.h"
#include "device/transfer.h"

// A thermometer answers some 80 ms after a command. On Linux the kernel hands
// each report to every reader at once; Wine passes it on from a service
// process of its own, which takes longer when the machine is busy. Half a
// second of silence outlasts both several times over, and only a run that
// had to wait pays it.
int quietLineMs = 500;
// Longer than any burst of answers a run could leave behind.
int quietLineBoundMs = 5000;

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
    int error = 0;
    if (!WriteReport(device, command, &error)) {
        PrintSystemError("ERR WriteFile", error);
        return false;
    }
    return true;
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

bool Exchange(DeviceHandle device, const char* name, const Report command, Report response) {
    return SendCommand(device, name, command) && ReceiveResponse(device, response);
}

}  // namespace

bool StartOnQuietLine(DeviceHandle device, bool waited, ReadOutMark mark) {
    // Nothing tells when a dead run's answer comes; none comes later than
    // a transfer waits for one.
    const int quietMs = mark == ReadOutMark::kLeftBehind ? transferTimeoutMs
                        : waited                         ? quietLineMs
                                                         : 0;
    if (quietMs == 0) {
        return true;
    }
    const int boundMs = quietLineBoundMs > 2 * quietMs ? quietLineBoundMs : 2 * quietMs;
    int error = 0;
    if (!AwaitQuietLine(device, quietMs, boundMs, &error)) {
        PrintSystemError("ERR ReadFile", error);
        return false;
    }
    return true;
}

int ReadUnderMark(DeviceHandle device, const char* markPath, bool waited,
                  ThermometerAction action) {
    // Made while the thermometer is held, so a mark found then was left by
    // a run that died reading, or whose read-out failed: a transfer it gave
    // up on may still be answered. A mark that cannot be made costs only the
    // protection it gives.
    const ReadOutMark mark = MarkReadOut(markPath);
    const int result = StartOnQuietLine(device, waited, mark) ? action(device) : ERROR_SENTINEL;
    if (mark != ReadOutMark::kNone && result != ERROR_SENTINEL) {
        UnmarkReadOut(markPath);
    }
    return result;
}

int ReadVersion(DeviceHandle device) {
    Report response;
    char identification[11] = {};
    if (!Exchange(device, "ReadVersion", kVersionCommand, response)) {
        return ERROR_SENTINEL;
    }
    std::memcpy(identification, response + 1, 8);
    if (!ReceiveResponse(device, response)) {
        return ERROR_SENTINEL;
    }
    std::memcpy(identification + 8, response + 1, 2);
    if (runOptions.diagnosis) {
        std::printf("  ->%s\n", identification);
    }
    return 0;
}

int ReadCalibration(DeviceHandle device) {
    Report response;
    if (!Exchange(device, "ReadCalibration", kCalibrationCommand, response)) {
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
    if (!Exchange(device, "ReadCelsius", kCelsiusCommand, response)) {
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
