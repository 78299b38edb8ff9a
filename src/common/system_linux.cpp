#include "common/system_linux.h"
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

long MillisecondsSince(const timespec& start) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L;
}
