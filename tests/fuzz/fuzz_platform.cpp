#include "fuzz/fuzz_platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/run_options.h"
#include "common/system.h"
#include "device/device.h"
#include "device/transfer.h"
#include "device/turns.h"
#include "device/turns_platform.h"

namespace {

const std::uint8_t* input = nullptr;
std::size_t left = 0;

bool TakeByte(std::uint8_t* byte) {
    if (left == 0) {
        return false;
    }
    *byte = *input++;
    --left;
    return true;
}

}  // namespace

void SetFuzzInput(const std::uint8_t* data, std::size_t size) {
    input = data;
    left = size;
}

void SilenceOutput() {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::perror("/dev/null");
    }
}

const char* SystemErrorText(int code, char* text, std::size_t size) {
    std::snprintf(text, size, "%s", std::strerror(code));
    return text;
}

void PauseMilliseconds(int) {}

void IgnoreBrokenPipes() {}

int transferTimeoutMs = 5000;

void DropStaleReports(DeviceHandle) {}

bool AwaitQuietLine(DeviceHandle, int, int, int, int*) {
    return true;
}

// No place for marks: a read-out goes unmarked (the fuzzers run none in a turn).
int ListMarkPlaces(const char*, MarkPaths) {
    return 0;
}

Lying WhatLiesAt(const char*, DeviceHandle, Stamp*) {
    return Lying::kNothing;
}

std::int64_t StampClockMs() {
    return 0;
}

bool CanKeepMark(const char*, DeviceHandle, int*) {
    return false;
}

MarkHandle MakeMark(const char*, DeviceHandle, int*) {
    return kNoMark;
}

bool StampMark(MarkHandle, int*) {
    return false;
}

bool CloseMark(const char*, MarkHandle, bool, int*) {
    return true;
}

void RemoveMark(const char*) {}

// Odd byte: the write fails with error code byte/2.
bool WriteReport(DeviceHandle, const Report, int* error) {
    std::uint8_t byte = 0;
    if (!TakeByte(&byte)) {
        *error = EIO;
        return false;
    }
    if ((byte & 1) != 0) {
        *error = byte >> 1;
        return false;
    }
    return true;
}

// Byte with bit 7: the read fails with the low bits as error code; else the
// next byte%9 bytes (or what is left of the input) are the report.
bool ReadReport(DeviceHandle, Report response, int* count, int* error) {
    std::uint8_t byte = 0;
    if (!TakeByte(&byte)) {
        *error = ETIMEDOUT;
        return false;
    }
    if ((byte & 0x80) != 0) {
        *error = byte & 0x7F;
        return false;
    }
    const std::size_t wanted = byte % kReportSize;
    std::size_t got = 0;
    while (got < wanted && TakeByte(&response[1 + got])) {
        ++got;
    }
    *count = static_cast<int>(got) + 1;
    return true;
}

int FindThermometers(ThermometerAction action) {
    std::uint8_t byte = 0;
    if (!TakeByte(&byte)) {
        return 0;
    }
    int status = 0;
    for (int i = 0; i < byte % 4; ++i) {
        if (action(i + 3) == ERROR_SENTINEL) {
            status = ERROR_SENTINEL;
        }
    }
    return status;
}
