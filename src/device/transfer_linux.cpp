#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

#include "common/system_linux.h"
#include "device/transfer.h"

int transferTimeoutMs = 5000;

namespace {

// More than the kernel queues for one reader (64), so that a device that
// never stops sending cannot keep the drop going forever.
constexpr int kMostStaleReports = 128;

// hidraw blocks a read until a report arrives, so wait with a bound first.
bool WaitForReport(int fd, int timeoutMs, int* error) {
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        const long left = timeoutMs - MillisecondsSince(start);
        if (left <= 0) {
            *error = ETIMEDOUT;
            return false;
        }
        pollfd watch = {fd, POLLIN, 0};
        const int ready = poll(&watch, 1, static_cast<int>(left));
        if (ready > 0) {
            return true;  // data, or an error or hang-up that read() reports
        }
        if (ready == 0) {
            *error = ETIMEDOUT;
            return false;
        }
        if (errno != EINTR) {
            *error = errno;
            return false;
        }
    }
}

bool ReadReportWithin(int fd, Report response, int timeoutMs, int* count, int* error) {
    if (!WaitForReport(fd, timeoutMs, error)) {
        return false;
    }
    // hidraw delivers the 8 report bytes without the report ID; byte 0 stays 0.
    ssize_t got;
    do {
        got = read(fd, response + 1, kReportSize - 1);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        *error = errno;
        return false;
    }
    if (got == 0) {
        *error = ENODEV;  // end of file: the device has gone
        return false;
    }
    *count = static_cast<int>(got) + 1;
    return true;
}

}  // namespace

bool WriteReport(DeviceHandle device, const Report command, int* error) {
    // hidraw takes the report ID as the first byte, so the command goes as it stands.
    ssize_t written;
    do {
        written = write(static_cast<int>(device), command, kReportSize);
    } while (written < 0 && errno == EINTR);
    if (written == static_cast<ssize_t>(kReportSize)) {
        return true;
    }
    *error = written < 0 ? errno : EIO;
    return false;
}

bool ReadReport(DeviceHandle device, Report response, int* count, int* error) {
    return ReadReportWithin(static_cast<int>(device), response, transferTimeoutMs, count, error);
}

bool AwaitQuietLine(DeviceHandle device, int quietMs, int watchMs, int boundMs, int* error) {
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    long lastMs = 0;  // of the last report, or the start
    for (;;) {
        const long untilMs = lastMs + quietMs > watchMs ? lastMs + quietMs : watchMs;
        const long leftMs = untilMs - MillisecondsSince(start);
        if (leftMs <= 0) {
            return true;
        }
        Report report = {};
        int count = 0;
        if (!ReadReportWithin(static_cast<int>(device), report, static_cast<int>(leftMs), &count,
                              error)) {
            if (*error != ETIMEDOUT) {
                return false;
            }
            continue;
        }
        lastMs = MillisecondsSince(start);
        if (lastMs >= boundMs) {
            *error = EBUSY;
            return false;
        }
    }
}

void DropStaleReports(DeviceHandle device) {
    const int fd = static_cast<int>(device);
    for (int dropped = 0; dropped < kMostStaleReports; ++dropped) {
        pollfd watch = {fd, POLLIN, 0};
        if (poll(&watch, 1, 0) != 1 || (watch.revents & POLLIN) == 0) {
            return;
        }
        std::uint8_t report[64];
        if (read(fd, report, sizeof report) <= 0) {
            return;  // a device gone shows at the write that follows
        }
    }
}
