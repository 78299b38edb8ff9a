#include "output/clock_windows.h"

#include <cstdint>

#include "output/output.h"

namespace {

// Time comes from kernel32 alone: the C runtime's time_t has 32 bits in the
// x86 build, and kernel32's calls are documented back to Windows 2000, where
// msvcrt.dll's exports are not. A FILETIME counts 100 ns ticks since
// 1601-01-01T00:00:00Z.
constexpr Instant kSecondsFrom1601To1970 = 11644473600;
constexpr std::int64_t kTicksPerSecond = 10000000;
// FileTimeToSystemTime takes tick counts below 2^63 only (the year 30827).
constexpr Instant kLastInstant = INT64_MAX / kTicksPerSecond - kSecondsFrom1601To1970;

bool Convertible(Instant instant) {
    return instant >= -kSecondsFrom1601To1970 && instant <= kLastInstant;
}

// The calendar fields of an instant in UTC. False when Windows cannot tell them.
bool BrokenDown(Instant instant, std::tm* fields) {
    if (!Convertible(instant)) {
        return false;
    }
    const auto ticks = static_cast<ULONGLONG>(instant + kSecondsFrom1601To1970) * kTicksPerSecond;
    FILETIME file = {};
    file.dwLowDateTime = static_cast<DWORD>(ticks);
    file.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    SYSTEMTIME utc = {};
    if (!FileTimeToSystemTime(&file, &utc)) {
        return false;
    }
    *fields = std::tm{};
    fields->tm_year = utc.wYear - 1900;
    fields->tm_mon = utc.wMonth - 1;
    fields->tm_mday = utc.wDay;
    fields->tm_hour = utc.wHour;
    fields->tm_min = utc.wMinute;
    fields->tm_sec = utc.wSecond;
    fields->tm_wday = utc.wDayOfWeek;
    return true;
}

}  // namespace

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

Instant CurrentTime() {
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG ticks = static_cast<ULONGLONG>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
    return static_cast<Instant>(ticks / kTicksPerSecond) - kSecondsFrom1601To1970;
}

void LocalTimeInZone(Instant instant, DWORD zoneId, const TIME_ZONE_INFORMATION& zone,
                     std::tm* local, int* biasMinutes) {
    // An instant Windows can convert stays in range when shifted by any bias.
    if (Convertible(instant) && BiasInForce(zoneId, zone, biasMinutes) &&
        BrokenDown(instant - static_cast<Instant>(*biasMinutes) * 60, local)) {
        return;
    }
    *biasMinutes = 0;
    if (!BrokenDown(instant, local)) {
        *local = std::tm{};
        local->tm_year = 70;  // nothing sensible is left: say the epoch
        local->tm_mday = 1;
    }
}

void LocalTimeAt(Instant instant, std::tm* local, int* biasMinutes) {
    // Windows tells only the bias in force now, which is right for the
    // program: it always stamps the present moment. The C runtime's zone is
    // never asked: it follows a TZ variable where one is set, and the stamp
    // would then name another instant.
    TIME_ZONE_INFORMATION zone = {};
    const DWORD zoneId = GetTimeZoneInformation(&zone);
    LocalTimeInZone(instant, zoneId, zone, local, biasMinutes);
}
