#include "common/system.h"

#include <cstdio>

#include "common/run_options.h"

void PrintSystemError(const char* what, int code) {
    char text[kErrorTextSize];
    std::printf("%s %d %s\n", what, code, SystemErrorText(code, text, sizeof text));
}

void PrintDiagnosedError(const char* what, int code) {
    if (runOptions.diagnosis) {
        PrintSystemError(what, code);
    }
}
