#include <windows.h>

#include <cstdio>

#include "common/system.h"

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
