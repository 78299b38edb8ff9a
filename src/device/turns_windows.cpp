#include "device/turns_windows.h"

// sddl.h needs the types of windows.h.
#include <sddl.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/system.h"
#include "common/system_windows.h"
#include "device/turns.h"
#include "device/turns_platform.h"

int lockTimeoutMs = 30000;
const char* readOutMarkDir = nullptr;

CreateMutexCall createMutexCall = CreateMutexA;
OpenMutexCall openMutexCall = OpenMutexA;
GetSecurityInfoCall getSecurityInfoCall = GetSecurityInfo;

namespace {

// Every account may wait on the mutex and release it (SYNCHRONIZE and
// MUTEX_MODIFY_STATE); the system and administrators keep all rights.
constexpr char kMutexSecurity[] = "D:(A;;0x00100001;;;AU)(A;;GA;;;SY)(A;;GA;;;BA)";
constexpr DWORD kMutexTurnRights = SYNCHRONIZE | MUTEX_MODIFY_STATE;
// Tries at making the mutex: when another account's refuses the make, its
// last holder may close it before the open, and another run may make it
// anew before the next make.
constexpr int kMutexTries = 3;

// A stamp is the performance counter in milliseconds after 2000 (which
// every file system can date) as a last write time, and 100 ns more: a
// file system that keeps less loses them.
constexpr std::int64_t kStampEpoch = 125911584000000000;  // 2000-01-01 in FILETIME ticks
constexpr std::int64_t kTicksPerMs = 10000;

// Copies as much of the end of devicePath as fits into name (size bytes,
// zero included): past the room, the end of the path is what tells devices
// apart. Names compare case-sensitively where paths may not; a backslash
// would name an object directory; no file name may hold \/:*?"<>|.
void CopyPathTail(const char* devicePath, bool file, char* name, std::size_t size) {
    const std::size_t length = std::strlen(devicePath);
    const char* path = length >= size ? devicePath + (length - size + 1) : devicePath;
    for (; *path != '\0'; ++path, ++name) {
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(*path)));
        *name = !file ? (c == '\\' ? '/' : c) : std::strchr("\\/:*?\"<>|", c) != nullptr ? '_' : c;
    }
    *name = '\0';
}

// A run of another account (a service, a scheduled task) may have made the
// mutex: CreateMutex then asks for all rights, which it does not grant.
HANDLE OpenTurnMutex(const char* name) {
    SECURITY_ATTRIBUTES security = {sizeof security, nullptr, FALSE};
    const bool described =
        ConvertStringSecurityDescriptorToSecurityDescriptorA(
            kMutexSecurity, SDDL_REVISION_1, &security.lpSecurityDescriptor, nullptr) != FALSE;
    if (!described) {
        PrintDiagnosedError("WRN MutexSecurity", static_cast<int>(GetLastError()));
    }
    HANDLE mutex = nullptr;
    DWORD error = ERROR_SUCCESS;
    for (int tries = 0; tries < kMutexTries; ++tries) {
        mutex = createMutexCall(described ? &security : nullptr, FALSE, name);
        error = GetLastError();
        if (mutex != nullptr || error != ERROR_ACCESS_DENIED) {
            break;
        }
        // Not found, its last holder closed it in between: it can be made.
        mutex = openMutexCall(kMutexTurnRights, FALSE, name);
        if (mutex != nullptr || GetLastError() != ERROR_FILE_NOT_FOUND) {
            break;
        }
    }
    if (described) {
        LocalFree(security.lpSecurityDescriptor);
    }
    if (mutex == nullptr) {
        PrintSystemError("ERR CreateMutex", static_cast<int>(error));
    }
    return mutex;
}

}  // namespace

void MutexNameOfPath(const char* devicePath, char* name, std::size_t size) {
    // Global, so that runs in other sessions (a service, a second user) take part.
    const char prefix[] = "Global\\frostgauge-";
    std::memcpy(name, prefix, sizeof prefix);
    CopyPathTail(devicePath, false, name + sizeof prefix - 1, size - sizeof prefix + 1);
}

bool TakeTurn(const char* devicePath, DeviceHandle, Turn* turn) {
    // Taken before the thermometer is opened: a handle receives every report
    // from its opening on, and Wine hands them on late.
    char name[MAX_PATH];
    MutexNameOfPath(devicePath, name, sizeof name);
    const HANDLE mutex = OpenTurnMutex(name);
    *turn = {reinterpret_cast<std::intptr_t>(mutex), false};
    if (mutex == nullptr) {
        return false;
    }
    DWORD result = WaitForSingleObject(mutex, 0);
    if (result == WAIT_TIMEOUT) {
        result = WaitForSingleObject(mutex, static_cast<DWORD>(lockTimeoutMs));
    }
    // An abandoned mutex was held by a run that died: it is ours now, but
    // that run's last command may still be answered.
    turn->abandoned = result == WAIT_ABANDONED;
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
        return true;
    }
    PrintSystemError("ERR WaitForSingleObject",
                     static_cast<int>(result == WAIT_TIMEOUT ? ERROR_TIMEOUT : GetLastError()));
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

int ListMarkPlaces(const char* devicePath, MarkPaths paths) {
    // The folder every account shares, then this account's own: where the
    // common one fails it, its own runs still meet there.
    char folders[2][MAX_PATH] = {};
    int count = 0;
    if (readOutMarkDir != nullptr) {
        std::snprintf(folders[count++], MAX_PATH, "%s", readOutMarkDir);
    } else if (FindCommonAppData(folders[count])) {
        ++count;
    } else {
        PrintDiagnosedError("WRN CommonAppData", static_cast<int>(GetLastError()));
    }
    const DWORD length = readOutMarkDir != nullptr ? 0 : GetTempPathA(MAX_PATH, folders[count]);
    if (length > 1 && length < MAX_PATH) {
        folders[count++][length - 1] = '\0';  // its closing backslash
    }
    for (int i = 0; i < count; ++i) {
        // Within MAX_PATH, which the ANSI calls take.
        const int used = std::snprintf(paths[i], MAX_PATH, "%s\\frostgauge-", folders[i]);
        CopyPathTail(devicePath, true, paths[i] + used, static_cast<std::size_t>(MAX_PATH - used));
    }
    return count;
}

// Opened as itself, so that a link tells its own owner and kind; a folder
// opens only for backup, and fails here as anything this run may not look
// at. Anyone may make a file in the common folder: only a plain file with
// one name tells when its run sent a command, and only if it is this
// account's, the system's or the administrators'.
Lying WhatLiesAt(const char* path, DeviceHandle, Stamp* stamp) {
    const HANDLE file = CreateFileA(path, READ_CONTROL | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    const DWORD error = GetLastError();
    BY_HANDLE_FILE_INFORMATION information;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    Lying lying = Lying::kOther;
    if (file == INVALID_HANDLE_VALUE) {
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Lying::kNothing
                                                                              : Lying::kOther;
    }
    if (GetFileInformationByHandle(file, &information) && information.nNumberOfLinks == 1 &&
        (information.dwFileAttributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
        getSecurityInfoCall(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                            nullptr, nullptr, &descriptor) == ERROR_SUCCESS) {
        lying = owner == nullptr                  ? Lying::kOther
                : IsThisAccount(owner)            ? Lying::kOwn
                : IsSystemOrAdministrators(owner) ? Lying::kTrusted
                                                  : Lying::kOther;
        LocalFree(descriptor);
        const ULARGE_INTEGER written = {{information.ftLastWriteTime.dwLowDateTime,
                                         information.ftLastWriteTime.dwHighDateTime}};
        const auto ticks = static_cast<std::int64_t>(written.QuadPart) - kStampEpoch;
        *stamp = {ticks / kTicksPerMs, ticks % kTicksPerMs == 1};
    }
    CloseHandle(file);
    return lying;
}

std::int64_t StampClockMs() {
    return CounterMs();
}

bool CanKeepMark(const char* path, DeviceHandle device, int* error) {
    int cut = 0;  // the last backslash
    for (int i = 0; path[i] != '\0'; ++i) {
        cut = path[i] == '\\' ? i : cut;
    }
    char folder[MAX_PATH];
    std::snprintf(folder, sizeof folder, "%.*s", cut, path);
    const DWORD attributes = GetFileAttributesA(folder);
    // Without persistent access lists (FAT) no owner tells a mark's run.
    const char root[] = {folder[0], ':', '\\', '\0'};
    DWORD flags = FILE_PERSISTENT_ACLS;
    *error = ERROR_ACCESS_DENIED;
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (folder[1] == ':' &&
         (!GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) ||
          (flags & FILE_PERSISTENT_ACLS) == 0))) {
        return false;
    }
    Stamp stamp = {0, true};
    const Lying lying = WhatLiesAt(path, device, &stamp);
    *error = ERROR_FILE_EXISTS;
    return lying == Lying::kNothing || lying == Lying::kOwn;
}

MarkHandle MakeMark(const char* path, DeviceHandle, int* error) {
    // Made new, never opened: no file but this run's own is ever written.
    const HANDLE file =
        CreateFileA(path, FILE_WRITE_ATTRIBUTES | READ_CONTROL | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW, 0, nullptr);
    *error = static_cast<int>(GetLastError());
    if (file == INVALID_HANDLE_VALUE) {
        return kNoMark;
    }
    // One that a later run would not trust goes at once.
    Stamp stamp = {0, true};
    *error = ERROR_ACCESS_DENIED;
    const auto mark = reinterpret_cast<MarkHandle>(file);
    if (WhatLiesAt(path, 0, &stamp) == Lying::kOther || !StampMark(mark, error)) {
        CloseHandle(file);
        DeleteFileA(path);
        return kNoMark;
    }
    return mark;
}

bool StampMark(MarkHandle mark, int* error) {
    const std::int64_t counterMs = CounterMs();
    const auto ticks = static_cast<ULONGLONG>(kStampEpoch + counterMs * kTicksPerMs + 1);
    const FILETIME stamp = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    if (counterMs < 0 || !SetFileTime(reinterpret_cast<HANDLE>(mark), nullptr, nullptr, &stamp)) {
        *error = static_cast<int>(GetLastError());
        return false;
    }
    return true;
}

bool CloseMark(const char* path, MarkHandle mark, bool remove, int* error) {
    CloseHandle(reinterpret_cast<HANDLE>(mark));
    const bool removed = !remove || DeleteFileA(path);
    *error = removed ? 0 : static_cast<int>(GetLastError());
    return removed;
}

void RemoveMark(const char* path) {
    DeleteFileA(path);
}
