#include <gtest/gtest.h>

#include <string>

#include "common/run_options.h"
#include "device/device.h"
#include "device/transfer.h"
#include "support/capture.h"
#include "support/stand_in.h"

namespace {

class ProtocolTest : public testing::Test {
protected:
    void SetUp() override {
        runOptions = RunOptions{};
        ASSERT_TRUE(OpenStandIn(&device_));
    }
    void TearDown() override {
        CloseStandIn(&device_);
        runOptions = RunOptions{};
    }
    StandIn device_{};
};

Bytes CelsiusAnswer(std::uint8_t high, std::uint8_t low) {
    return {0x80, 0x02, high, low, 0x00, 0x00, 0x00, 0x00};
}

Bytes CalibrationAnswer(std::uint8_t value) {
    return {0x82, 0x01, value, 0x00, 0x00, 0x00, 0x00, 0x00};
}

TEST_F(ProtocolTest, DecodesTemperatureAsTwosComplementEighths) {
    struct Case {
        std::uint8_t high, low;
        double expected;
    };
    const Case cases[] = {
        {0x19, 0x20, 25.125},  {0x19, 0x3F, 25.125},  // low five bits ignored
        {0x00, 0xE0, 0.875},   {0x00, 0x00, 0.0},
        {0x7D, 0x00, 125.0},   {0x7D, 0x20, -255.0},  // just above the range
        {0xE6, 0xE0, -25.125}, {0xFF, 0xE0, -0.125},
        {0xD8, 0x00, -40.0},   {0xD7, 0xE0, -255.0},  // just below the range
        {0x80, 0x00, -255.0},                         // -128
    };
    for (const Case& c : cases) {
        QueueAnswer(device_, CelsiusAnswer(c.high, c.low));
        StartCapture();
        const double celsius = ReadCelsius(device_.program);
        EXPECT_EQ(FinishCapture(), "");
        EXPECT_EQ(celsius, c.expected) << std::hex << int(c.high) << " " << int(c.low);
    }
}

TEST_F(ProtocolTest, DecodesCalibrationAsSignAndMagnitude) {
    const struct {
        std::uint8_t byte;
        int expected;
    } cases[] = {
        {0x80, 0}, {0x87, -7}, {0x88, -8}, {0x89, -255}, {0x07, 7}, {0x08, -255}, {0xFF, -255},
    };
    for (const auto& c : cases) {
        QueueAnswer(device_, CalibrationAnswer(c.byte));
        StartCapture();
        EXPECT_EQ(ReadCalibration(device_.program), c.expected) << std::hex << int(c.byte);
        EXPECT_EQ(FinishCapture(), "");
    }
}

TEST_F(ProtocolTest, SendsEachCommandAsANineByteReport) {
    QueueAnswer(device_, Bytes(8, 0x41));
    QueueAnswer(device_, Bytes(8, 0x42));
    QueueAnswer(device_, CalibrationAnswer(0));
    QueueAnswer(device_, CelsiusAnswer(0x19, 0x20));
    ASSERT_EQ(ReadVersion(device_.program), 0);
    ASSERT_EQ(ReadCalibration(device_.program), 0);
    ASSERT_EQ(ReadCelsius(device_.program), 25.125);
    const std::vector<Bytes> expected = {
        {0x00, 0x01, 0x86, 0xFF, 0x01, 0x00, 0x00, 0x00, 0x00},
        {0x00, 0x01, 0x82, 0x77, 0x01, 0x00, 0x00, 0x00, 0x00},
        {0x00, 0x01, 0x80, 0x33, 0x01, 0x00, 0x00, 0x00, 0x00},
    };
    EXPECT_EQ(ReceivedCommands(device_), expected);
}

TEST_F(ProtocolTest, TracesEveryExchangeInDiagnosisMode) {
    struct Case {
        const char* name;
        std::vector<Bytes> answers;
        int (*operation)(DeviceHandle);
        const char* trace;
    };
    const Case cases[] = {
        {"version, with stale bytes after the name",
         {{'T', 'E', 'M', 'P', 'e', 'r', 'G', 'o'}, {'l', 'd', 0x00, 'V', '1', '.', '2', 0x00}},
         ReadVersion,
         "ReadVersion\n"
         "  SND 9 byte 00 01 86 FF 01 00 00 00 00\n"
         "  RCV 9 byte 00 54 45 4D 50 65 72 47 6F\n"
         "  RCV 9 byte 00 6C 64 00 56 31 2E 32 00\n"
         "  ->TEMPerGold\n"},
        {"version with a zero byte inside the name",
         {{'T', 'E', 0x00, 'P', 'e', 'r', 'G', 'o'}, {'l', 'd'}},
         ReadVersion,
         "ReadVersion\n"
         "  SND 9 byte 00 01 86 FF 01 00 00 00 00\n"
         "  RCV 9 byte 00 54 45 00 50 65 72 47 6F\n"
         "  RCV 3 byte 00 6C 64\n"
         "  ->TE\n"},
        {"calibration out of range is still traced",
         {CalibrationAnswer(0x89)},
         ReadCalibration,
         "ReadCalibration\n"
         "  SND 9 byte 00 01 82 77 01 00 00 00 00\n"
         "  RCV 9 byte 00 82 01 89 00 00 00 00 00\n"
         "  ->Calibration -9 degC\n"},
        {"short calibration answer decodes as zero",
         {{0x82, 0x01}},
         ReadCalibration,
         "ReadCalibration\n"
         "  SND 9 byte 00 01 82 77 01 00 00 00 00\n"
         "  RCV 3 byte 00 82 01\n"
         "  ->Calibration 0 degC\n"},
        {"temperature",
         {CelsiusAnswer(0x19, 0x20)},
         [](DeviceHandle d) { return static_cast<int>(ReadCelsius(d)); },
         "ReadCelsius\n"
         "  SND 9 byte 00 01 80 33 01 00 00 00 00\n"
         "  RCV 9 byte 00 80 02 19 20 00 00 00 00\n"
         "  ->25.125 degC\n"},
        {"negative temperature",
         {CelsiusAnswer(0xFF, 0xE0)},
         [](DeviceHandle d) { return static_cast<int>(ReadCelsius(d)); },
         "ReadCelsius\n"
         "  SND 9 byte 00 01 80 33 01 00 00 00 00\n"
         "  RCV 9 byte 00 80 02 FF E0 00 00 00 00\n"
         "  ->-0.125 degC\n"},
    };
    runOptions.diagnosis = true;
    for (const Case& c : cases) {
        for (const Bytes& answer : c.answers) {
            QueueAnswer(device_, answer);
        }
        StartCapture();
        c.operation(device_.program);
        EXPECT_EQ(FinishCapture(), c.trace) << c.name;
    }
}

TEST_F(ProtocolTest, FailedWriteEndsTheOperationWithItsErrorLine) {
    HangUp(&device_);
    for (const bool diagnosis : {false, true}) {
        runOptions.diagnosis = diagnosis;
        StartCapture();
        EXPECT_EQ(ReadVersion(device_.program), -255);
        const std::string out = FinishCapture();
        const std::string expectedStart =
            diagnosis ? "ReadVersion\n  SND 9 byte 00 01 86 FF 01 00 00 00 00\nERR WriteFile "
                      : "ERR WriteFile ";
        EXPECT_EQ(out.rfind(expectedStart, 0), 0u) << out;
        EXPECT_EQ(out.find("RCV"), std::string::npos) << out;
    }
}

}  // namespace
