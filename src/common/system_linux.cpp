#include "common/system.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

const char* SystemErrorText(int code, char* text, std::size_t size) {
    std::snprintf(text, size, "%s", std::strerror(code));
    return text;
}

void PauseMilliseconds(int milliseconds) {
    timespec remaining = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

void IgnoreBrokenPipes() {
    std::signal(SIGPIPE, SIG_IGN);
}
