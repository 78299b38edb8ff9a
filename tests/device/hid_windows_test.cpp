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
        bool waited;  // a run that died holding it counts: its answer may still come
        const char* output;
        int refused;   // makes of the mutex refused, as to a run of another account's
        int vanished;  // opens after them that find it gone
    } cases[] = {
        {"held throughout", Other::kHolds, false, true,
         "ERR WaitForSingleObject 1460 Timeout.\r\n\n", 0, 0},
        {"released during the wait", Other::kReleasesSoon, true, true, "", 0, 0},
        {"its holder died", Other::kDiesHolding, true, true, "", 0, 0},
        {"free", Other::kReleasesAtOnce, true, false, "", 0, 0},
        {"another account's, released during the wait", Other::kReleasesSoon, true, true, "", 1, 0},
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
        Turn turn = {0, !c.waited};
        refusedMakes = c.refused;
        vanishedOpens = c.vanished;
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

    // A file name holds no backslash, slash or question mark.
    readOutMarkDir = "C:\\marks";
    EXPECT_TRUE(FindMarkPlace(kData, data, sizeof data));
    EXPECT_STREQ(data,
                 "C:\\marks\\frostgauge-____hid#vid_0c45&pid_7401&mi_01#7&1a2b&0&0000#"
                 "{4d1e55b2-f16f-11cf-88cb-001111000030}");
    EXPECT_TRUE(FindMarkPlace(longPath.c_str(), data, sizeof data));
    EXPECT_EQ(std::strlen(data), sizeof data - 1);
    EXPECT_STREQ(data + std::strlen(data) - 4, "#end");
    EXPECT_FALSE(FindMarkPlace(kData, data, 12));
    EXPECT_STREQ(data, "");
    readOutMarkDir = nullptr;
    EXPECT_TRUE(FindMarkPlace(kData, data, sizeof data));
    EXPECT_NE(std::strstr(data, "\\frostgauge-____hid#"), nullptr) << data;
}

constexpr std::int64_t kDayMs = 24 * 3600 * 1000;

// Makes a file whose last write was agoMs ago.
// A mark as a run leaves it: written agoMs ago, or, with counter, stamped
// agoMs ago on the performance counter and written a day ago.
bool MakeFile(const char* path, std::int64_t agoMs, bool counter) {
    const HANDLE file =
        CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool made = true;
    if (counter) {
        LARGE_INTEGER count;
        LARGE_INTEGER frequency;
        QueryPerformanceCounter(&count);
        QueryPerformanceFrequency(&frequency);
        char text[32];
        const int length = std::snprintf(
            text, sizeof text, "%020lld\n",
            static_cast<long long>(count.QuadPart / frequency.QuadPart * 1000 - agoMs));
        DWORD written = 0;
        made = WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr) != FALSE;
        agoMs = kDayMs;
    }
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER time = {{now.dwLowDateTime, now.dwHighDateTime}};
    time.QuadPart -= static_cast<ULONGLONG>(agoMs * 10000);
    const FILETIME stamped = {time.LowPart, time.HighPart};
    made = SetFileTime(file, nullptr, nullptr, &stamped) != FALSE && made;
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

// What a run finds where its mark lies, and what it may stamp there: only a
// plain file of its own account's, the system's or the administrators'
// tells a time, whatever its age; another's or a folder never holds it up
// for long.
TEST(WindowsMark, TrustsOnlyTheMarksOfAccountsItTrusts) {
    enum class Lies { kNothing, kFile, kStamped, kFolder };
    const struct {
        const char* name;
        Lies lies;
        const char* owner;   // as it reads
        std::int64_t agoMs;  // of the last write, or of the stamp
        MarkFound found;
        std::int64_t ageMs;  // at least, for a dated mark
        bool stamped;        // this run has a mark of its own afterwards
    } cases[] = {
        {"nothing", Lies::kNothing, nullptr, 0, MarkFound::kNone, 0, true},
        {"this account's mark", Lies::kFile, nullptr, 0, MarkFound::kDated, 0, true},
        {"a mark 30 days old", Lies::kFile, nullptr, 30 * kDayMs, MarkFound::kDated, 30 * kDayMs,
         true},
        {"a mark dated a day ahead", Lies::kFile, nullptr, -kDayMs, MarkFound::kDated, -kDayMs,
         true},
        {"stamped on the counter 1 s ago, its file a day old", Lies::kStamped, nullptr, 1000,
         MarkFound::kDated, 1000, true},
        {"stamped ahead of the counter: in an earlier boot", Lies::kStamped, nullptr, -kDayMs,
         MarkFound::kDated, 30 * kDayMs, true},
        {"the system's mark", Lies::kFile, "S-1-5-18", 0, MarkFound::kDated, 0, true},
        {"the administrators' mark", Lies::kFile, "S-1-5-32-544", 0, MarkFound::kDated, 0, true},
        {"another account's file", Lies::kFile, "S-1-5-21-1-2-3-4242", 0, MarkFound::kUndated, 0,
         false},
        {"a file whose owner cannot be read", Lies::kFile, "", 0, MarkFound::kUndated, 0, false},
        {"a folder", Lies::kFolder, nullptr, 0, MarkFound::kUndated, 0, false},
    };
    char folder[MAX_PATH];
    const DWORD length = GetTempPathA(MAX_PATH, folder);
    std::snprintf(folder + length, MAX_PATH - length, "frostgauge-marks-%lu",
                  GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryA(folder, nullptr));
    readOutMarkDir = folder;
    char mark[kMarkPathSize];
    ASSERT_TRUE(FindMarkPlace(kData, mark, sizeof mark));
    getSecurityInfoCall = ReadOwnerAs;
    for (const auto& c : cases) {
        if (c.lies == Lies::kFile || c.lies == Lies::kStamped) {
            ASSERT_TRUE(MakeFile(mark, c.agoMs, c.lies == Lies::kStamped)) << c.name;
        } else if (c.lies == Lies::kFolder) {
            ASSERT_TRUE(CreateDirectoryA(mark, nullptr)) << c.name;
        }
        fileOwner = c.owner;
        std::int64_t ageMs = 0;
        EXPECT_EQ(LookAtMarks(mark, &ageMs), c.found) << c.name;
        if (c.found == MarkFound::kDated) {
            EXPECT_GE(ageMs, c.ageMs) << c.name;
            EXPECT_TRUE(c.ageMs > kDayMs || ageMs < c.ageMs + 60000) << c.name;
        }
        const MarkHandle stamped = StampMark(mark, kNoMark);
        EXPECT_EQ(stamped != kNoMark, c.stamped) << c.name;
        if (stamped != kNoMark) {
            EXPECT_EQ(LookAtMarks(mark, &ageMs), MarkFound::kDated) << c.name;
            EXPECT_LT(ageMs, 60000) << c.name;
            ClearMark(mark, stamped);
        }
        EXPECT_EQ(LookAtMarks(mark, &ageMs), c.stamped ? MarkFound::kNone : c.found) << c.name;
        DeleteFileA(mark);
        RemoveDirectoryA(mark);
    }
    getSecurityInfoCall = GetSecurityInfo;
    fileOwner = nullptr;
    readOutMarkDir = nullptr;
    EXPECT_TRUE(RemoveDirectoryA(folder));
}

}  // namespace
