#include <cstdio>

#include "cli/cli.h"
#include "common/run_options.h"
#include "common/system.h"

int RunFrostgauge(int argc, char* argv[]) {
    IgnoreBrokenPipes();
    int exitStatus = 0;
    if (ParseOptions(argc, argv, &exitStatus)) {
        exitStatus = FindThermometers(ReadThermometer);
    }
    // A reading its reader never got (a full disk, a closed pipe) is a
    // failure; standard output itself is what failed, so nothing is said.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        return ERROR_SENTINEL;
    }
    return exitStatus;
}
