#include "output/output.h"

// A 32-bit time_t would break stamps down wrong from January 2038 on; every
// Linux build asks for 64 bits with _TIME_BITS=64.
static_assert(sizeof(std::time_t) == sizeof(Instant), "time_t must hold every instant");

Instant CurrentTime() {
    return static_cast<Instant>(std::time(nullptr));
}

void LocalTimeAt(Instant instant, std::tm* local, int* biasMinutes) {
    const auto seconds = static_cast<std::time_t>(instant);
    // tm_gmtoff is the offset of this very instant, summer time included.
    if (localtime_r(&seconds, local) != nullptr) {
        *biasMinutes = static_cast<int>(-local->tm_gmtoff / 60);
        return;
    }
    *biasMinutes = 0;
    if (gmtime_r(&seconds, local) == nullptr) {
        *local = std::tm{};
        local->tm_year = 70;  // nothing sensible is left: say the epoch
        local->tm_mday = 1;
    }
}
