#include <cstdio>

#include "cli/cli.h"
#include "common/run_options.h"

namespace {

const char* const kUsageLines[] = {
    "",
    "Synopsis",
    "    Frostgauge [Option]",
    "",
    "Option",
    "    -d      Display diagnosis.",
    "    -f      Convert temperature in Fahrenheit. (Celsius as default)",
    "    -t      Add time stamp in W3C-DTF expression.",
    "    -x      Use XML format with charset UTF-8 without BOM. This overrides -t option.",
    "    -h      Display this help. This overrides all other options.",
    "",
    "Requirement",
    "    TEMPer Gold USB Thermometer",
    "    Windows 2000 and later versions of Windows, tested with Windows 7 only",
    "",
    "Example",
    "    Frostgauge            Simply display temperature in Celsius.",
    "    Frostgauge -t         Display temperature in Celsius with time stamp",
    "    Frostgauge -x -f      Display temperature in Fahrenheit embedded in XML.",
    "",
    "Auther",
    "    The Frostgauge project; please report problems on its issue tracker.",
};

}  // namespace

void PrintUsage() {
    std::printf("\n");
    std::printf("%s - Read temperature from TEMPer Gold\n", "Frostgauge Version 1.3");
    for (const char* line : kUsageLines) {
        std::printf("%s\n", line);
    }
}

bool ParseOptions(int argc, const char* const argv[], int* exitStatus) {
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (argument[0] != '-') {
            PrintUsage();
            *exitStatus = ERROR_SENTINEL;
            return false;
        }
        // Only the letter after the dash counts, so -fahrenheit means -f.
        switch (argument[1]) {
        case 'd':
        case 'D':
            runOptions.diagnosis = true;
            break;
        case 'f':
        case 'F':
            runOptions.fahrenheit = true;
            break;
        case 't':
        case 'T':
            runOptions.timeStamp = true;
            break;
        case 'x':
        case 'X':
            runOptions.xmlFormat = true;
            break;
        default:  // -h, and any other letter or a lone dash
            PrintUsage();
            *exitStatus = 0;
            return false;
        }
    }
    return true;
}
