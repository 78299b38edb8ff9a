#include <windows.h>

#include <cstdio>
#include <cstring>

#include "common/system.h"
#include "common/system_windows.h"

namespace {

constexpr DWORD kMessageFlags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
constexpr DWORD kUserLanguage = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);

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
