#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <csignal>
#include <thread>

#include "common/run_options.h"
#include "device/device.h"
#include "device/transfer.h"
#include "device/turns.h"
#include "support/capture.h"
#include "support/late_answers.h"
#include "support/stand_in.h"

namespace {

class LinuxTransferTest : public testing::Test {
protected:
    void SetUp() override {
        runOptions = RunOptions{};
        ASSERT_TRUE(OpenStandIn(&device_));
    }
    void TearDown() override {
        CloseStandIn(&device_);
        transferTimeoutMs = savedTimeout_;
    }
    StandIn device_{};
    int savedTimeout_ = transferTimeoutMs;
};

TEST_F(LinuxTransferTest, FailuresPrintTheErrnoAndItsText) {
    struct Case {
        const char* name;
        void (*breakDevice)(StandIn*);
        const char* expected;
    };
    const Case cases[] = {
        {"device never answers", [](StandIn*) {}, "ERR ReadFile 110 Connection timed out\n"},
        {"device stops sending", [](StandIn* s) { shutdown(static_cast<int>(s->device), SHUT_WR); },
         "ERR ReadFile 19 No such device\n"},
        {"device gone before the command", HangUp, "ERR WriteFile 32 Broken pipe\n"},
    };
    transferTimeoutMs = 50;
    for (const Case& c : cases) {
        CloseStandIn(&device_);
        ASSERT_TRUE(OpenStandIn(&device_));
        c.breakDevice(&device_);
        StartCapture();
        EXPECT_EQ(ReadCelsius(device_.program), -255.0) << c.name;
        EXPECT_EQ(FinishCapture(), c.expected) << c.name;
    }
}

TEST_F(LinuxTransferTest, TakesNoMoreThanOneReportFromAnOversizedAnswer) {
    Bytes oversized(64, 0xEE);
    oversized[2] = 0x19;
    oversized[3] = 0x20;
    QueueAnswer(device_, oversized);
    runOptions.diagnosis = true;
    StartCapture();
    ReadCelsius(device_.program);
    EXPECT_EQ(FinishCapture(),
              "ReadCelsius\n"
              "  SND 9 byte 00 01 80 33 01 00 00 00 00\n"
              "  RCV 9 byte 00 EE EE 19 20 EE EE EE EE\n"
              "  ->25.125 degC\n");
}

TEST_F(LinuxTransferTest, DropsWhatWaitsBeforeEachCommand) {
    // A late answer to a killed run's command: 5F 56 decodes as 95.5 degrees.
    const Bytes late = {0x80, 0x02, 0x5F, 0x56, 0, 0, 0, 0};
    runOptions.diagnosis = true;
    for (const char* when : {"before the first command", "between two commands"}) {
        SendStaleReport(device_, late);
        SendStaleReport(device_, late);
        QueueAnswer(device_, {0x80, 0x02, 0x19, 0x20, 0, 0, 0, 0});
        StartCapture();
        EXPECT_EQ(ReadCelsius(device_.program), 25.125) << when;
        EXPECT_EQ(FinishCapture(),
                  "ReadCelsius\n"
                  "  SND 9 byte 00 01 80 33 01 00 00 00 00\n"
                  "  RCV 9 byte 00 80 02 19 20 00 00 00 00\n"
                  "  ->25.125 degC\n")
            << when;
    }
}

TEST_F(LinuxTransferTest, AWaitingRunStartsOnAQuietLine) {
    const int savedQuiet = quietLineMs;
    const int savedBound = quietLineBoundMs;
    const int savedTimeout = transferTimeoutMs;
    quietLineMs = 300;
    quietLineBoundMs = 400;
    transferTimeoutMs = 1000;
    for (const LateAnswers& c : kLateAnswers) {
        CloseStandIn(&device_);
        ASSERT_TRUE(OpenStandIn(&device_));
        std::thread sender([this, &c] {
            std::this_thread::sleep_for(std::chrono::milliseconds(c.firstAfterMs));
            for (int i = 0; i < c.count; ++i) {
                SendStaleReport(device_, kLateAnswer);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
        StartCapture();
        const MarkFound found = c.diedReading ? MarkFound::kDated : MarkFound::kUndated;
        const bool quiet = StartOnQuietLine(device_.program, PlanQuietLine(found, 0));
        EXPECT_EQ(FinishCapture(), c.quiet ? "" : "ERR ReadFile 16 Device or resource busy\n")
            << c.name;
        EXPECT_EQ(quiet, c.quiet) << c.name;
        sender.join();
        if (quiet) {
            pollfd left = {static_cast<int>(device_.program), POLLIN, 0};
            EXPECT_EQ(poll(&left, 1, 0), 0) << c.name << ": a late answer is left for the read-out";
        }
    }
    quietLineMs = savedQuiet;
    quietLineBoundMs = savedBound;
    transferTimeoutMs = savedTimeout;
}

void IgnoreSignal(int) {}

TEST_F(LinuxTransferTest, ASignalDuringTheWaitDoesNotEndIt) {
    struct sigaction action = {};
    action.sa_handler = IgnoreSignal;  // no SA_RESTART: poll() fails with EINTR
    struct sigaction saved = {};
    ASSERT_EQ(sigaction(SIGALRM, &action, &saved), 0);
    itimerval tick = {{0, 5000}, {0, 5000}};
    setitimer(ITIMER_REAL, &tick, nullptr);

    // The device thread keeps the signal blocked, so the ticks hit the wait.
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
    std::thread device([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        QueueAnswer(device_, {0x80, 0x02, 0x19, 0x20, 0, 0, 0, 0});
    });
    pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);
    const double celsius = ReadCelsius(device_.program);
    device.join();

    const itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &saved, nullptr);
    EXPECT_EQ(celsius, 25.125);
}

}  // namespace
