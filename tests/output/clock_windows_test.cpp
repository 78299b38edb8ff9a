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

TEST(Clock, TakesTheOffsetOfTheSeasonInForce) {
    const struct {
        const char* name;
        DWORD zoneId;
        TIME_ZONE_INFORMATION zone;
        const char* offset;
    } cases[] = {
        {"Berlin in winter", TIME_ZONE_ID_STANDARD, Zone(-60, 0, -60), "+01:00"},
        {"Berlin in summer", TIME_ZONE_ID_DAYLIGHT, Zone(-60, 0, -60), "+02:00"},
        {"New York in summer", TIME_ZONE_ID_DAYLIGHT, Zone(300, 0, -60), "-04:00"},
        {"St. John's in summer", TIME_ZONE_ID_DAYLIGHT, Zone(210, 0, -60), "-02:30"},
        {"a standard bias of its own", TIME_ZONE_ID_STANDARD, Zone(-600, -30, -60), "+10:30"},
        {"Tokyo, no summer time", TIME_ZONE_ID_UNKNOWN, Zone(-540, 0, 0), "+09:00"},
        {"no summer time ignores stale fields", TIME_ZONE_ID_UNKNOWN, Zone(-330, -15, -60),
         "+05:30"},
    };
    std::tm noon = {};
    noon.tm_year = 124;
    noon.tm_mday = 1;
    noon.tm_hour = 12;
    for (const auto& c : cases) {
        int bias = 12345;
        ASSERT_TRUE(BiasInForce(c.zoneId, c.zone, &bias)) << c.name;
        EXPECT_EQ(StampText(noon, bias), std::string("2024-01-01T12:00:00") + c.offset) << c.name;
    }
    int bias = 12345;
    EXPECT_FALSE(BiasInForce(TIME_ZONE_ID_INVALID, Zone(-60, 0, -60), &bias));
}

}  // namespace

TEST(Clock, StampNamesTheTrueInstantWhateverTZSays) {
    // The C runtime's own zone follows TZ, which Windows's zone ignores; a
    // stamp must never mix the two.
    const std::time_t now = std::time(nullptr);
    static char zones[][32] = {"TZ=JST-9", "TZ=Europe/Berlin", "TZ=EST5EDT", "TZ=UTC0"};
    static char noZone[] = "TZ=";
    for (char* zone : zones) {
        _putenv(zone);
        _tzset();
        std::tm local = {};
        int bias = 12345;
        LocalTimeAt(now, &local, &bias);
        EXPECT_EQ(_mkgmtime(&local) + bias * 60, now) << zone << ": " << StampText(local, bias);
    }
    _putenv(noZone);
    _tzset();
}
