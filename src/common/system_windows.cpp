#include <windows.h>
// shlobj.h needs the types of windows.h.
#include <shlobj.h>

#include <cstdio>
#include <cstring>

#include "common/system.h"
#include "common/system_windows.h"

namespace {

constexpr DWORD kMessageFlags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
constexpr DWORD kUserLanguage = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);
// A token's user: the record and the longest SID it may point to.
constexpr std::size_t kTokenUserSize = sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE;

bool IsNtSid(PSID sid, BYTE count, DWORD first, DWORD second) {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID known = nullptr;
    if (!AllocateAndInitializeSid(&nt, count, first, second, 0, 0, 0, 0, 0, 0, &known)) {
        return false;
    }
    const bool same = EqualSid(sid, known) != FALSE;
    FreeSid(known);
    return same;
}

}  // namespace

const char* SystemErrorText(int code, char* text, std::size_t size) {
    char* buffer = nullptr;
    // With ALLOCATE_BUFFER the buffer argument receives the address of the text.
    const DWORD length =
        FormatMessageA(kMessageFlags, nullptr, static_cast<DWORD>(code), kUserLanguage,
                       reinterpret_cast<char*>(&buffer), 0, nullptr);
    if (buffer == nullptr) {
        if (size > 0) {
            text[0] = '\0';
        }
        return text;
    }
    std::snprintf(text, size, "%.*s", static_cast<int>(length), buffer);
    LocalFree(buffer);
    return text;
}

void PauseMilliseconds(int milliseconds) {
    Sleep(static_cast<DWORD>(milliseconds));
}

// Windows has no SIGPIPE: a write to a closed pipe fails as it is.
void IgnoreBrokenPipes() {}

HMODULE LoadSystemLibrary(const char* name) {
    // The program's own folder comes first in the search for a bare name,
    // and no list protects HID.DLL or SETUPAPI.DLL from a copy planted
    // there; the altered search path has the libraries that this one needs
    // looked up in its own folder, not the program's.
    char path[MAX_PATH];
    const UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length + 1 + std::strlen(name) >= MAX_PATH) {
        return nullptr;
    }
    std::snprintf(path + length, MAX_PATH - length, "\\%s", name);
    return LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

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

bool IsThisAccount(PSID sid) {
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
                      EqualSid(sid, account.user.User.Sid);
    CloseHandle(token);
    return same;
}

bool IsSystemOrAdministrators(PSID sid) {
    return IsNtSid(sid, 1, SECURITY_LOCAL_SYSTEM_RID, 0) ||
           IsNtSid(sid, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS);
}

// SHELL32.DLL is loaded only here: a run that needs no such folder pays
// nothing for it, and opens no handle before the thermometer's, whose
// number the trace shows.
bool FindCommonAppData(char* folder) {
    using GetFolderPathFunction = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPSTR);
    const HMODULE shell = LoadSystemLibrary("SHELL32.DLL");
    const auto getFolderPath =
        shell != nullptr ? Resolve<GetFolderPathFunction>(shell, "SHGetFolderPathA") : nullptr;
    const bool found =
        getFolderPath != nullptr &&
        getFolderPath(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder) == S_OK;
    if (shell != nullptr) {
        FreeLibrary(shell);
    }
    return found;
}
