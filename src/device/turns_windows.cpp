#include <windows.h>
// sddl.h and shlobj.h need the types of windows.h.
#include <sddl.h>
#include <shlobj.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "common/system.h"
#include "device/hid_windows.h"
#include "device/turns.h"

int lockTimeoutMs = 30000;
const char* readOutMarkDir = nullptr;

namespace {

// Every account may wait on the mutex and release it (SYNCHRONIZE and
// MUTEX_MODIFY_STATE); the system and administrators keep all rights.
constexpr char kMutexSecurity[] = "D:(A;;0x00100001;;;AU)(A;;GA;;;SY)(A;;GA;;;BA)";
constexpr DWORD kMutexTurnRights = SYNCHRONIZE | MUTEX_MODIFY_STATE;

// 100-ns intervals of a FILETIME in a millisecond.
constexpr ULONGLONG kFileTimePerMs = 10000;

void PrintError(const char* prefix, DWORD error) {
    PrintSystemError(prefix, static_cast<int>(error));
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

// A run of another account (a service, a scheduled task) may have made the
// mutex: CreateMutex then asks for all rights, which it does not grant.
HANDLE OpenTurnMutex(const char* name) {
    SECURITY_ATTRIBUTES security = {sizeof security, nullptr, FALSE};
    const bool described =
        ConvertStringSecurityDescriptorToSecurityDescriptorA(
            kMutexSecurity, SDDL_REVISION_1, &security.lpSecurityDescriptor, nullptr) != FALSE;
    HANDLE mutex = CreateMutexA(described ? &security : nullptr, FALSE, name);
    const DWORD error = GetLastError();
    if (described) {
        LocalFree(security.lpSecurityDescriptor);
    }
    if (mutex == nullptr && error == ERROR_ACCESS_DENIED) {
        mutex = OpenMutexA(kMutexTurnRights, FALSE, name);
    }
    if (mutex == nullptr) {
        PrintError("ERR CreateMutex", error);
    }
    return mutex;
}

// The application data of all users (Windows 2000 on), which every account
// shares; an account that may not make files there goes without the
// protection of a mark. SHELL32.DLL is loaded only here, once a thermometer
// has been opened: it costs a run that finds none nothing, and opens no
// handle before the thermometer's, whose number the trace shows.
bool FindCommonAppData(char* folder) {
    using GetFolderPathFunction = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPSTR);
    const HMODULE shell = LoadSystemLibrary("SHELL32.DLL");
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

ULONGLONG ToULongLong(const FILETIME& time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

void MutexNameOfPath(const char* devicePath, char* name, std::size_t size) {
    // Global, so that runs in other sessions (a service, a second user) take part.
    const char prefix[] = "Global\\frostgauge-";
    std::memcpy(name, prefix, sizeof prefix);
    CopyPathTail(devicePath, InMutexName, name + sizeof prefix - 1, size - sizeof prefix + 1);
}

bool TakeTurn(const char* devicePath, DeviceHandle, Turn* turn) {
    // Taken before the thermometer is opened: a handle receives every report
    // from its opening on, and Wine hands them on late.
    char name[MAX_PATH];
    MutexNameOfPath(devicePath, name, sizeof name);
    const HANDLE mutex = OpenTurnMutex(name);
    turn->lock = reinterpret_cast<std::intptr_t>(mutex);
    turn->waited = false;
    if (mutex == nullptr) {
        return false;
    }
    // An abandoned mutex was held by a run that died: it is ours now, but
    // that run's last command may still be answered.
    DWORD result = WaitForSingleObject(mutex, 0);
    turn->waited = result != WAIT_OBJECT_0;
    if (result == WAIT_TIMEOUT) {
        result = WaitForSingleObject(mutex, static_cast<DWORD>(lockTimeoutMs));
    }
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
        return true;
    }
    PrintError("ERR WaitForSingleObject", result == WAIT_TIMEOUT ? ERROR_TIMEOUT : GetLastError());
    CloseHandle(mutex);
    turn->lock = 0;
    return false;
}

void EndTurn(Turn* turn) {
    const HANDLE mutex = reinterpret_cast<HANDLE>(turn->lock);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    turn->lock = 0;
}

void MarkPathOf(const char* devicePath, char* path, std::size_t size) {
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

MarkFound LookAtMark(const char* path, long* ageMs) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) {
        return MarkFound::kNone;
    }
    if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        return MarkFound::kUndated;
    }
    // The last write, which every stamp sets: NTFS gives a file made anew
    // under an old name that name's old creation time.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG stamped = ToULongLong(data.ftLastWriteTime);
    const ULONGLONG current = ToULongLong(now);
    *ageMs = current >= stamped ? static_cast<long>((current - stamped) / kFileTimePerMs)
                                : -static_cast<long>((stamped - current) / kFileTimePerMs);
    return MarkFound::kDated;
}

MarkHandle StampMark(const char* path, MarkHandle mark) {
    HANDLE file = reinterpret_cast<HANDLE>(mark);
    if (mark == kNoMark) {
        // Another account's mark is not this one's to write: it goes without.
        // A link is opened as itself, never followed.
        file =
            CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return kNoMark;
        }
    }
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    SetFileTime(file, nullptr, nullptr, &now);
    return reinterpret_cast<MarkHandle>(file);
}

void ClearMark(const char* path, MarkHandle mark) {
    CloseHandle(reinterpret_cast<HANDLE>(mark));
    DeleteFileA(path);
}

void LeaveMark(MarkHandle mark) {
    CloseHandle(reinterpret_cast<HANDLE>(mark));
}
