#include <gtest/gtest.h>

#include <cctype>
#include <clocale>
#include <cstdlib>
#include <string>

#include "cli/cli.h"
#include "common/run_options.h"
#include "output/output.h"
#include "support/capture.h"
#include "support/stamp.h"

namespace {

// A time stamp's shape, 9 for a digit and + for either sign: the tests
// cannot know the instant, only that one of this shape is there.
const char kStampShape[] = "9999-99-99T99:99:99+99:99";
const size_t kStampLength = sizeof kStampShape - 1;

bool IsStampAt(const std::string& text, size_t at) {
    if (text.size() - at < kStampLength) {
        return false;
    }
    for (size_t i = 0; i < kStampLength; ++i) {
        const char c = text[at + i], shape = kStampShape[i];
        const bool fits = shape == '9'   ? std::isdigit(static_cast<unsigned char>(c)) != 0
                          : shape == '+' ? c == '+' || c == '-'
                                         : c == shape;
        if (!fits) {
            return false;
        }
    }
    return true;
}

// The text with each time stamp in it replaced by STAMP. (Not std::regex:
// GCC 12 warns inside it in the sanitized build.)
std::string WithStampsMasked(const std::string& text) {
    std::string masked;
    for (size_t at = 0; at < text.size();) {
        if (IsStampAt(text, at)) {
            masked += "STAMP";
            at += kStampLength;
        } else {
            masked += text[at++];
        }
    }
    return masked;
}

std::string Printed(double celsius, int calibration, const RunOptions& options) {
    runOptions = options;
    StartCapture();
    PrintReading(celsius, calibration);
    const std::string out = FinishCapture();
    runOptions = RunOptions{};
    return out;
}

std::tm At(int year, int month, int day, int hour, int minute, int second) {
    std::tm local = {};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    return local;
}

TEST(Reading, PrintsTheValueWithThreeDecimals) {
    const RunOptions celsius = {}, fahrenheit = {false, true, false, false};
    const struct {
        double reading;
        const RunOptions& options;
        const char* expected;
    } cases[] = {
        {25.125, celsius, "25.125"},      {24.125, celsius, "24.125"},
        {-5.5, celsius, "-5.500"},        {0.0, celsius, "0.000"},
        {25.125, fahrenheit, "77.225"},   {24.125, fahrenheit, "75.425"},
        {-40.0, fahrenheit, "-40.000"},   {0.0, fahrenheit, "32.000"},
        {37.0, fahrenheit, "98.600"},     {125.0, fahrenheit, "257.000"},
        {-41.375, fahrenheit, "-42.475"}, {-48.0, fahrenheit, "-54.400"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Printed(c.reading, 0, c.options), c.expected) << c.reading;
    }
}

TEST(Reading, FormatsTheZoneOffsetFromTheBias) {
    const struct {
        int bias;
        const char* suffix;
    } cases[] = {
        {-540, "+09:00"}, {-330, "+05:30"}, {-345, "+05:45"}, {0, "+00:00"},
        {300, "-05:00"},  {210, "-03:30"},  {720, "-12:00"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StampText(At(2024, 1, 15, 8, 30, 0), c.bias),
                  std::string("2024-01-15T08:30:00") + c.suffix);
    }
    EXPECT_EQ(StampText(At(10000, 12, 31, 23, 59, 59), 0), "10000-12-31T23:59:59+00:00");
    EXPECT_EQ(StampText(At(812, 2, 3, 4, 5, 6), -60), " 812-02-03T04:05:06+01:00");
}

TEST(Reading, PrintsEachFormOneAfterTheOther) {
    // Two documents: 25.125 with offset 0, then 24.125 with offset -1.
    const auto xml = [](const std::string& unit, const char* first, const char* second) {
        const std::string declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
        const std::string element = "<temperature time=\"STAMP\" unit=\"" + unit;
        return declaration + element + "\" calibration=\"0\">" + first + "</temperature>\n" +
               declaration + element + "\" calibration=\"-1\">" + second + "</temperature>\n";
    };
    const struct {
        const char* name;
        RunOptions options;
        std::string expected;  // for two readings: 25.125 (offset 0), then 24.125 (offset -1)
    } cases[] = {
        {"plain", {}, "25.12524.125"},
        {"fahrenheit", {false, true, false, false}, "77.22575.425"},
        {"time stamp", {false, false, true, false}, "STAMP 25.125STAMP 24.125"},
        {"xml", {false, false, false, true}, xml("Celsius", "25.125", "24.125")},
        {"xml ignores the time stamp option",
         {false, false, true, true},
         xml("Celsius", "25.125", "24.125")},
        {"xml fahrenheit", {false, true, false, true}, xml("Fahrenheit", "77.225", "75.425")},
    };
    for (const auto& c : cases) {
        runOptions = c.options;
        StartCapture();
        PrintReading(25.125, 0);
        PrintReading(24.125, -1);
        const std::string out = FinishCapture();
        runOptions = RunOptions{};
        EXPECT_EQ(WithStampsMasked(out), c.expected) << c.name;
    }
}

TEST(Reading, NeverStampsGarbageWhenTheTimeCannotBeBrokenDown) {
    // Far beyond any year the C runtime breaks down.
    const Instant hopeless = Instant{1} << 62;
    std::tm local = {};
    int bias = 12345;
    LocalTimeAt(hopeless, &local, &bias);
    EXPECT_EQ(StampText(local, bias), "1970-01-01T00:00:00+00:00");
}

TEST(Reading, KeepsTheFullStopUnderACommaLocale) {
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) {
        GTEST_SKIP() << "locale de_DE.UTF-8 is not installed";
    }
    std::setlocale(LC_NUMERIC, "C");
    // A run under a user's comma locale must not adopt it on the way.
    // putenv, unlike setenv, exists in the Windows C runtime too.
    static char commaLocale[] = "LC_ALL=de_DE.UTF-8";
    static char noLocale[] = "LC_ALL=";
    putenv(commaLocale);
    char name[] = "frostgauge";
    char help[] = "-h";
    char* argv[] = {name, help, nullptr};
    StartCapture();
    RunFrostgauge(2, argv);
    FinishCapture();
    const std::string out = Printed(25.125, 0, {false, true, false, false});
    putenv(noLocale);
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(out, "77.225");
}

}  // namespace
