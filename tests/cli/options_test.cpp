#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "common/run_options.h"
#include "support/capture.h"

namespace {

std::string HelpText() {
    std::ifstream golden(FROSTGAUGE_TEST_DATA "/cli/help.golden", std::ios::binary);
    std::stringstream text;
    text << golden.rdbuf();
    return text.str();
}

TEST(Options, ParsesTheCommandLine) {
    struct Case {
        std::vector<std::string> args;
        bool runs;
        int status;         // when it does not run
        const char* flags;  // d f t x set, in that order
    };
    const Case cases[] = {
        {{}, true, 0, ""},
        {{"-d", "-f", "-t", "-x"}, true, 0, "dftx"},
        {{"-D", "-F"}, true, 0, "df"},
        {{"-T", "-X"}, true, 0, "tx"},
        {{"-dx"}, true, 0, "d"},  // only the second character counts
        {{"-fahrenheit"}, true, 0, "f"},
        {{"-d", "-d"}, true, 0, "d"},
        {{"foo", "-d"}, false, -255, ""},
        {{"-d", "foo"}, false, -255, "d"},
        {{""}, false, -255, ""},
        {{"-f", "-h", "foo"}, false, 0, "f"},  // parsing stops at the help
        {{"-H"}, false, 0, ""},
        {{"-q"}, false, 0, ""},
        {{"-"}, false, 0, ""},
        {{"--"}, false, 0, ""},
    };
    for (const Case& c : cases) {
        std::vector<char*> argv = {const_cast<char*>("frostgauge")};
        std::string label = "frostgauge";
        for (const std::string& arg : c.args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
            label += " '" + arg + "'";
        }
        argv.push_back(nullptr);
        runOptions = RunOptions{};
        int status = 12345;
        StartCapture();
        const bool runs = ParseOptions(static_cast<int>(argv.size()) - 1, argv.data(), &status);
        const std::string out = FinishCapture();

        EXPECT_EQ(runs, c.runs) << label;
        EXPECT_EQ(out, runs ? "" : HelpText()) << label;
        if (!runs) {
            EXPECT_EQ(status, c.status) << label;
        }
        std::string flags;
        flags += runOptions.diagnosis ? "d" : "";
        flags += runOptions.fahrenheit ? "f" : "";
        flags += runOptions.timeStamp ? "t" : "";
        flags += runOptions.xmlFormat ? "x" : "";
        EXPECT_EQ(flags, c.flags) << label;
    }
    runOptions = RunOptions{};
}

}  // namespace
