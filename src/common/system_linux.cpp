#include "common/system.h"

#include <cerrno>
#include <cstring>
#include <ctime>

std::string SystemErrorText(int code) {
    return std::strerror(code);
}

void PauseMilliseconds(int milliseconds) {
    timespec remaining = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}
