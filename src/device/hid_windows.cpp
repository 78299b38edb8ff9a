#include <windows.h>
// setupapi.h needs the types of windows.h.
#include <setupapi.h>

#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/run_options.h"
#include "common/system.h"
#include "common/system_windows.h"
#include "device/device.h"
#include "device/hid_windows.h"
#include "device/transfer.h"
#include "device/turns.h"
#include "device/unread.h"

namespace {

constexpr USHORT kThermometerVendorId = 0x0C45;
constexpr USHORT kThermometerProductId = 0x7401;
// The thermometer's interface 0 is a keyboard that never answers a command;
// interface 1 speaks the protocol.
constexpr int kDataInterface = 1;
constexpr DWORD kPresentHidInterfaces = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;
// The smallest record the detail call can fill: its size field and the
// terminating zero of an empty path. A smaller answer would have us write
// the size field beyond the allocation.
constexpr DWORD kDetailFixedPart =
    offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + sizeof(CHAR);

// The protocol drops stale reports through the transfer layer, which knows
// only the handle; HidD_FlushQueue is reachable while discovery holds HID.DLL.
FlushQueueFunction loadedFlushQueue = nullptr;

// A library without all its entry points is as good as none.
bool LoadHidLibrary(HidLibrary* hid) {
    hid->module = LoadSystemLibrary("HID.DLL");
    if (hid->module == nullptr) {
        return false;
    }
    hid->getHidGuid = Resolve<GetHidGuidFunction>(hid->module, "HidD_GetHidGuid");
    hid->getAttributes = Resolve<GetAttributesFunction>(hid->module, "HidD_GetAttributes");
    hid->flushQueue = Resolve<FlushQueueFunction>(hid->module, "HidD_FlushQueue");
    if (hid->getHidGuid == nullptr || hid->getAttributes == nullptr || hid->flushQueue == nullptr) {
        FreeLibrary(hid->module);
        return false;
    }
    return true;
}

void PrintError(const char* prefix, DWORD error) {
    PrintSystemError(prefix, static_cast<int>(error));
}

// Where part first occurs in text, letters compared without regard to case
// (device paths differ in case from one Windows version to the next).
const char* FindIgnoringCase(const char* text, const char* part) {
    for (; *text != '\0'; ++text) {
        std::size_t i = 0;
        while (part[i] != '\0' && std::tolower(static_cast<unsigned char>(text[i])) ==
                                      std::tolower(static_cast<unsigned char>(part[i]))) {
            ++i;
        }
        if (part[i] == '\0') {
            return text;
        }
    }
    return nullptr;
}

// Describes an opened interface and reads it if it is a thermometer.
// Returns the action's result, or 0 when there was none.
int VisitOpenInterface(HANDLE handle, const char* devicePath, const HidLibrary& hid,
                       const Turn& turn, ThermometerAction action) {
    HidAttributes attributes = {};
    attributes.Size = sizeof attributes;
    if (hid.getAttributes(handle, &attributes) != TRUE) {
        const DWORD error = GetLastError();
        if (runOptions.diagnosis) {
            PrintError("ERR HidD_GetAttributes", error);
        }
        return 0;
    }
    if (runOptions.diagnosis) {
        std::printf("VendorID: %u\n", static_cast<unsigned>(attributes.VendorID));
        std::printf("ProductID: %u\n", static_cast<unsigned>(attributes.ProductID));
        std::printf("VersionNumber: %u\n", static_cast<unsigned>(attributes.VersionNumber));
    }
    if (attributes.VendorID != kThermometerVendorId ||
        attributes.ProductID != kThermometerProductId) {
        return 0;
    }
    // Windows opens keyboards exclusively, so there the keyboard interface
    // never gets this far; Wine opens it, and it must not be read.
    const int usbInterface = InterfaceOfPath(devicePath);
    if (usbInterface >= 0 && usbInterface != kDataInterface) {
        return 0;
    }
    const DeviceHandle device = reinterpret_cast<DeviceHandle>(handle);
    if (runOptions.diagnosis) {
        std::printf("TEMPer Gold found %s\n", devicePath);
        std::printf("USB Port #%d\n", static_cast<int>(device));
    }
    return ReadInTurn(device, devicePath, turn, action);
}

int OpenPath(const char* devicePath, bool thermometer, const HidLibrary& hid, const Turn& turn,
             ThermometerAction action) {
    // Overlapped, so that a transfer can be given up when the device is silent.
    const HANDLE handle =
        CreateFileA(devicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // A thermometer that cannot be read is a failed reading, which a
        // script must be able to tell from an empty bus.
        if (runOptions.diagnosis || thermometer) {
            PrintError("WRN CreateFile", error);
        }
        return thermometer ? ERROR_SENTINEL : 0;
    }
    const int result = VisitOpenInterface(handle, devicePath, hid, turn, action);
    CloseHandle(handle);
    return result;
}

int VisitPath(const char* devicePath, const HidLibrary& hid, ThermometerAction action,
              Survey* survey) {
    // Another run's commands would draw answers that this run takes for its own.
    const bool thermometer = PathNamesThermometerData(devicePath);
    survey->thermometerFound = survey->thermometerFound || thermometer;
    Turn turn = {0, false};
    if (thermometer && !TakeTurn(devicePath, 0, &turn)) {
        return ERROR_SENTINEL;
    }
    const int result = OpenPath(devicePath, thermometer, hid, turn, action);
    if (thermometer) {
        EndTurn(&turn);
    }
    unsigned vendor = 0;
    unsigned product = 0;
    // A stick's interfaces are listed apart: it is noted at its first.
    if (UsbIdentityOfPath(devicePath, &vendor, &product) && InterfaceOfPath(devicePath) <= 0) {
        NoteUnreadStick(&survey->unread, vendor, product);
    }
    return result;
}

// Every thermometer gets its turn; one failed read-out fails the run.
int VisitInterfaces(const SetupLibrary& setup, const HidLibrary& hid, ThermometerAction action) {
    GUID hidGuid = {};
    hid.getHidGuid(&hidGuid);
    const HDEVINFO set = setup.getClassDevs(&hidGuid, nullptr, nullptr, kPresentHidInterfaces);
    if (set == INVALID_HANDLE_VALUE) {
        std::printf("ERR SetupDiGetClassDevs\n");
        return ERROR_SENTINEL;
    }
    int status = 0;
    Survey survey = {};
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    for (DWORD index = 0; setup.enumInterfaces(set, nullptr, &hidGuid, index, &data); ++index) {
        if (VisitInterface(set, &data, setup, hid, action, &survey) == ERROR_SENTINEL) {
            status = ERROR_SENTINEL;
        }
    }
    setup.destroyInfoList(set);
    return ReportUnreadSticks(survey.unread, survey.thermometerFound, status);
}

}  // namespace

bool LoadSetupLibrary(SetupLibrary* setup) {
    setup->module = LoadSystemLibrary("SETUPAPI.DLL");
    if (setup->module == nullptr) {
        return false;
    }
    setup->getClassDevs =
        Resolve<decltype(setup->getClassDevs)>(setup->module, "SetupDiGetClassDevsA");
    setup->enumInterfaces =
        Resolve<decltype(setup->enumInterfaces)>(setup->module, "SetupDiEnumDeviceInterfaces");
    setup->getInterfaceDetail = Resolve<decltype(setup->getInterfaceDetail)>(
        setup->module, "SetupDiGetDeviceInterfaceDetailA");
    setup->destroyInfoList =
        Resolve<decltype(setup->destroyInfoList)>(setup->module, "SetupDiDestroyDeviceInfoList");
    if (setup->getClassDevs == nullptr || setup->enumInterfaces == nullptr ||
        setup->getInterfaceDetail == nullptr || setup->destroyInfoList == nullptr) {
        FreeLibrary(setup->module);
        return false;
    }
    return true;
}

int VisitInterface(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data, const SetupLibrary& setup,
                   const HidLibrary& hid, ThermometerAction action, Survey* survey) {
    // An interface whose path cannot be had may be a thermometer's: a
    // script must be able to tell that from an empty bus.
    // The first call only asks for the size, so its failure is expected.
    DWORD required = 0;
    setup.getInterfaceDetail(set, data, nullptr, 0, &required, nullptr);
    const DWORD sizeError = GetLastError();
    if (required < kDetailFixedPart) {
        PrintError("ERR SetupDiGetDeviceInterfaceDetail", sizeError);
        return ERROR_SENTINEL;
    }
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(std::malloc(required));
    if (detail == nullptr) {
        std::printf("ERR Memory allocatio for SP_DEVICE_INTERFACE_DETAIL_DATA\n");
        return ERROR_SENTINEL;
    }
    // The size of the fixed record (8 in 64-bit builds, 5 in 32-bit ones),
    // not of the allocation: that is how the call knows the caller's layout.
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    int result = ERROR_SENTINEL;
    if (setup.getInterfaceDetail(set, data, detail, required, nullptr, nullptr)) {
        result = VisitPath(detail->DevicePath, hid, action, survey);
    } else {
        PrintError("ERR SetupDiGetDeviceInterfaceDetail", GetLastError());
    }
    std::free(detail);
    return result;
}

int InterfaceOfPath(const char* devicePath) {
    const char* at = FindIgnoringCase(devicePath, "&mi_");
    if (at == nullptr || !std::isxdigit(static_cast<unsigned char>(at[4])) ||
        !std::isxdigit(static_cast<unsigned char>(at[5]))) {
        return -1;
    }
    const char digits[3] = {at[4], at[5], '\0'};
    return static_cast<int>(std::strtol(digits, nullptr, 16));
}

bool UsbIdentityOfPath(const char* devicePath, unsigned* vendor, unsigned* product) {
    const char* at = FindIgnoringCase(devicePath, "vid_");
    if (at == nullptr || FindIgnoringCase(at, "&pid_") != at + 8) {
        return false;
    }
    long numbers[2] = {};
    for (int i = 0; i < 2; ++i) {
        const char* digits = at + (i == 0 ? 4 : 13);
        char text[5] = {};
        for (int j = 0; j < 4; ++j) {
            if (!std::isxdigit(static_cast<unsigned char>(digits[j]))) {
                return false;
            }
            text[j] = digits[j];
        }
        numbers[i] = std::strtol(text, nullptr, 16);
    }
    *vendor = static_cast<unsigned>(numbers[0]);
    *product = static_cast<unsigned>(numbers[1]);
    return true;
}

bool PathNamesThermometerData(const char* devicePath) {
    unsigned vendor = 0;
    unsigned product = 0;
    const int usbInterface = InterfaceOfPath(devicePath);
    return UsbIdentityOfPath(devicePath, &vendor, &product) && vendor == kThermometerVendorId &&
           product == kThermometerProductId && (usbInterface < 0 || usbInterface == kDataInterface);
}

void DropStaleReports(DeviceHandle device) {
    if (loadedFlushQueue != nullptr) {
        loadedFlushQueue(reinterpret_cast<HANDLE>(device));
    }
}

int FindThermometers(ThermometerAction action) {
    HidLibrary hid = {};
    if (!LoadHidLibrary(&hid)) {
        std::printf("ERR LoadLibrar HID.DLL\n");
        return ERROR_SENTINEL;
    }
    SetupLibrary setup = {};
    if (!LoadSetupLibrary(&setup)) {
        std::printf("ERR SetupDiGetClassDevs\n");
        FreeLibrary(hid.module);
        return ERROR_SENTINEL;
    }
    loadedFlushQueue = hid.flushQueue;
    const int status = VisitInterfaces(setup, hid, action);
    loadedFlushQueue = nullptr;
    FreeLibrary(setup.module);
    FreeLibrary(hid.module);
    return status;
}
