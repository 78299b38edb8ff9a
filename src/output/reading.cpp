#include <cstdio>
#include <cstdlib>

#include "common/run_options.h"
#include "output/output.h"

namespace {

double PrintedValue(double celsius) {
    // Kept in the order earlier versions of Frostgauge used (times 9, times
    // 0.2, plus 32), so that a log's figures stay identical across versions
    // to the last place.
    return runOptions.fahrenheit ? celsius * 9 * 0.2 + 32 : celsius;
}

}  // namespace

void FormatTimeStamp(const std::tm& local, int biasMinutes, char* text, std::size_t size) {
    const char sign = biasMinutes <= 0 ? '+' : '-';
    const int offset = std::abs(biasMinutes);
    std::snprintf(text, size, "%4lld-%02d-%02dT%02d:%02d:%02d%c%02d:%02d",
                  static_cast<long long>(local.tm_year) + 1900, local.tm_mon + 1, local.tm_mday,
                  local.tm_hour, local.tm_min, local.tm_sec, sign, offset / 60, offset % 60);
}

void MakeTimeStamp(char* text, std::size_t size) {
    std::tm local = {};
    int biasMinutes = 0;
    LocalTimeAt(CurrentTime(), &local, &biasMinutes);
    FormatTimeStamp(local, biasMinutes, text, size);
}

void PrintReading(double celsius, int calibration) {
    const double value = PrintedValue(celsius);
    char stamp[kTimeStampSize];
    MakeTimeStamp(stamp, sizeof stamp);
    if (runOptions.xmlFormat) {
        std::printf("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
        std::printf("<temperature time=\"%s\" unit=\"%s\" calibration=\"%d\">", stamp,
                    runOptions.fahrenheit ? "Fahrenheit" : "Celsius", calibration);
        std::printf("%3.3f", value);
        std::printf("</temperature>\n");
        return;
    }
    if (runOptions.timeStamp) {
        std::printf("%s ", stamp);
    }
    std::printf("%3.3f", value);
}
