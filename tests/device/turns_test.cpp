#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli.h"
#include "common/run_options.h"
#include "device/transfer.h"
#include "device/turns.h"
#include "device/turns_platform.h"
#include "support/capture.h"
#include "support/stand_in.h"

namespace {

TEST(Turns, TheMarksAgeSetsTheWait) {
    const int savedQuiet = quietLineMs;
    const int savedTimeout = transferTimeoutMs;
    quietLineMs = 500;
    transferTimeoutMs = 5000;
    const struct {
        const char* name;
        MarkFound found;
        std::int64_t ageMs;
        int quietMs;
        int watchMs;
    } cases[] = {
        {"no mark: the thermometer free, or a live run ended with nothing owed", MarkFound::kNone,
         0, 0, 0},
        {"a dead run's command just sent", MarkFound::kDated, 0, 500, 5000},
        {"sent 4.8 s ago", MarkFound::kDated, 4800, 500, 200},
        {"sent 7 s ago: only what the thermometer held", MarkFound::kDated, 7000, 500, 0},
        {"sent 30 days ago, past what 32 bits of milliseconds hold", MarkFound::kDated,
         INT64_C(30) * 24 * 3600 * 1000, 500, 0},
        {"another boot's, an untrusted account's, or planted", MarkFound::kUndated, 0, 500, 0},
        {"no place for a mark, or the turn's holder died: a run before may have died unmarked",
         MarkFound::kUnknown, 0, 500, 5000},
    };
    for (const auto& c : cases) {
        const QuietLine line = PlanQuietLine(c.found, c.ageMs);
        EXPECT_EQ(line.quietMs, c.quietMs) << c.name;
        EXPECT_EQ(line.watchMs, c.watchMs) << c.name;
    }
    quietLineMs = savedQuiet;
    transferTimeoutMs = savedTimeout;
}

const Bytes kName1 = {'T', 'E', 'M', 'P', 'e', 'r', 'G', 'o'};
const Bytes kName2 = {'l', 'd', 0, 0, 0, 0, 0, 0};
const Bytes kCalibration = {0x82, 0x01, 0x81, 0x00, 0, 0, 0, 0};
const Bytes kCalibrationBad = {0x82, 0x01, 0x89, 0x00, 0, 0, 0, 0};
const Bytes kCelsius = {0x80, 0x02, 0x19, 0x20, 0, 0, 0, 0};

// The answers come once the line is quiet, as a thermometer's do.
const StandIn* playing = nullptr;
const std::vector<Bytes>* answers = nullptr;

int ReadWithAnswers(DeviceHandle device) {
    for (const Bytes& answer : *answers) {
        QueueAnswer(*playing, answer);
    }
    return ReadThermometer(device);
}

int SendNothing(DeviceHandle) {
    return ERROR_SENTINEL;
}

// The place of a mark taken between the run's look and its first command.
const char* takenPlace = nullptr;

int TakePlaceThenRead(DeviceHandle device) {
    std::filesystem::create_directory(takenPlace);
    return ReadWithAnswers(device);
}

// A mark stays only where a command went out whose whole answer never came
// in, and no command goes out that no mark covers.
TEST(Turns, LeavesAMarkOnlyWhereAnAnswerIsOwed) {
    namespace fs = std::filesystem;
    const fs::path folder =
        fs::temp_directory_path() /
        ("frostgauge-marks-" +
         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    const std::string folderText = folder.string();
    const char* savedDir = readOutMarkDir;
    readOutMarkDir = folderText.c_str();
    MarkPaths places;
    ASSERT_EQ(ListMarkPlaces("/dev/hidraw7", places), 1);
    const char* mark = places[0];
    takenPlace = mark;
    const std::vector<Bytes> reading = {kName1, kName2, kCalibration, kCelsius};
    const struct {
        const char* name;
        bool folder;      // the marks' place exists
        bool leftBehind;  // a run that died left its mark, 0.4 s ago
        ThermometerAction action;
        std::vector<Bytes> answers;
        int status;
        bool markAfter;
        std::size_t commands;  // that reached the thermometer
    } cases[] = {
        {"a reading", true, false, ReadWithAnswers, reading, 0, false, 3},
        {"a calibration out of range, in a whole answer",
         true,
         false,
         ReadWithAnswers,
         {kName1, kName2, kCalibrationBad},
         ERROR_SENTINEL,
         false,
         2},
        {"a silent thermometer", true, false, ReadWithAnswers, {}, ERROR_SENTINEL, true, 1},
        {"half the answer to the version command",
         true,
         false,
         ReadWithAnswers,
         {kName1},
         ERROR_SENTINEL,
         true,
         1},
        {"a dead run's mark, taken over", true, true, ReadWithAnswers, reading, 0, false, 3},
        {"a dead run's mark, waited out, and no command sent",
         true,
         true,
         SendNothing,
         {},
         ERROR_SENTINEL,
         false,
         0},
        {"no place for marks", false, false, ReadWithAnswers, reading, 0, false, 3},
        {"its place taken after the look", true, false, TakePlaceThenRead, reading, ERROR_SENTINEL,
         true, 0},
    };
    const int savedQuiet = quietLineMs;
    const int savedTimeout = transferTimeoutMs;
    quietLineMs = 20;
    transferTimeoutMs = 1000;  // the dead run's answer would come within 600 ms
    for (const auto& c : cases) {
        runOptions = RunOptions{};
        if (c.folder) {
            fs::create_directory(folder);
        }
        StandIn device{};
        ASSERT_TRUE(OpenStandIn(&device));
        if (c.leftBehind) {
            int error = 0;
            const MarkHandle left = MakeMark(mark, device.program, &error);
            ASSERT_NE(left, kNoMark) << c.name << ": " << error;
            CloseMark(mark, left, false, &error);
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
        }
        playing = &device;
        answers = &c.answers;
        StartCapture();
        EXPECT_EQ(ReadInTurn(device.program, "/dev/hidraw7", Turn{0, false}, c.action), c.status)
            << c.name;
        const std::string out = FinishCapture();
        EXPECT_EQ(ReceivedCommands(device).size(), c.commands) << c.name << ": " << out;
        EXPECT_EQ(fs::exists(mark), c.markAfter) << c.name;
        CloseStandIn(&device);
        fs::remove_all(folder);
    }
    quietLineMs = savedQuiet;
    transferTimeoutMs = savedTimeout;
    readOutMarkDir = savedDir;
}

}  // namespace
