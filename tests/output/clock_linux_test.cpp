#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "output/output.h"
#include "support/stamp.h"

namespace {

constexpr Instant kJanuary = 1705275000;  // 2024-01-14T23:30:00Z
constexpr Instant kJuly = 1721025000;     // 2024-07-15T06:30:00Z

TEST(Clock, StampsTheLocalTimeWithTheOffsetInForce) {
    const struct {
        const char* zone;
        Instant instant;
        const char* expected;
    } cases[] = {
        {"JST-9", kJanuary, "2024-01-15T08:30:00+09:00"},
        {"UTC0", kJanuary, "2024-01-14T23:30:00+00:00"},
        {"NST3:30", kJanuary, "2024-01-14T20:00:00-03:30"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", kJanuary, "2024-01-15T00:30:00+01:00"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", kJuly, "2024-07-15T08:30:00+02:00"},
        {"EST5EDT,M3.2.0,M11.1.0", kJuly, "2024-07-15T02:30:00-04:00"},
        {"UTC0", kPast2038, "2038-01-19T03:14:08+00:00"},
        {"JST-9", kLeapDay2040, "2040-02-29T05:00:00+09:00"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", kLeapDay2040, "2040-02-28T21:00:00+01:00"},
        {"EST5EDT,M3.2.0,M11.1.0", kMarch2100, "2100-02-28T21:00:00-05:00"},
    };
    const char* saved = std::getenv("TZ");
    const std::string savedZone = saved != nullptr ? saved : "";
    for (const auto& c : cases) {
        setenv("TZ", c.zone, 1);
        tzset();
        std::tm local = {};
        int bias = 12345;
        LocalTimeAt(c.instant, &local, &bias);
        EXPECT_EQ(StampText(local, bias), c.expected) << c.zone;
    }
    if (saved != nullptr) {
        setenv("TZ", savedZone.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

}  // namespace
