#include <windows.h>

#include "device/transfer.h"

int transferTimeoutMs = 5000;

namespace {

HANDLE HandleOf(DeviceHandle device) {
    return reinterpret_cast<HANDLE>(device);
}

// One overlapped transfer: its own event, the moment it began and how long
// it may take.
struct Transfer {
    OVERLAPPED overlapped;
    DWORD began;
    DWORD limit;
};

bool BeginTransfer(Transfer* transfer, int timeoutMs, int* error) {
    transfer->overlapped = OVERLAPPED{};
    transfer->overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (transfer->overlapped.hEvent == nullptr) {
        *error = static_cast<int>(GetLastError());
        return false;
    }
    transfer->began = GetTickCount();
    transfer->limit = static_cast<DWORD>(timeoutMs);
    return true;
}

// Waits for the transfer that ReadFile or WriteFile started (started is what
// the call returned) until its time is up, and releases its event. A transfer
// still pending then is cancelled and waited for, because until it completes
// the system may still write into its buffer and its OVERLAPPED.
bool EndTransfer(HANDLE handle, Transfer* transfer, BOOL started, DWORD* bytes, int* error) {
    OVERLAPPED* overlapped = &transfer->overlapped;
    const DWORD startError = started ? ERROR_SUCCESS : GetLastError();
    bool done = true;
    if (startError != ERROR_SUCCESS && startError != ERROR_IO_PENDING) {
        *error = static_cast<int>(startError);
        done = false;
    } else {
        const DWORD spent = GetTickCount() - transfer->began;
        const DWORD left = spent < transfer->limit ? transfer->limit - spent : 0;
        if (WaitForSingleObject(overlapped->hEvent, left) != WAIT_OBJECT_0) {
            CancelIo(handle);
            // It may have completed after all; otherwise it ends as cancelled.
            if (!GetOverlappedResult(handle, overlapped, bytes, TRUE)) {
                *error = ERROR_TIMEOUT;
                done = false;
            }
        } else if (!GetOverlappedResult(handle, overlapped, bytes, FALSE)) {
            *error = static_cast<int>(GetLastError());
            done = false;
        }
    }
    CloseHandle(overlapped->hEvent);
    return done;
}

bool ReadReportWithin(HANDLE handle, Report response, int timeoutMs, int* count, int* error) {
    // Windows HID delivers the report ID first, then the 8 report bytes.
    Transfer transfer;
    if (!BeginTransfer(&transfer, timeoutMs, error)) {
        return false;
    }
    const BOOL started = ReadFile(handle, response, kReportSize, nullptr, &transfer.overlapped);
    DWORD got = 0;
    if (!EndTransfer(handle, &transfer, started, &got, error)) {
        return false;
    }
    if (got == 0) {
        // An empty buffer would decode as a valid reading of zero.
        *error = ERROR_HANDLE_EOF;
        return false;
    }
    *count = static_cast<int>(got);
    return true;
}

}  // namespace

bool WriteReport(DeviceHandle device, const Report command, int* error) {
    // Windows HID takes the report ID as the first byte, as the command holds it.
    Transfer transfer;
    if (!BeginTransfer(&transfer, transferTimeoutMs, error)) {
        return false;
    }
    const HANDLE handle = HandleOf(device);
    const BOOL started = WriteFile(handle, command, kReportSize, nullptr, &transfer.overlapped);
    DWORD written = 0;
    if (!EndTransfer(handle, &transfer, started, &written, error)) {
        return false;
    }
    if (written != kReportSize) {
        // A partial command is no command; say the device took it badly.
        *error = ERROR_WRITE_FAULT;
        return false;
    }
    return true;
}

bool ReadReport(DeviceHandle device, Report response, int* count, int* error) {
    return ReadReportWithin(HandleOf(device), response, transferTimeoutMs, count, error);
}

bool AwaitQuietLine(DeviceHandle device, int quietMs, int watchMs, int boundMs, int* error) {
    const DWORD began = GetTickCount();
    DWORD lastMs = 0;  // of the last report, or the start
    for (;;) {
        const DWORD quietUntil = lastMs + static_cast<DWORD>(quietMs);
        const DWORD watchUntil = static_cast<DWORD>(watchMs);
        const DWORD untilMs = quietUntil > watchUntil ? quietUntil : watchUntil;
        const DWORD spentMs = GetTickCount() - began;
        if (spentMs >= untilMs) {
            return true;
        }
        Report report = {};
        int count = 0;
        if (!ReadReportWithin(HandleOf(device), report, static_cast<int>(untilMs - spentMs), &count,
                              error)) {
            if (*error != ERROR_TIMEOUT) {
                return false;
            }
            continue;
        }
        lastMs = GetTickCount() - began;
        if (lastMs >= static_cast<DWORD>(boundMs)) {
            *error = ERROR_BUSY;
            return false;
        }
    }
}
