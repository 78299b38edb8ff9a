#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "guest.h"

namespace {

const char* const kColumns = " | root | UTC0 |  | 0 | 25.125";

TEST(GuestRowsTest, ReadsEachSetting) {
    Row row;
    std::string error;
    ASSERT_TRUE(ParseRow(
        std::string("k |T t=0520 c=81 id=X delay=0-400 stop=1 unplug=2 kill=3 "
                    "late=330 stale=5F60 early=0102 plug=backwards "
                    "limit=5 mark=reader,-3600 lockdir=missing repeat=11 hold=300 "
                    "soak=100,5000 shm=full plant=between acl=seat umask=0277 clock=-3 + O "
                    "product=7400 vendor=1a86") +
            kColumns,
        &row, &error))
        << error;
    ASSERT_EQ(row.devices.size(), 2u);
    const Thermometer& t = row.devices[0].thermometer;
    EXPECT_EQ(t.celsius, 0x0520u);
    EXPECT_EQ(t.calibration, 0x81u);
    EXPECT_EQ(t.id, "X");
    EXPECT_EQ(t.delayMs, 0);
    EXPECT_EQ(t.delayMaxMs, 400);
    EXPECT_EQ(t.stopAfter, 1);
    EXPECT_EQ(t.unplugAfter, 2);
    EXPECT_EQ(t.killAt, 3);
    EXPECT_EQ(t.lateMs, 330);
    EXPECT_EQ(t.stale, 0x5F60);
    EXPECT_EQ(t.early, 0x0102);
    EXPECT_EQ(row.limit, 5);
    EXPECT_EQ(row.markOwner, "reader");
    EXPECT_EQ(row.markAge, -3600);
    EXPECT_EQ(row.lockDir, "missing");
    EXPECT_EQ(row.repeat, 11);
    EXPECT_EQ(row.holdMs, 300);
    EXPECT_EQ(row.soakRuns, 100);
    EXPECT_EQ(row.soakWindowMs, 5000);
    EXPECT_EQ(row.shm, "full");
    EXPECT_EQ(row.plant, "between");
    EXPECT_EQ(row.aclUser, "seat");
    EXPECT_EQ(row.umask, 0277);
    EXPECT_EQ(row.clockStepS, -3);
    EXPECT_TRUE(row.plugBackwards);
    EXPECT_EQ(row.bus, "T+O" + std::to_string(0x1a867400));
}

TEST(GuestRowsTest, ReadsTheColumns) {
    Row row;
    std::string error;
    ASSERT_TRUE(
        ParseRow("two |  T  + T | reader/wine32*3 | CET-1CEST,M3.5.0,M10.5.0/3 | -x -f >/dev/full "
                 "| 1 | a|b ",
                 &row, &error));
    EXPECT_EQ(row.name, "two");
    EXPECT_EQ(row.bus, "T+T");
    EXPECT_EQ(row.firstRunner, "reader");
    EXPECT_EQ(row.runner, "wine32");
    EXPECT_EQ(row.runs, 3);
    EXPECT_EQ(row.zone, "CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(row.arguments, (std::vector<std::string>{"-x", "-f"}));
    EXPECT_TRUE(row.toFull);
    EXPECT_EQ(row.status, 1);
    EXPECT_EQ(row.output, "a|b");
    EXPECT_EQ(row.devices[0].thermometer.celsius, 0x1920u);
    EXPECT_EQ(row.devices[0].thermometer.id, "TEMPerGold_V3.1");
}

// Rows of root, status 0, whose devices cannot be played, and then other columns.
TEST(GuestRowsTest, RefusesWhatItCannotPlay) {
    std::istringstream devices(
        "T t=192;T c=8G;T kill=4;T delay=5-1;T mark=root;T fast=1;X;T repeat=0;T hold=x;"
        "T soak=100;T soak=100,0;T lockdir=gone;T id=seventeen_letters;T shm=gone;T plant=files;"
        "T acl=user;T umask=0800;T umask=-022;T kill=2 late=1500 clock=60;"
        "T kill=2 late=1500 clock=+0;T kill=2 clock=-3;T late=1500 clock=-3");
    std::vector<std::string> lines = {"r | T | root*0 | UTC0 | | 0 |",
                                      "r | T | root*11 | UTC0 | | 0 |",
                                      "r | T | root | UTC0 | | x |"};
    for (std::string device; std::getline(devices, device, ';');) {
        lines.push_back("r | " + device + " | root | UTC0 |  | 0 |");
    }
    Row row;
    std::string error;
    for (const std::string& line : lines) {
        EXPECT_FALSE(ParseRow(line, &row, &error)) << line;
        EXPECT_FALSE(error.empty()) << line;
    }
    EXPECT_FALSE(ParseRow("# a comment | T", &row, &error));
    EXPECT_FALSE(ParseRow("", &row, &error));
    EXPECT_TRUE(error.empty());
}

TEST(GuestRowsTest, PicksTheRowsOfABoot) {
    const struct {
        const char* name;
        const char* runner;
        const char* tag;
        bool windows;
        bool played;
    } cases[] = {
        {"a", "root", "all", false, true},           {"a", "wine", "all", false, false},
        {"a", "wine64", "all", true, true},          {"a", "reader", "all", true, false},
        {"a [arm]", "root", "arm", false, true},     {"a", "root", "arm", false, false},
        {"[arm] a", "root", "arm", false, false},    {"a [arm]", "wine", "arm", true, true},
        {"a [bench]", "root", "all", false, false},  {"a [soak]", "wine", "all", true, false},
        {"a [demo]", "root", "all", false, true},    {"a [soak]", "wine", "soak", true, true},
        {"a [demo]", "root", "bench", false, false},
    };
    for (const auto& c : cases) {
        Row row;
        row.name = c.name;
        row.runner = c.runner;
        EXPECT_EQ(RowIsForBoot(row, c.tag, c.windows), c.played)
            << c.name << " " << c.runner << " " << c.tag;
    }
    EXPECT_EQ(ProgramsOf("wine"), (std::vector<std::string>{"x64", "x86"}));
    EXPECT_EQ(ProgramsOf("wine32"), (std::vector<std::string>{"x86"}));
    EXPECT_EQ(ProgramsOf("reader"), (std::vector<std::string>{"linux"}));
}

TEST(GuestRowsTest, TurnsOutputIntoWhatTheTableWrites) {
    EXPECT_EQ(Unescape("ERR ReadFile 1460 Timeout.\\r\\n\\nx\\\\n\\q"),
              "ERR ReadFile 1460 Timeout.\r\n\nx\\n\\q");
    EXPECT_EQ(WithCrlf("a\r\n\nb"), "a\r\r\n\r\nb");
    EXPECT_EQ(PlaceHandles("x\nUSB Port #56 y\nUSB Port #\nUSB Port #7"),
              "x\nUSB Port #<HANDLE> y\nUSB Port #\nUSB Port #<HANDLE>");
    EXPECT_EQ(PlaceHandles("a USB Port #56"), "a USB Port #56");
    EXPECT_EQ(PlaceStamp("2040-07-15T09:30:00+00:00 1 2040-07-15T09:30:00", "2040-07-15T09:30:00"),
              "<NOW>+00:00 1 <NOW>");
}

TEST(GuestRowsTest, AnswersAsTheThermometer) {
    Thermometer t;
    t.calibration = 0x81;
    t.celsius = 0x0520;
    const std::uint8_t version[kReportLength] = {0x01, 0x86, 0xff, 0x01};
    const std::uint8_t calibration[kReportLength] = {0x01, 0x82, 0x77, 0x01};
    const std::uint8_t celsius[kReportLength] = {0x01, 0x80, 0x33, 0x01};
    const std::uint8_t unknown[kReportLength] = {0x01, 0x81};
    const std::uint8_t other[kReportLength] = {0x02, 0x80};
    const auto id = AnswerTo(version, t);
    ASSERT_EQ(id.size(), 2u);
    EXPECT_EQ(std::string(id[0].begin(), id[0].end()) + std::string(id[1].begin(), id[1].end()),
              std::string("TEMPerGold_V3.1\0", 16));
    EXPECT_EQ(AnswerTo(calibration, t),
              (std::vector<std::vector<std::uint8_t>>{{0x80, 0x02, 0x81, 0, 0, 0, 0, 0}}));
    EXPECT_EQ(AnswerTo(celsius, t),
              (std::vector<std::vector<std::uint8_t>>{{0x80, 0x02, 0x05, 0x20, 0, 0, 0, 0}}));
    EXPECT_TRUE(AnswerTo(unknown, t).empty());
    EXPECT_TRUE(AnswerTo(other, t).empty());
}

std::vector<std::string> Lines(const char* path) {
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
        lines.push_back(line);
    }
    return lines;
}

// What the boots rely on without checking: a name picks one row (make
// mutants), a row plays one choreography on at most two UDCs (a third did
// not come up), its expected file is there, and every Wine row has the
// same devices (Wine gets them once a boot), the one that unplugs last, by
// one program.
TEST(GuestRowsTest, EveryRowOfTheTableKeepsItsRules) {
    std::vector<Row> rows;
    for (const std::string& line : Lines(E2E_DIR "/scenarios.txt")) {
        Row row;
        std::string error;
        if (ParseRow(line, &row, &error)) {
            rows.push_back(row);
        }
        EXPECT_TRUE(error.empty()) << error;
    }
    EXPECT_GT(rows.size(), 40u);
    std::string wineBus;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        for (std::size_t j = 0; j < i; ++j) {
            EXPECT_NE(rows[j].name, row.name);
        }
        EXPECT_LE(row.devices.size(), 2u) << row.name;
        int choreographies = 0;
        for (const Device& device : row.devices) {
            const Thermometer& t = device.thermometer;
            choreographies += (t.killAt != kNone) + (t.stale != kNone) + (t.early != kNone);
            EXPECT_FALSE(IsWindowsRunner(row.runner) && (t.stale != kNone || t.early != kNone))
                << row.name;
            if (IsWindowsRunner(row.runner) && t.unplugAfter != kNone) {
                EXPECT_EQ(ProgramsOf(row.runner).size(), 1u) << row.name;
                EXPECT_TRUE(i + 1 == rows.size() || !IsWindowsRunner(rows[i + 1].runner))
                    << row.name;
            }
        }
        EXPECT_LE(choreographies, 1) << row.name;
        if (row.output.compare(0, 1, "@") == 0) {
            EXPECT_TRUE(std::ifstream(E2E_DIR "/expected/" + row.output.substr(1)).good())
                << row.name;
        }
        if (IsWindowsRunner(row.runner)) {
            wineBus = wineBus.empty() ? row.bus : wineBus;
            EXPECT_EQ(row.bus, wineBus) << row.name;
        }
    }
}

// A line of the machines' table is a boot of make check: one it cannot
// read would drop out without a word. The first is e2e_vm's, which the
// memcheck and sanitized rows need: amd64, the build's program, every row.
TEST(GuestRowsTest, EveryMachineOfTheTableCanBoot) {
    std::string tags = " all wine ";
    for (const std::string& line : Lines(E2E_DIR "/scenarios.txt")) {
        const std::size_t open = line.find(" ["), close = line.find("] ");
        if (open != std::string::npos && close > open && line[0] != '#') {
            tags += line.substr(open + 2, close - open - 2) + " ";
        }
    }
    int machines = 0;
    for (const std::string& line : Lines(E2E_DIR "/platforms.txt")) {
        std::istringstream in(line);
        std::vector<std::string> f;
        for (std::string word; in >> word;) {
            f.push_back(word);
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        ASSERT_EQ(f.size(), 8u) << line;
        EXPECT_NE(std::string(" amd64 arm64 armhf ").find(" " + f[2] + " "), std::string::npos)
            << line;
        EXPECT_NE(std::string(" build release wine ").find(" " + f[5] + " "), std::string::npos)
            << line;
        EXPECT_NE(tags.find(" " + f[6] + " "), std::string::npos) << line;
        EXPECT_TRUE(machines > 0 || (f[2] == "amd64" && f[5] == "build" && f[6] == "all")) << line;
        ++machines;
    }
    EXPECT_GT(machines, 1);
}

}  // namespace
