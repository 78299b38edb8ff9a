#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "output/clock_windows.h"
#include "output/output.h"
#include "support/stamp.h"

namespace {

TIME_ZONE_INFORMATION Zone(LONG bias, LONG standardBias, LONG daylightBias) {
    TIME_ZONE_INFORMATION zone = {};
    zone.Bias = bias;
    zone.StandardBias = standardBias;
    zone.DaylightBias = daylightBias;
    return zone;
}

constexpr Instant kNoon2024 = 1704110400;  // 2024-01-01T12:00:00Z

TEST(Clock, TakesTheOffsetOfTheSeasonInForce) {
    const struct {
        const char* name;
        DWORD zoneId;
        TIME_ZONE_INFORMATION zone;
        Instant instant;
        const char* expected;
    } cases[] = {
        {"Berlin in winter", TIME_ZONE_ID_STANDARD, Zone(-60, 0, -60), kNoon2024,
         "2024-01-01T13:00:00+01:00"},
        {"Berlin in summer", TIME_ZONE_ID_DAYLIGHT, Zone(-60, 0, -60), kNoon2024,
         "2024-01-01T14:00:00+02:00"},
        {"New York in summer", TIME_ZONE_ID_DAYLIGHT, Zone(300, 0, -60), kNoon2024,
         "2024-01-01T08:00:00-04:00"},
        {"St. John's in summer", TIME_ZONE_ID_DAYLIGHT, Zone(210, 0, -60), kNoon2024,
         "2024-01-01T09:30:00-02:30"},
        {"a standard bias of its own", TIME_ZONE_ID_STANDARD, Zone(-600, -30, -60), kNoon2024,
         "2024-01-01T22:30:00+10:30"},
        {"Tokyo, no summer time", TIME_ZONE_ID_UNKNOWN, Zone(-540, 0, 0), kNoon2024,
         "2024-01-01T21:00:00+09:00"},
        {"no summer time ignores stale fields", TIME_ZONE_ID_UNKNOWN, Zone(-330, -15, -60),
         kNoon2024, "2024-01-01T17:30:00+05:30"},
        {"no zone: UTC", TIME_ZONE_ID_INVALID, Zone(-60, 0, -60), kNoon2024,
         "2024-01-01T12:00:00+00:00"},
        {"UTC past 2038", TIME_ZONE_ID_UNKNOWN, Zone(0, 0, 0), kPast2038,
         "2038-01-19T03:14:08+00:00"},
        {"Tokyo on a leap day", TIME_ZONE_ID_UNKNOWN, Zone(-540, 0, 0), kLeapDay2040,
         "2040-02-29T05:00:00+09:00"},
        {"Berlin on a leap day's eve", TIME_ZONE_ID_STANDARD, Zone(-60, 0, -60), kLeapDay2040,
         "2040-02-28T21:00:00+01:00"},
        {"New York, 2100 has no leap day", TIME_ZONE_ID_STANDARD, Zone(300, 0, -60), kMarch2100,
         "2100-02-28T21:00:00-05:00"},
    };
    for (const auto& c : cases) {
        std::tm local = {};
        int bias = 12345;
        LocalTimeInZone(c.instant, c.zoneId, c.zone, &local, &bias);
        EXPECT_EQ(StampText(local, bias), c.expected) << c.name;
    }
    int bias = 12345;
    EXPECT_FALSE(BiasInForce(TIME_ZONE_ID_INVALID, Zone(-60, 0, -60), &bias));
}

}  // namespace

TEST(Clock, StampNamesTheTrueInstantWhateverTZSays) {
    // The C runtime's own zone follows TZ, which Windows's zone ignores; a
    // stamp must never mix the two. The C runtime's clock agrees with ours.
    const Instant now = CurrentTime();
    const Instant runtimeNow = _time64(nullptr);
    EXPECT_TRUE(runtimeNow >= now && runtimeNow - now <= 2) << now << " " << runtimeNow;
    static char zones[][32] = {"TZ=JST-9", "TZ=Europe/Berlin", "TZ=EST5EDT", "TZ=UTC0"};
    static char noZone[] = "TZ=";
    for (char* zone : zones) {
        _putenv(zone);
        _tzset();
        std::tm local = {};
        int bias = 12345;
        LocalTimeAt(now, &local, &bias);
        EXPECT_EQ(_mkgmtime64(&local) + bias * 60, now) << zone << ": " << StampText(local, bias);
    }
    _putenv(noZone);
    _tzset();
}
