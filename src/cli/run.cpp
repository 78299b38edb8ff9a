#include "cli/cli.h"

int RunFrostgauge(int argc, char* argv[]) {
    int exitStatus = 0;
    if (!ParseOptions(argc, argv, &exitStatus)) {
        return exitStatus;
    }
    return FindThermometers(ReadThermometer);
}
