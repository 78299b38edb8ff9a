#include <gtest/gtest.h>

#include "common/run_options.h"
#include "device/unread.h"
#include "support/capture.h"

namespace {

// A stick that is not read is named, once, and fails the run only where no
// thermometer was found; any other device stays silent.
TEST(UnreadSticks, NamedWhereNoThermometerIsOrUnderDiagnosis) {
    const char kStick[] = "WRN TEMPer 1a86:e025 not read\n";
    const struct {
        const char* name;
        unsigned vendor;
        unsigned product;
        bool thermometerFound;
        bool diagnosis;
        int status;
        const char* output;
    } cases[] = {
        {"a stick alone", 0x1A86, 0xE025, false, false, ERROR_SENTINEL, kStick},
        {"a stick alone, -d", 0x1A86, 0xE025, false, true, ERROR_SENTINEL, kStick},
        {"a stick beside a thermometer", 0x1A86, 0xE025, true, false, 0, ""},
        {"a stick beside a thermometer, -d", 0x1A86, 0xE025, true, true, 0, kStick},
        {"TEMPerGold_V3.1", 0x413D, 0x2107, false, false, ERROR_SENTINEL,
         "WRN TEMPer 413d:2107 not read\n"},
        {"TEMPer2_V4.1", 0x3553, 0xA001, false, false, ERROR_SENTINEL,
         "WRN TEMPer 3553:a001 not read\n"},
        {"another device", 0x1A86, 0xE026, false, true, 0, ""},
        {"another 0C45 device", 0x0C45, 0x7402, false, true, 0, ""},
    };
    for (const auto& c : cases) {
        runOptions = RunOptions{};
        runOptions.diagnosis = c.diagnosis;
        UnreadSticks sticks = {};
        StartCapture();
        NoteUnreadStick(&sticks, c.vendor, c.product);
        EXPECT_EQ(ReportUnreadSticks(sticks, c.thermometerFound, 0), c.status) << c.name;
        EXPECT_EQ(FinishCapture(), c.output) << c.name;
    }
    runOptions = RunOptions{};
}

}  // namespace
