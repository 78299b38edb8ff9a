#include "common/system.h"

#include <cstdio>

void PrintSystemError(const char* what, int code) {
    char text[kErrorTextSize];
    std::printf("%s %d %s\n", what, code, SystemErrorText(code, text, sizeof text));
}
