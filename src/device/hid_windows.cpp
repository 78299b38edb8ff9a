#include <windows.h>
// setupapi.h and shlobj.h need the types of windows.h.
#include <setupapi.h>
#include <shlobj.h>

#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/run_options.h"
#include "common/system.h"
#include "device/device.h"
#include "device/hid_windows.h"
#include "device/transfer.h"

int lockTimeoutMs = 30000;
const char* readOutMarkDir = nullptr;

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

template <typename Function>
Function Resolve(HMODULE module, const char* name) {
    // The detour through void (*)() keeps GCC's function-cast warning quiet.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// A library without all its entry points is as good as none.
bool LoadHidLibrary(HidLibrary* hid) {
    hid->module = LoadLibraryA("HID.DLL");
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

// Copies as much of the end of devicePath as fits into name (size bytes,
// zero included), each character through the given mapping: past the room,
// the end of the path is what tells devices apart.
void CopyPathTail(const char* devicePath, char (*map)(char), char* name, std::size_t size) {
    const std::size_t length = std::strlen(devicePath);
    const char* path = length >= size ? devicePath + (length - size + 1) : devicePath;
    for (; *path != '\0'; ++path, ++name) {
        *name = map(*path);
    }
    *name = '\0';
}

// Names compare case-sensitively where paths may not.
char Lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

// A backslash would name an object directory.
char InMutexName(char c) {
    return c == '\\' ? '/' : Lower(c);
}

// A device path holds characters that no file name may.
char InFileName(char c) {
    return std::strchr("\\/:*?\"<>|", c) != nullptr ? '_' : Lower(c);
}

// Describes an opened interface and reads it if it is a thermometer.
// Returns the action's result, or 0 when there was none.
int VisitOpenInterface(HANDLE handle, const char* devicePath, const HidLibrary& hid, bool waited,
                       ThermometerAction action) {
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
    char markPath[MAX_PATH];
    MarkPathOfPath(devicePath, markPath, sizeof markPath);
    return ReadUnderMark(device, markPath, waited, action);
}

int OpenPath(const char* devicePath, bool thermometer, const HidLibrary& hid, bool waited,
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
    const int result = VisitOpenInterface(handle, devicePath, hid, waited, action);
    CloseHandle(handle);
    return result;
}

int VisitPath(const char* devicePath, const HidLibrary& hid, ThermometerAction action) {
    // Another run's commands would draw answers that this run takes for its
    // own. A handle receives every report from its opening on, and Wine hands
    // them on late, so a thermometer is taken before it is opened.
    const bool thermometer = PathNamesThermometerData(devicePath);
    HANDLE mutex = nullptr;
    bool waited = false;
    if (thermometer && !LockThermometer(devicePath, &mutex, &waited)) {
        return ERROR_SENTINEL;
    }
    const int result = OpenPath(devicePath, thermometer, hid, waited, action);
    if (mutex != nullptr) {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
    return result;
}

}  // namespace

int VisitInterface(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data, const HidLibrary& hid,
                   ThermometerAction action) {
    // An interface whose path cannot be had may be a thermometer's: a
    // script must be able to tell that from an empty bus.
    // The first call only asks for the size, so its failure is expected.
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set, data, nullptr, 0, &required, nullptr);
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
    if (SetupDiGetDeviceInterfaceDetailA(set, data, detail, required, nullptr, nullptr)) {
        result = VisitPath(detail->DevicePath, hid, action);
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

bool PathNamesThermometerData(const char* devicePath) {
    const int usbInterface = InterfaceOfPath(devicePath);
    return FindIgnoringCase(devicePath, "vid_0c45&pid_7401") != nullptr &&
           (usbInterface < 0 || usbInterface == kDataInterface);
}

void MutexNameOfPath(const char* devicePath, char* name, std::size_t size) {
    // Global, so that runs in other sessions (a service, a second user) take part.
    const char prefix[] = "Global\\frostgauge-";
    std::memcpy(name, prefix, sizeof prefix);
    CopyPathTail(devicePath, InMutexName, name + sizeof prefix - 1, size - sizeof prefix + 1);
}

namespace {

// The application data of all users (Windows 2000 on), which every account
// shares; an account that may not make files there goes without the
// protection of a mark. SHELL32.DLL is loaded only here, once a thermometer
// has been opened: it costs a run that finds none nothing, and opens no
// handle before the thermometer's, whose number the trace shows.
bool FindCommonAppData(char* folder) {
    using GetFolderPathFunction = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPSTR);
    const HMODULE shell = LoadLibraryA("SHELL32.DLL");
    if (shell == nullptr) {
        return false;
    }
    const auto getFolderPath = Resolve<GetFolderPathFunction>(shell, "SHGetFolderPathA");
    const bool found =
        getFolderPath != nullptr &&
        getFolderPath(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder) == S_OK;
    FreeLibrary(shell);
    return found;
}

}  // namespace

void MarkPathOfPath(const char* devicePath, char* path, std::size_t size) {
    char folder[MAX_PATH] = "";
    if (readOutMarkDir != nullptr) {
        std::snprintf(folder, sizeof folder, "%s", readOutMarkDir);
    } else if (!FindCommonAppData(folder)) {
        path[0] = '\0';  // no mark, and no protection by one
        return;
    }
    const int length = std::snprintf(path, size, "%s\\frostgauge-", folder);
    if (length < 0 || static_cast<std::size_t>(length) >= size) {
        path[0] = '\0';
        return;
    }
    CopyPathTail(devicePath, InFileName, path + length, size - static_cast<std::size_t>(length));
}

ReadOutMark MarkReadOut(const char* markPath) {
    // CREATE_NEW fails on any name already there, a link included; a file
    // that another user planted there stays, and costs a quiet line.
    const HANDLE file = CreateFileA(markPath, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return ReadOutMark::kMade;
    }
    const DWORD error = GetLastError();
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? ReadOutMark::kLeftBehind
                                                                       : ReadOutMark::kNone;
}

void UnmarkReadOut(const char* markPath) {
    DeleteFileA(markPath);
}

bool LockThermometer(const char* devicePath, HANDLE* mutex, bool* waited) {
    char name[MAX_PATH];
    MutexNameOfPath(devicePath, name, sizeof name);
    *mutex = CreateMutexA(nullptr, FALSE, name);
    if (*mutex == nullptr) {
        PrintError("ERR CreateMutex", GetLastError());
        return false;
    }
    // An abandoned mutex was held by a run that died: it is ours now, but
    // that run's last command may still be answered.
    DWORD result = WaitForSingleObject(*mutex, 0);
    *waited = result != WAIT_OBJECT_0;
    if (result == WAIT_TIMEOUT) {
        result = WaitForSingleObject(*mutex, static_cast<DWORD>(lockTimeoutMs));
    }
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
        return true;
    }
    PrintError("ERR WaitForSingleObject", result == WAIT_TIMEOUT ? ERROR_TIMEOUT : GetLastError());
    CloseHandle(*mutex);
    *mutex = nullptr;
    return false;
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
    loadedFlushQueue = hid.flushQueue;
    GUID hidGuid = {};
    hid.getHidGuid(&hidGuid);
    const HDEVINFO set = SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr, kPresentHidInterfaces);
    if (set == INVALID_HANDLE_VALUE) {
        std::printf("ERR SetupDiGetClassDevs\n");
        loadedFlushQueue = nullptr;
        FreeLibrary(hid.module);
        return ERROR_SENTINEL;
    }
    // Every thermometer gets its turn; one failed read-out fails the run.
    int status = 0;
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &hidGuid, index, &data);
         ++index) {
        if (VisitInterface(set, &data, hid, action) == ERROR_SENTINEL) {
            status = ERROR_SENTINEL;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    loadedFlushQueue = nullptr;
    FreeLibrary(hid.module);
    return status;
}
