#include <windows.h>

#include "device/transfer.h"

namespace {

HANDLE HandleOf(DeviceHandle device) {
    return reinterpret_cast<HANDLE>(device);
}

}  // namespace

bool WriteReport(DeviceHandle device, const Report command, int* error) {
    // Windows HID takes the report ID as the first byte, as the command holds it.
    DWORD written = 0;
    if (!WriteFile(HandleOf(device), command, kReportSize, &written, nullptr)) {
        *error = static_cast<int>(GetLastError());
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
    // Windows HID delivers the report ID first, then the 8 report bytes.
    DWORD got = 0;
    if (!ReadFile(HandleOf(device), response, kReportSize, &got, nullptr)) {
        *error = static_cast<int>(GetLastError());
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
