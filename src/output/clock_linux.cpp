#include "output/output.h"

void LocalTimeAt(std::time_t instant, std::tm* local, int* biasMinutes) {
    // tm_gmtoff is the offset of this very instant, summer time included.
    if (localtime_r(&instant, local) != nullptr) {
        *biasMinutes = static_cast<int>(-local->tm_gmtoff / 60);
        return;
    }
    *biasMinutes = 0;
    if (gmtime_r(&instant, local) == nullptr) {
        *local = std::tm{};
        local->tm_year = 70;  // nothing sensible is left: say the epoch
        local->tm_mday = 1;
    }
}
