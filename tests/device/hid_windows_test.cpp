#include <windows.h>
// aclapi.h and sddl.h need the types of windows.h.
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

#include "common/run_options.h"
#include "device/device.h"
#include "device/hid_windows.h"
#include "device/turns.h"
#include "device/turns_platform.h"
#include "device/turns_windows.h"
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
        unsigned identity;  // vendor << 16 | product, 0 for none
    } cases[] = {
        {kKeyboard, 0, false, 0x0C457401},
        {kData, 1, true, 0x0C457401},
        {"\\\\?\\HID#VID_0C45&PID_7401&MI_01#7&1A2B&0&0000#{4D1E55B2-F16F-11CF-88CB-001111000030}",
         1, true, 0x0C457401},
        {"\\\\?\\hid#vid_046d&pid_c52b&mi_02&col01#8&2c3d&0&0000#{4d1e55b2}", 2, false, 0x046DC52B},
        {"\\\\?\\hid#vid_0c45&pid_7401#6&1a2b&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}", -1,
         true, 0x0C457401},
        {"\\\\?\\hid#vid_0c45&pid_7401&mi_x1#6&1a2b#{4d1e55b2}", -1, true, 0x0C457401},
        {"\\\\?\\hid#vid_0c45&pid_7402&mi_01#6&1a2b#{4d1e55b2}", 1, false, 0x0C457402},
        {"\\\\?\\hid#vid_1a86&pid_e025&mi_00#7&9f&0&0000#{4d1e55b2}", 0, false, 0x1A86E025},
        {"\\\\?\\hid#vid_1a8&pid_e025#7&9f&0&0000#{4d1e55b2}", -1, false, 0},
        {"\\\\?\\hid#vid_1a86&pix_e025#7&9f&0&0000#{4d1e55b2}", -1, false, 0},
        {"", -1, false, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(InterfaceOfPath(c.path), c.number) << c.path;
        EXPECT_EQ(PathNamesThermometerData(c.path), c.thermometerData) << c.path;
        unsigned vendor = 0;
        unsigned product = 0;
        EXPECT_EQ(UsbIdentityOfPath(c.path, &vendor, &product), c.identity != 0) << c.path;
        EXPECT_EQ(vendor << 16 | product, c.identity) << c.path;
    }
}

TEST(WindowsDiscovery, AnInterfaceWhosePathCannotBeHadFailsTheRun) {
    SetupLibrary setup = {};
    ASSERT_TRUE(LoadSetupLibrary(&setup));
    GUID hidGuid = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
    const HDEVINFO set =
        setup.getClassDevs(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA unknown = {};  // no interface of the set
    unknown.cbSize = sizeof unknown;
    StartCapture();
    Survey survey = {};
    EXPECT_EQ(VisitInterface(set, &unknown, setup, HidLibrary{}, nullptr, &survey), ERROR_SENTINEL);
    EXPECT_EQ(FinishCapture().rfind("ERR SetupDiGetDeviceInterfaceDetail ", 0), 0u);
    setup.destroyInfoList(set);
    FreeLibrary(setup.module);
}

// A run of another account made the mutex, so this one may only open it:
// makes still to be refused, and opens still to find that its last holder
// closed it in between.
int refusedMakes = 0;
int vanishedOpens = 0;

HANDLE WINAPI MakeAsAnotherAccountsRun(LPSECURITY_ATTRIBUTES security, BOOL owned, LPCSTR name) {
    if (refusedMakes > 0) {
        --refusedMakes;
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return CreateMutexA(security, owned, name);
}

HANDLE WINAPI OpenAfterItsHolder(DWORD access, BOOL inherit, LPCSTR name) {
    if (vanishedOpens > 0) {
        --vanishedOpens;
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    return OpenMutexA(access, inherit, name);
}

TEST(WindowsLock, WaitsForAnotherRunThenGivesUp) {
    enum class Other { kHolds, kReleasesSoon, kDiesHolding, kReleasesAtOnce };
    const struct {
        const char* name;
        Other other;
        bool locked;
        bool abandoned;  // its holder died: its answer may still come
        const char* output;
        int refused;   // makes of the mutex refused, as to a run of another account's
        int vanished;  // opens after them that find it gone
    } cases[] = {
        {"held throughout", Other::kHolds, false, false,
         "ERR WaitForSingleObject 1460 Timeout.\r\n\n", 0, 0},
        {"released during the wait", Other::kReleasesSoon, true, false, "", 0, 0},
        {"its holder died", Other::kDiesHolding, true, true, "", 0, 0},
        {"free", Other::kReleasesAtOnce, true, false, "", 0, 0},
        {"another account's, released during the wait", Other::kReleasesSoon, true, false, "", 1,
         0},
        {"another account's, closed before this run opened it", Other::kReleasesAtOnce, true, false,
         "", 1, 1},
        {"another account's, closed each time", Other::kReleasesAtOnce, false, false,
         "ERR CreateMutex 5 Access denied.\r\n\n", 3, 3},
    };
    createMutexCall = MakeAsAnotherAccountsRun;
    openMutexCall = OpenAfterItsHolder;
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
        Turn turn = {0, !c.abandoned};
        refusedMakes = c.refused;
        vanishedOpens = c.vanished;
        StartCapture();
        EXPECT_EQ(TakeTurn(kData, 0, &turn), c.locked) << c.name;
        EXPECT_EQ(FinishCapture(), c.output) << c.name;
        EXPECT_EQ(turn.abandoned, c.abandoned) << c.name;
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
    createMutexCall = CreateMutexA;
    openMutexCall = OpenMutexA;
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

    // A file name holds no backslash, slash or question mark, and the path
    // fits what the ANSI calls take.
    MarkPaths places;
    readOutMarkDir = "C:\\marks";
    ASSERT_EQ(ListMarkPlaces(kData, places), 1);
    EXPECT_STREQ(places[0],
                 "C:\\marks\\frostgauge-____hid#vid_0c45&pid_7401&mi_01#7&1a2b&0&0000#"
                 "{4d1e55b2-f16f-11cf-88cb-001111000030}");
    ASSERT_EQ(ListMarkPlaces(longPath.c_str(), places), 1);
    EXPECT_EQ(std::strlen(places[0]), static_cast<std::size_t>(MAX_PATH - 1));
    EXPECT_STREQ(places[0] + std::strlen(places[0]) - 4, "#end");
    // The folder every account shares, then this account's own.
    readOutMarkDir = nullptr;
    ASSERT_EQ(ListMarkPlaces(kData, places), 2);
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    EXPECT_NE(std::strstr(places[0], "\\frostgauge-____hid#"), nullptr) << places[0];
    EXPECT_EQ(std::string(places[1]).rfind(temp, 0), 0u) << places[1];
}

// A mark as a run leaves it: stamped agoMs ago on the performance counter.
// A file written now by any other program reads as stamped years ahead.
bool MakeFile(const char* path, std::int64_t agoMs, bool stamped) {
    const HANDLE file =
        CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    LARGE_INTEGER count;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    const std::int64_t ms = count.QuadPart / frequency.QuadPart * 1000 +
                            count.QuadPart % frequency.QuadPart * 1000 / frequency.QuadPart;
    const auto ticks = static_cast<ULONGLONG>(125911584000000000 + (ms - agoMs) * 10000 + 1);
    const FILETIME time = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    const bool made = !stamped || SetFileTime(file, nullptr, nullptr, &time) != FALSE;
    CloseHandle(file);
    return made;
}

// The owner every file reads as: null for its own, "" for one that cannot
// be read. Wine keeps no owner that SetSecurityInfo sets.
const char* fileOwner = nullptr;

DWORD WINAPI ReadOwnerAs(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION wanted,
                         PSID* owner, PSID* group, PACL* dacl, PACL* sacl,
                         PSECURITY_DESCRIPTOR* descriptor) {
    if (fileOwner == nullptr) {
        return GetSecurityInfo(handle, type, wanted, owner, group, dacl, sacl, descriptor);
    }
    BOOL defaulted = FALSE;
    if (*fileOwner == '\0' ||
        !ConvertStringSecurityDescriptorToSecurityDescriptorA(
            (std::string("O:") + fileOwner).c_str(), SDDL_REVISION_1, descriptor, nullptr)) {
        return ERROR_ACCESS_DENIED;
    }
    GetSecurityDescriptorOwner(*descriptor, owner, &defaulted);
    return ERROR_SUCCESS;
}

// What a run finds where its mark lies, and where it may keep its own:
// only a plain file with one name, of its own account's, the system's or
// the administrators', stamped in this boot, tells a time; it replaces
// only its own, and writes no file but the one it made.
TEST(WindowsMark, TrustsOnlyTheMarksOfAccountsItTrusts) {
    enum class Lies { kNothing, kFile, kStamped, kFolder, kSecondName };
    const struct {
        const char* name;
        Lies lies;
        const char* owner;   // as it reads
        std::int64_t agoMs;  // of the stamp
        MarkFound found;
        bool kept;  // this run may keep its mark there
    } cases[] = {
        {"nothing", Lies::kNothing, nullptr, 0, MarkFound::kNone, true},
        {"this account's mark, stamped 1 s ago", Lies::kStamped, nullptr, 1000, MarkFound::kDated,
         true},
        {"stamped ahead of the counter: another boot's", Lies::kStamped, nullptr, -60000,
         MarkFound::kUndated, true},
        {"a file written now by another program", Lies::kFile, nullptr, 0, MarkFound::kUndated,
         true},
        {"the system's mark", Lies::kStamped, "S-1-5-18", 1000, MarkFound::kDated, false},
        {"the administrators' mark", Lies::kStamped, "S-1-5-32-544", 1000, MarkFound::kDated,
         false},
        {"another account's file", Lies::kStamped, "S-1-5-21-1-2-3-4242", 0, MarkFound::kUndated,
         false},
        {"a file whose owner cannot be read", Lies::kStamped, "", 0, MarkFound::kUndated, false},
        {"a folder", Lies::kFolder, nullptr, 0, MarkFound::kUndated, false},
        {"this account's mark with a second name", Lies::kSecondName, nullptr, 3000,
         MarkFound::kUndated, false},
    };
    char folder[MAX_PATH];
    const DWORD length = GetTempPathA(MAX_PATH, folder);
    std::snprintf(folder + length, MAX_PATH - length, "frostgauge-marks-%lu",
                  GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryA(folder, nullptr));
    const std::string other = std::string(folder) + "\\other";
    readOutMarkDir = folder;
    MarkPaths places;
    ASSERT_EQ(ListMarkPlaces(kData, places), 1);
    const char* mark = places[0];
    // Where the file system keeps less than a stamp's last digit (9p, under
    // the test machine's Wine), a stamp reads up to 2 s younger, never older.
    WIN32_FILE_ATTRIBUTE_DATA probe = {};
    ASSERT_TRUE(MakeFile(mark, 0, true));
    GetFileAttributesExA(mark, GetFileExInfoStandard, &probe);
    DeleteFileA(mark);
    const ULARGE_INTEGER probed = {
        {probe.ftLastWriteTime.dwLowDateTime, probe.ftLastWriteTime.dwHighDateTime}};
    const std::int64_t slackMs = probed.QuadPart % 10000 == 1 ? 0 : 2000;
    getSecurityInfoCall = ReadOwnerAs;
    for (const auto& c : cases) {
        if (c.lies == Lies::kFile || c.lies == Lies::kStamped || c.lies == Lies::kSecondName) {
            ASSERT_TRUE(MakeFile(mark, c.agoMs, c.lies != Lies::kFile)) << c.name;
        }
        if (c.lies == Lies::kSecondName) {
            ASSERT_TRUE(CreateHardLinkA(other.c_str(), mark, nullptr)) << c.name;
        } else if (c.lies == Lies::kFolder) {
            ASSERT_TRUE(CreateDirectoryA(mark, nullptr)) << c.name;
        }
        fileOwner = c.owner;
        std::int64_t ageMs = -1;
        EXPECT_EQ(LookAtMark(mark, 0, &ageMs), c.found) << c.name;
        if (c.found == MarkFound::kDated) {
            EXPECT_GE(ageMs, c.agoMs - slackMs) << c.name;
            EXPECT_LT(ageMs, c.agoMs + 1000) << c.name;
        }
        int error = 0;
        EXPECT_EQ(CanKeepMark(mark, 0, &error), c.kept) << c.name;
        if (c.kept) {
            RemoveMark(mark);  // this account's leftover, as a run removes it
        }
        const MarkHandle made = MakeMark(mark, 0, &error);
        EXPECT_EQ(made != kNoMark, c.kept) << c.name << ": " << error;
        fileOwner = nullptr;
        if (made != kNoMark) {
            EXPECT_EQ(LookAtMark(mark, 0, &ageMs), MarkFound::kDated) << c.name;
            EXPECT_LT(ageMs, 1000) << c.name;
            EXPECT_TRUE(CloseMark(mark, made, true, &error)) << c.name;
            EXPECT_EQ(LookAtMark(mark, 0, &ageMs), MarkFound::kNone) << c.name;
        }
        // Another's file, or one with a second name, was never written: its stamp stands.
        if (c.lies == Lies::kSecondName) {
            DeleteFileA(mark);
        }
        const std::string& left = c.lies == Lies::kSecondName ? other : std::string(mark);
        if (made == kNoMark && c.lies != Lies::kFolder) {
            EXPECT_EQ(LookAtMark(left.c_str(), 0, &ageMs), MarkFound::kDated) << c.name;
            EXPECT_GE(ageMs, c.agoMs - slackMs) << c.name;
        }
        DeleteFileA(mark);
        DeleteFileA(other.c_str());
        RemoveDirectoryA(mark);
    }
    getSecurityInfoCall = GetSecurityInfo;
    fileOwner = nullptr;
    readOutMarkDir = nullptr;
    EXPECT_TRUE(RemoveDirectoryA(folder));
}

}  // namespace
