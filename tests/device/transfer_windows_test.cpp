#include <windows.h>

#include <gtest/gtest.h>

#include <thread>

#include "common/run_options.h"
#include "device/device.h"
#include "device/transfer.h"
#include "device/turns.h"
#include "support/capture.h"
#include "support/late_answers.h"
#include "support/stand_in.h"

namespace {

HANDLE DeviceEnd(const StandIn& standIn) {
    return reinterpret_cast<HANDLE>(standIn.device);
}

void SendEmptyReport(StandIn* standIn) {
    DWORD written = 0;
    WriteFile(DeviceEnd(*standIn), "", 0, &written, nullptr);
}

// Waits for the command, then goes away without answering.
void TakeCommandThenHangUp(StandIn* standIn) {
    char command[64];
    DWORD got = 0;
    ReadFile(DeviceEnd(*standIn), command, sizeof command, &got, nullptr);
    HangUp(standIn);
}

TEST(WindowsTransfer, FailuresPrintTheErrorCodeAndTheSystemText) {
    struct Case {
        const char* name;
        void (*before)(StandIn*);  // played before the program's turn
        void (*during)(StandIn*);  // played on a thread while the program waits
        const char* expected;
    };
    // Each system text (Wine's wording) keeps its own CR LF before the line's "\n".
    const Case cases[] = {
        {"device gone before the command", HangUp, nullptr, "ERR WriteFile 232 Pipe closed.\r\n\n"},
        {"device takes the command and goes", nullptr, TakeCommandThenHangUp,
         "ERR ReadFile 109 Broken pipe.\r\n\n"},
        {"device answers with an empty report", SendEmptyReport, nullptr,
         "ERR ReadFile 38 End of file.\r\n\n"},
        {"device never answers", nullptr, nullptr, "ERR ReadFile 1460 Timeout.\r\n\n"},
    };
    runOptions = RunOptions{};
    const int savedTimeout = transferTimeoutMs;
    transferTimeoutMs = 50;
    for (const Case& c : cases) {
        StandIn device{};
        ASSERT_TRUE(OpenStandIn(&device));
        if (c.before != nullptr) {
            c.before(&device);
        }
        std::thread player;
        if (c.during != nullptr) {
            player = std::thread(c.during, &device);
        }
        StartCapture();
        EXPECT_EQ(ReadCelsius(device.program), -255.0) << c.name;
        EXPECT_EQ(FinishCapture(), c.expected) << c.name;
        if (player.joinable()) {
            player.join();
        }
        CloseStandIn(&device);
    }
    transferTimeoutMs = savedTimeout;
}

TEST(WindowsTransfer, ATimedOutReadLeavesNothingPending) {
    // A read left pending after its time-out would take the next answer
    // into a buffer that is no longer its own.
    runOptions = RunOptions{};
    const int savedTimeout = transferTimeoutMs;
    transferTimeoutMs = 50;
    StandIn device{};
    ASSERT_TRUE(OpenStandIn(&device));
    StartCapture();
    EXPECT_EQ(ReadCelsius(device.program), -255.0);
    FinishCapture();
    QueueAnswer(device, {0x80, 0x02, 0x19, 0x20, 0, 0, 0, 0});
    EXPECT_EQ(ReadCelsius(device.program), 25.125);
    CloseStandIn(&device);
    transferTimeoutMs = savedTimeout;
}

TEST(WindowsTransfer, AWaitingRunStartsOnAQuietLine) {
    runOptions = RunOptions{};
    const int savedQuiet = quietLineMs;
    const int savedBound = quietLineBoundMs;
    const int savedTimeout = transferTimeoutMs;
    quietLineMs = 300;
    quietLineBoundMs = 400;
    transferTimeoutMs = 1000;
    for (const LateAnswers& c : kLateAnswers) {
        StandIn device{};
        ASSERT_TRUE(OpenStandIn(&device));
        std::thread sender([&device, &c] {
            Sleep(static_cast<DWORD>(c.firstAfterMs));
            for (int i = 0; i < c.count; ++i) {
                QueueAnswer(device, kLateAnswer);
                Sleep(10);
            }
        });
        StartCapture();
        const MarkFound found = c.diedReading ? MarkFound::kDated : MarkFound::kUndated;
        const bool quiet = StartOnQuietLine(device.program, PlanQuietLine(found, 0));
        EXPECT_EQ(FinishCapture(), c.quiet ? "" : "ERR ReadFile 170 Resource in use.\r\n\n")
            << c.name;
        EXPECT_EQ(quiet, c.quiet) << c.name;
        sender.join();
        DWORD waiting = 0;
        PeekNamedPipe(reinterpret_cast<HANDLE>(device.program), nullptr, 0, nullptr, &waiting,
                      nullptr);
        EXPECT_TRUE(!quiet || waiting == 0) << c.name << ": a late answer is left for the read-out";
        CloseStandIn(&device);
    }
    quietLineMs = savedQuiet;
    quietLineBoundMs = savedBound;
    transferTimeoutMs = savedTimeout;
}

}  // namespace
