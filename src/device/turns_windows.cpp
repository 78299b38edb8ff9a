#include <windows.h>
// aclapi.h, sddl.h and shlobj.h need the types of windows.h.
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/system.h"
#include "common/system_windows.h"
#include "device/hid_windows.h"
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

// Room for a mark's text: the counter in 20 digits and a line break.
constexpr std::size_t kStampSize = 32;
// A mark older than any answer could be.
constexpr std::int64_t kLongAgoMs = INT64_C(1) << 40;

// 100-ns intervals of a FILETIME in a millisecond.
constexpr std::int64_t kFileTimePerMs = 10000;

// A token's user: the record and the longest SID it may point to.
constexpr std::size_t kTokenUserSize = sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE;

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

std::int64_t ToInt64(const FILETIME& time) {
    return static_cast<std::int64_t>((static_cast<ULONGLONG>(time.dwHighDateTime) << 32) |
                                     time.dwLowDateTime);
}

// Milliseconds on the performance counter: every process reads the same
// one, no change of the wall clock moves it, and it starts anew at each
// boot. Wine's wall clock trails by up to a second under load; this
// counter does not. -1 where there is none.
std::int64_t CounterMs() {
    LARGE_INTEGER count;
    LARGE_INTEGER frequency;
    if (!QueryPerformanceCounter(&count) || !QueryPerformanceFrequency(&frequency) ||
        frequency.QuadPart <= 0) {
        return -1;
    }
    return count.QuadPart / frequency.QuadPart * 1000 +
           count.QuadPart % frequency.QuadPart * 1000 / frequency.QuadPart;
}

// A mark holds the counter of its last stamp; where it holds none (a run
// killed between making and stamping it, an earlier version's), its last
// write time tells, on the wall clock.
bool ReadStamp(HANDLE file, std::int64_t* stampedMs) {
    char text[kStampSize] = {};
    DWORD got = 0;
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !ReadFile(file, text, sizeof text - 1, &got, nullptr) || got == 0) {
        return false;
    }
    // Its own digits: the C runtime's strtoll pulls in more of msvcrt.dll.
    const char* digit = text;
    std::uint64_t stamped = 0;
    for (; *digit >= '0' && *digit <= '9'; ++digit) {
        stamped = stamped * 10 + static_cast<std::uint64_t>(*digit - '0');
    }
    *stampedMs = static_cast<std::int64_t>(stamped);
    return digit != text && *digit == '\n';
}

void WriteStamp(HANDLE file) {
    const std::int64_t counterMs = CounterMs();
    char text[kStampSize];
    const int length =
        std::snprintf(text, sizeof text, "%020lld\n", static_cast<long long>(counterMs));
    DWORD written = 0;
    if (counterMs >= 0 && length > 0 &&
        SetFilePointer(file, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
        WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr) &&
        written == static_cast<DWORD>(length)) {
        return;
    }
    // Emptied, the mark tells its time by its last write, which is now.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    SetEndOfFile(file);
    SetFileTime(file, nullptr, nullptr, &now);
}

bool IsWellKnownOwner(PSID owner, DWORD count, DWORD first, DWORD second) {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID known = nullptr;
    if (!AllocateAndInitializeSid(&nt, static_cast<BYTE>(count), first, second, 0, 0, 0, 0, 0, 0,
                                  &known)) {
        return false;
    }
    const bool same = EqualSid(owner, known) != FALSE;
    FreeSid(known);
    return same;
}

bool IsThisAccount(PSID owner) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    // A union, so that the SID within lies where TOKEN_USER's alignment puts it.
    union {
        TOKEN_USER user;
        BYTE bytes[kTokenUserSize];
    } account;
    DWORD size = 0;
    const bool same = GetTokenInformation(token, TokenUser, &account, sizeof account, &size) &&
                      EqualSid(owner, account.user.User.Sid);
    CloseHandle(token);
    return same;
}

// Anyone may make a file in the marks' folder: only a plain file of this
// account's, the system's or the administrators' (whom Windows makes the
// owner of what an administrator makes) tells when its run sent a command.
// Its time is the last write, which every stamp sets: NTFS gives a file
// made anew under an old name that name's old creation time.
MarkFound LookAtOpenMark(HANDLE file, std::int64_t* stampedAt) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(file, &information) ||
        (information.dwFileAttributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        return MarkFound::kUndated;
    }
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (getSecurityInfoCall(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                            nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        return MarkFound::kUndated;
    }
    const bool trusted =
        owner != nullptr &&
        (IsThisAccount(owner) || IsWellKnownOwner(owner, 1, SECURITY_LOCAL_SYSTEM_RID, 0) ||
         IsWellKnownOwner(owner, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS));
    LocalFree(descriptor);
    *stampedAt = ToInt64(information.ftLastWriteTime);
    return trusted ? MarkFound::kDated : MarkFound::kUndated;
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

bool FindMarkPlace(const char* devicePath, char* path, std::size_t size) {
    char folder[MAX_PATH] = "";
    path[0] = '\0';
    if (readOutMarkDir != nullptr) {
        std::snprintf(folder, sizeof folder, "%s", readOutMarkDir);
    } else if (!FindCommonAppData(folder)) {
        return false;
    }
    const int length = std::snprintf(path, size, "%s\\frostgauge-", folder);
    if (length < 0 || static_cast<std::size_t>(length) >= size) {
        path[0] = '\0';
        return false;
    }
    CopyPathTail(devicePath, InFileName, path + length, size - static_cast<std::size_t>(length));
    return true;
}

MarkFound LookAtMarks(const char* path, std::int64_t* ageMs) {
    // Opened as itself, so that a link tells its own owner and kind.
    const HANDLE file = CreateFileA(path, GENERIC_READ | READ_CONTROL | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        // Something there that this run may not look at, such as a folder,
        // which opens only for backup, tells no time.
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? MarkFound::kNone
                                                                              : MarkFound::kUndated;
    }
    std::int64_t writtenAt = 0;
    std::int64_t stampedMs = 0;
    const MarkFound found = LookAtOpenMark(file, &writtenAt);
    const bool stamped = found == MarkFound::kDated && ReadStamp(file, &stampedMs);
    CloseHandle(file);
    if (stamped) {
        // Ahead of the counter, it was stamped in an earlier boot.
        const std::int64_t counterMs = CounterMs();
        *ageMs = counterMs >= stampedMs ? counterMs - stampedMs : kLongAgoMs;
    } else if (found == MarkFound::kDated) {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        *ageMs = (ToInt64(now) - writtenAt) / kFileTimePerMs;
    }
    return found;
}

MarkHandle StampMark(const char* path, MarkHandle mark) {
    HANDLE file = reinterpret_cast<HANDLE>(mark);
    if (mark == kNoMark) {
        // A link is opened as itself, never followed; a file that would not
        // tell its time to the next run is not this run's to stamp.
        file = CreateFileA(path, GENERIC_WRITE | READ_CONTROL | FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return kNoMark;
        }
        std::int64_t stampedAt = 0;
        if (LookAtOpenMark(file, &stampedAt) != MarkFound::kDated) {
            CloseHandle(file);
            return kNoMark;
        }
    }
    WriteStamp(file);
    return reinterpret_cast<MarkHandle>(file);
}

void ClearMark(const char* path, MarkHandle mark) {
    CloseHandle(reinterpret_cast<HANDLE>(mark));
    DeleteFileA(path);
}

void LeaveMark(MarkHandle mark) {
    CloseHandle(reinterpret_cast<HANDLE>(mark));
}
