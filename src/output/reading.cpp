#include <cstdio>

#include "output/output.h"

void PrintReading(double celsius, int /*calibration*/) {
    std::printf("%3.3f", celsius);
}
