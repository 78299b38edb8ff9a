#include "output/clock_windows.h"

#include "output/output.h"

bool BiasInForce(DWORD zoneId, const TIME_ZONE_INFORMATION& zone, int* biasMinutes) {
    switch (zoneId) {
    case TIME_ZONE_ID_DAYLIGHT:
        *biasMinutes = static_cast<int>(zone.Bias + zone.DaylightBias);
        return true;
    case TIME_ZONE_ID_STANDARD:
        *biasMinutes = static_cast<int>(zone.Bias + zone.StandardBias);
        return true;
    case TIME_ZONE_ID_UNKNOWN:  // a zone without summer time
        *biasMinutes = static_cast<int>(zone.Bias);
        return true;
    default:
        return false;
    }
}

void LocalTimeAt(std::time_t instant, std::tm* local, int* biasMinutes) {
    // Windows tells only the bias in force now, which is right for the
    // program: it always stamps the present moment. The wall clock is taken
    // from that same bias, not from the C runtime's localtime, which follows
    // a TZ variable where one is set and would then name another instant.
    TIME_ZONE_INFORMATION zone = {};
    const DWORD zoneId = GetTimeZoneInformation(&zone);
    if (BiasInForce(zoneId, zone, biasMinutes)) {
        const std::time_t wallClock = instant - static_cast<std::time_t>(*biasMinutes) * 60;
        if (gmtime_s(local, &wallClock) == 0) {
            return;
        }
    }
    *biasMinutes = 0;
    if (gmtime_s(local, &instant) != 0) {
        *local = std::tm{};
        local->tm_year = 70;  // nothing sensible is left: say the epoch
        local->tm_mday = 1;
    }
}
