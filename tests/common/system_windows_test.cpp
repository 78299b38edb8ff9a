#include <gtest/gtest.h>

#include <string>

#include "common/system.h"

namespace {

// The texts as Wine words them; Windows's own differ ("The pipe has been
// ended." for 109) but end in CR LF all the same.
TEST(SystemErrorText, GivesTheTextAsThePlatformWritesIt) {
    const struct {
        int code;
        const char* text;
    } cases[] = {
        {5, "Access denied.\r\n"},
        {29, "Write fault.\r\n"},
        {38, "End of file.\r\n"},
        {109, "Broken pipe.\r\n"},
        {232, "Pipe closed.\r\n"},
        // Bit 29 marks an application's own codes, which Windows has no text for.
        {0x20000001, ""},
    };
    for (const auto& c : cases) {
        char text[kErrorTextSize];
        EXPECT_STREQ(SystemErrorText(c.code, text, sizeof text), c.text) << c.code;
    }
}

}  // namespace
