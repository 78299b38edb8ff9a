#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/cli.h"
#include "common/run_options.h"
#include "support/capture.h"
#include "support/stand_in.h"

namespace {

const Bytes kName1 = {'T', 'E', 'M', 'P', 'e', 'r', 'G', 'o'};
const Bytes kName2 = {'l', 'd', 0, 0, 0, 0, 0, 0};
const Bytes kCalibrationMinus1 = {0x82, 0x01, 0x81, 0x00, 0, 0, 0, 0};
const Bytes kCalibrationBad = {0x82, 0x01, 0x09, 0x00, 0, 0, 0, 0};
const Bytes kCelsius25 = {0x80, 0x02, 0x19, 0x20, 0, 0, 0, 0};
const Bytes kCelsiusBad = {0x80, 0x02, 0x7F, 0x00, 0, 0, 0, 0};

TEST(ReadOut, ReadsInOrderAndStopsAtTheFirstFailure) {
    struct Case {
        const char* name;
        std::vector<Bytes> answers;
        int status;
        const char* output;
        std::size_t commands;  // how many reached the device
    };
    const Case cases[] = {
        {"reading", {kName1, kName2, kCalibrationMinus1, kCelsius25}, 0, "24.125", 3},
        {"calibration out of range",
         {kName1, kName2, kCalibrationBad},
         -255,
         "ERR ReadCalibration\n",
         2},
        {"temperature out of range",
         {kName1, kName2, kCalibrationMinus1, kCelsiusBad},
         -255,
         "ERR ReadCelsius\n",
         3},
        {"short answers decode as zero",
         {kName1, {'l'}, {0x82, 0x01}, {0x80, 0x02}},
         0,
         "0.000",
         3},
    };
    for (const Case& c : cases) {
        runOptions = RunOptions{};
        StandIn device{};
        ASSERT_TRUE(OpenStandIn(&device));
        for (const Bytes& answer : c.answers) {
            QueueAnswer(device, answer);
        }
        StartCapture();
        const int status = ReadThermometer(device.program);
        EXPECT_EQ(FinishCapture(), c.output) << c.name;
        EXPECT_EQ(status, c.status) << c.name;
        EXPECT_EQ(ReceivedCommands(device).size(), c.commands) << c.name;
        CloseStandIn(&device);
    }
}

TEST(ReadOut, ATransferFailureNamesTheCallAndTheOperation) {
    runOptions = RunOptions{};
    StandIn device{};
    ASSERT_TRUE(OpenStandIn(&device));
    HangUp(&device);
    StartCapture();
    EXPECT_EQ(ReadThermometer(device.program), -255);
    const std::string out = FinishCapture();
    CloseStandIn(&device);
    EXPECT_EQ(out.rfind("ERR WriteFile ", 0), 0u) << out;
    const std::string tail = "\nERR ReadVersion\n";
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << out;
}

}  // namespace
