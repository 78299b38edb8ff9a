#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "common/run_options.h"
#include "device/device.h"
#include "device/hid_windows.h"
#include "device/turns.h"
#include "support/capture.h"

namespace {

constexpr char kKeyboard[] =
    "\\\\?\\hid#vid_0c45&pid_7401&mi_00#7&1a2b&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
constexpr char kData[] =
    "\\\\?\\hid#vid_0c45&pid_7401&mi_01#7&1a2b&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";

TEST(WindowsDevicePath, NamesTheUsbInterfaceAndTheThermometer) {
    const struct {
        const char* path;
        int number;
        bool thermometerData;
    } cases[] = {
        {kKeyboard, 0, false},
        {kData, 1, true},
        {"\\\\?\\HID#VID_0C45&PID_7401&MI_01#7&1A2B&0&0000#{4D1E55B2-F16F-11CF-88CB-001111000030}",
         1, true},
        {"\\\\?\\hid#vid_046d&pid_c52b&mi_02&col01#8&2c3d&0&0000#{4d1e55b2}", 2, false},
        {"\\\\?\\hid#vid_0c45&pid_7401#6&1a2b&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}", -1,
         true},
        {"\\\\?\\hid#vid_0c45&pid_7401&mi_x1#6&1a2b#{4d1e55b2}", -1, true},
        {"\\\\?\\hid#vid_0c45&pid_7402&mi_01#6&1a2b#{4d1e55b2}", 1, false},
        {"", -1, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(InterfaceOfPath(c.path), c.number) << c.path;
        EXPECT_EQ(PathNamesThermometerData(c.path), c.thermometerData) << c.path;
    }
}

TEST(WindowsDiscovery, AnInterfaceWhosePathCannotBeHadFailsTheRun) {
    GUID hidGuid = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
    const HDEVINFO set =
        SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA unknown = {};  // no interface of the set
    unknown.cbSize = sizeof unknown;
    StartCapture();
    EXPECT_EQ(VisitInterface(set, &unknown, HidLibrary{}, nullptr), ERROR_SENTINEL);
    EXPECT_EQ(FinishCapture().rfind("ERR SetupDiGetDeviceInterfaceDetail ", 0), 0u);
    SetupDiDestroyDeviceInfoList(set);
}

TEST(WindowsLock, WaitsForAnotherRunThenGivesUp) {
    enum class Other { kHolds, kReleasesSoon, kDiesHolding, kReleasesAtOnce };
    const struct {
        const char* name;
        Other other;
        bool locked;
        bool waited;  // a run that died holding it counts: its answer may still come
        const char* output;
    } cases[] = {
        {"held throughout", Other::kHolds, false, true,
         "ERR WaitForSingleObject 1460 Timeout.\r\n\n"},
        {"released during the wait", Other::kReleasesSoon, true, true, ""},
        {"its holder died", Other::kDiesHolding, true, true, ""},
        {"free", Other::kReleasesAtOnce, true, false, ""},
    };
    char name[MAX_PATH];
    MutexNameOfPath(kData, name, sizeof name);
    const int savedTimeout = lockTimeoutMs;
    for (const auto& c : cases) {
        // The other lets go half a second on, long after this one began to
        // wait even under emulation (50 ms was not, there), and long before
        // this one would give up.
        lockTimeoutMs = c.other == Other::kHolds ? 300 : 10000;
        // Another run is another thread here: a mutex is its owner thread's.
        const HANDLE taken = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        const HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE dead = nullptr;  // the dead holder's handle keeps the abandoned mutex
        std::thread other([&c, &name, &dead, taken, done] {
            const HANDLE mutex = CreateMutexA(nullptr, TRUE, name);
            if (c.other == Other::kReleasesAtOnce) {
                ReleaseMutex(mutex);
            }
            SetEvent(taken);
            if (c.other != Other::kReleasesAtOnce) {
                WaitForSingleObject(done, c.other == Other::kHolds ? INFINITE : 500);
            }
            // The one that dies leaves with the mutex, which abandons it.
            if (c.other == Other::kHolds || c.other == Other::kReleasesSoon) {
                ReleaseMutex(mutex);
            }
            // Closed, a dead holder's mutex would vanish before a slow
            // TakeTurn opened it, which would then make a free one.
            if (c.other == Other::kDiesHolding) {
                dead = mutex;
            } else {
                CloseHandle(mutex);
            }
        });
        WaitForSingleObject(taken, INFINITE);
        Turn turn = {0, !c.waited};
        StartCapture();
        EXPECT_EQ(TakeTurn(kData, 0, &turn), c.locked) << c.name;
        EXPECT_EQ(FinishCapture(), c.output) << c.name;
        EXPECT_EQ(turn.waited, c.waited) << c.name;
        if (c.locked) {
            EndTurn(&turn);
        }
        SetEvent(done);
        if (other.joinable()) {
            other.join();
        }
        if (dead != nullptr) {
            CloseHandle(dead);
        }
        CloseHandle(done);
        CloseHandle(taken);
    }
    lockTimeoutMs = savedTimeout;
}

TEST(WindowsLock, NamesAMutexAndAMarkPerDevice) {
    char keyboard[MAX_PATH];
    char data[MAX_PATH];
    MutexNameOfPath(kKeyboard, keyboard, sizeof keyboard);
    MutexNameOfPath(kData, data, sizeof data);
    EXPECT_STRNE(keyboard, data);
    EXPECT_STREQ(data,
                 "Global\\frostgauge-//?/hid#vid_0c45&pid_7401&mi_01#7&1a2b&0&0000#"
                 "{4d1e55b2-f16f-11cf-88cb-001111000030}");
    const std::string longPath = std::string("\\\\?\\") + std::string(400, 'x') + "#end";
    MutexNameOfPath(longPath.c_str(), data, sizeof data);
    EXPECT_EQ(std::strlen(data), sizeof data - 1);
    EXPECT_STREQ(data + std::strlen(data) - 4, "#end");

    // A file name holds no backslash, slash or question mark.
    readOutMarkDir = "C:\\marks";
    MarkPathOf(kData, data, sizeof data);
    EXPECT_STREQ(data,
                 "C:\\marks\\frostgauge-____hid#vid_0c45&pid_7401&mi_01#7&1a2b&0&0000#"
                 "{4d1e55b2-f16f-11cf-88cb-001111000030}");
    MarkPathOf(longPath.c_str(), data, sizeof data);
    EXPECT_EQ(std::strlen(data), sizeof data - 1);
    EXPECT_STREQ(data + std::strlen(data) - 4, "#end");
    readOutMarkDir = nullptr;
    MarkPathOf(kData, data, sizeof data);
    EXPECT_NE(std::strstr(data, "\\frostgauge-____hid#"), nullptr) << data;
}

}  // namespace
