#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "device/device.h"
#include "device/hidraw_linux.h"
#include "device/turns.h"
#include "device/turns_platform.h"
#include "support/capture.h"

namespace {

int OpenDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) {
            ++count;
        }
        closedir(dir);
    }
    return count;
}

class SysfsTree : public testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/frostgauge-sysfs-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        root_ = templ;
        descriptors_ = OpenDescriptors();
    }
    void TearDown() override {
        EXPECT_EQ(OpenDescriptors(), descriptors_) << "a descriptor was left open";
        (void)!std::system(("rm -rf " + root_).c_str());
    }
    void MakeDir(const std::string& path) {
        ASSERT_EQ(mkdir((root_ + "/" + path).c_str(), 0755), 0) << path;
    }
    void WriteFile(const std::string& path, const char* text) {
        FILE* file = std::fopen((root_ + "/" + path).c_str(), "w");
        ASSERT_NE(file, nullptr) << path;
        std::fputs(text, file);
        std::fclose(file);
    }
    std::string root_;
    int descriptors_ = 0;
};

// Nodes come in the order of where their devices are plugged in, whatever
// their numbers: the controller, the port (behind hubs too), the interface.
TEST_F(SysfsTree, ListsNodesInPortOrder) {
    const struct {
        const char* name;
        const char* device;  // its HID device under devices/, or null for a plain folder
    } entries[] = {
        {"hidraw0", "ctl.10/usb3/3-1/3-1:1.1/h"},
        {"hidraw1", "ctl.2/usb1/1-10/1-10:1.1/h"},
        {"hidraw2", "ctl.2/usb1/1-9/1-9:1.1/h"},
        {"hidraw3", "ctl.2/usb1/1-9/1-9:1.0/h"},
        {"hidraw4", "ctl.2/usb1/1-1/1-1.2/1-1.2:1.1/h"},
        {"hidraw12", nullptr},
        {"hidraw7", nullptr},
        {"hidraw", nullptr},
        {"hidrawx", nullptr},
        {"hidraw1a", nullptr},
    };
    MakeDir("class");
    for (const auto& e : entries) {
        MakeDir(std::string("class/") + e.name);
        if (e.device != nullptr) {
            ASSERT_EQ(std::system(("mkdir -p " + root_ + "/devices/" + e.device).c_str()), 0);
            ASSERT_EQ(symlink((root_ + "/devices/" + e.device).c_str(),
                              (root_ + "/class/" + e.name + "/device").c_str()),
                      0);
        }
    }
    HidrawNode nodes[8] = {};
    std::size_t count = 0;
    const std::string classDir = root_ + "/class";
    EXPECT_EQ(ListHidrawNodes(classDir.c_str(), nodes, 8, &count), NodeListing::kListed);
    std::vector<int> numbers;
    for (std::size_t i = 0; i < count; ++i) {
        numbers.push_back(nodes[i].number);
    }
    EXPECT_EQ(numbers, (std::vector<int>{7, 12, 4, 3, 2, 1, 0}));
    EXPECT_EQ(std::string(nodes[3].port), root_ + "/devices/ctl.2/usb1/1-9/1-9:1.0");
    // One more than fits is a failure, not a silently shorter list.
    EXPECT_EQ(ListHidrawNodes(classDir.c_str(), nodes, 6, &count), NodeListing::kFailed);
    const struct {
        const char* a;
        const char* b;
        int order;
    } pairs[] = {
        {"1-9", "1-10", -1},
        {"1-1.10", "1-1.9", 1},
        {"1-01", "1-1", 0},
        {"1-1", "1-1.2", -1},
        {"a", "b", -1},
        {"", "1", -1},
        {"usb2/2-1", "usb10/10-1", -1},
    };
    for (const auto& p : pairs) {
        EXPECT_EQ(CompareNaturally(p.a, p.b), p.order) << p.a << " " << p.b;
        EXPECT_EQ(CompareNaturally(p.b, p.a), -p.order) << p.b << " " << p.a;
    }
}

TEST_F(SysfsTree, TellsAMissingFolderFromAnUnreadableOne) {
    HidrawNode nodes[4] = {};
    std::size_t count = 0;
    EXPECT_EQ(ListHidrawNodes((root_ + "/absent").c_str(), nodes, 4, &count),
              NodeListing::kMissing);
    WriteFile("plain", "");
    EXPECT_EQ(ListHidrawNodes((root_ + "/plain").c_str(), nodes, 4, &count), NodeListing::kFailed);
    EXPECT_EQ(count, 0u);
}

TEST_F(SysfsTree, ReadsTheUsbInterfaceAndVersionAboveTheHidDevice) {
    // <usb device>/<usb interface>/<hid device>, as sysfs nests them.
    MakeDir("1-1");
    WriteFile("1-1/bcdDevice", "0001\n");
    for (const char* interface : {"1-1:1.0", "1-1:1.1"}) {
        MakeDir(std::string("1-1/") + interface);
        MakeDir(std::string("1-1/") + interface + "/hid");
    }
    WriteFile("1-1/1-1:1.0/bInterfaceNumber", "00\n");
    WriteFile("1-1/1-1:1.1/bInterfaceNumber", "01\n");
    MakeDir("virtual");
    MakeDir("virtual/hid");
    WriteFile("virtual/bInterfaceNumber", "zz\n");
    WriteFile("bcdDevice", "");
    MakeDir("virtual/hid/hid");

    EXPECT_EQ(ReadInterfaceNumber((root_ + "/1-1/1-1:1.0/hid").c_str()), 0);
    EXPECT_EQ(ReadInterfaceNumber((root_ + "/1-1/1-1:1.1/hid").c_str()), 1);
    EXPECT_EQ(ReadDeviceVersion((root_ + "/1-1/1-1:1.1/hid").c_str()), 1u);
    EXPECT_EQ(ReadInterfaceNumber((root_ + "/virtual/hid").c_str()), -1);
    EXPECT_EQ(ReadDeviceVersion((root_ + "/virtual/hid").c_str()), 0u);
    EXPECT_EQ(ReadDeviceVersion((root_ + "/virtual/hid/hid").c_str()), 0u);  // empty attribute
}

TEST_F(SysfsTree, TellsAThermometersDataInterfaceWithoutOpeningIt) {
    const char thermometer[] = "DRIVER=hid-generic\nHID_ID=0003:00000C45:00007401\nHID_NAME=x\n";
    const char other[] = "HID_ID=0003:00000C45:00007402\n";
    MakeDir("1-1");
    const struct {
        const char* interface;  // bInterfaceNumber, or null for none
        const char* uevent;     // or null for none
        bool named;
    } cases[] = {
        {"00", thermometer, false},  // the keyboard
        {"01", thermometer, true},     {nullptr, thermometer, true}, {"01", other, false},
        {"01", "HID_NAME=x\n", false}, {"01", nullptr, false},
    };
    int index = 0;
    for (const auto& c : cases) {
        const std::string usbInterface = "1-1/1-1:1." + std::to_string(index++);
        MakeDir(usbInterface);
        MakeDir(usbInterface + "/hid");
        if (c.interface != nullptr) {
            WriteFile(usbInterface + "/bInterfaceNumber", c.interface);
        }
        if (c.uevent != nullptr) {
            WriteFile(usbInterface + "/hid/uevent", c.uevent);
        }
        EXPECT_EQ(NamesThermometerData((root_ + "/" + usbInterface + "/hid").c_str()), c.named)
            << usbInterface;
    }
}

TEST_F(SysfsTree, WaitsForTheLockOfAnotherRunThenGivesUp) {
    WriteFile("node", "");
    const std::string node = root_ + "/node";
    const struct {
        const char* name;
        int releaseAfterMs;  // -1: held throughout, 0: free from the start
        bool locked;
        bool waited;
        const char* output;
    } cases[] = {
        {"held throughout", -1, false, true, "ERR flock 110 Connection timed out\n"},
        {"released during the wait", 50, true, true, ""},
        {"free", 0, true, false, ""},
    };
    const int savedTimeout = lockTimeoutMs;
    lockTimeoutMs = 300;
    for (const auto& c : cases) {
        const int holder = open(node.c_str(), O_RDWR | O_CLOEXEC);
        const int waiter = open(node.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_EQ(flock(holder, c.releaseAfterMs == 0 ? LOCK_UN : LOCK_EX), 0);
        std::thread other([&c, holder] {
            if (c.releaseAfterMs > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(c.releaseAfterMs));
                flock(holder, LOCK_UN);
            }
        });
        Turn turn = {-1, !c.waited};
        StartCapture();
        EXPECT_EQ(TakeTurn(node.c_str(), waiter, &turn), c.locked) << c.name;
        EXPECT_EQ(FinishCapture(), c.output) << c.name;
        EXPECT_EQ(turn.waited, c.waited) << c.name;
        other.join();
        close(waiter);
        close(holder);
    }
    lockTimeoutMs = savedTimeout;
}

std::string BootId() {
    char id[64] = "-";
    if (FILE* file = std::fopen("/proc/sys/kernel/random/boot_id", "r")) {
        if (std::fscanf(file, "%63s", id) != 1) {
            std::snprintf(id, sizeof id, "-");
        }
        std::fclose(file);
    }
    return id;
}

// A stamp of the boot clock agoMs ago, as a run writes it.
std::string StampOf(const std::string& boot, long long agoMs) {
    timespec now;
    clock_gettime(CLOCK_BOOTTIME, &now);
    char text[96];
    std::snprintf(text, sizeof text, "%s %020lld\n", boot.c_str(),
                  static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000 - agoMs);
    return text;
}

// What a run finds where its mark lies, and what it may stamp there: only a
// plain file of its own account's (or root's) tells a time, on the boot
// clock that no step of the wall clock moves; another's or a planted one
// never holds it up for long, and no link is ever followed.
TEST_F(SysfsTree, TrustsOnlyItsOwnMarksAndNeverFollowsALink) {
    const bool root = geteuid() == 0;
    enum class Lies { kNothing, kOwnFile, kOthersFile, kLink, kPipe, kFolder };
    const std::string boot = BootId();
    const struct {
        const char* name;
        Lies lies;
        std::string stamp;  // an own or another's file's text
        mode_t mode;
        MarkFound found;
        long long ageMs;  // about, for a dated mark
        bool placed;      // this run may keep its mark there
    } cases[] = {
        {"nothing", Lies::kNothing, "", 0644, MarkFound::kNone, 0, true},
        {"this account's mark, stamped 1 s ago, its file an hour old", Lies::kOwnFile,
         StampOf(boot, 1000), 0644, MarkFound::kDated, 1000, true},
        {"a mark of another boot", Lies::kOwnFile, StampOf("another-boot", 1000), 0644,
         MarkFound::kDated, 1LL << 40, true},
        {"a mark dated ahead of the boot clock", Lies::kOwnFile, StampOf(boot, -60000), 0644,
         MarkFound::kUndated, 0, true},
        {"a mark with no stamp: its file's time", Lies::kOwnFile, "", 0644, MarkFound::kDated,
         3600000, true},
        {"a mark made read-only by a umask of 0277", Lies::kOwnFile, StampOf(boot, 1000), 0400,
         MarkFound::kDated, 1000, true},
        {"another account's file", Lies::kOthersFile, StampOf(boot, 0), 0644, MarkFound::kUndated,
         0, root},
        {"a link", Lies::kLink, "", 0644, MarkFound::kUndated, 0, false},
        {"a pipe", Lies::kPipe, "", 0644, MarkFound::kUndated, 0, false},
        {"a folder", Lies::kFolder, "", 0644, MarkFound::kUndated, 0, false},
    };
    WriteFile("target", "kept");
    const std::string mark = root_ + "/frostgauge-hidraw7";
    readOutMarkDir = root_.c_str();
    for (const auto& c : cases) {
        if (c.lies == Lies::kOthersFile && !root) {
            continue;  // only root can make a file another's
        }
        switch (c.lies) {
        case Lies::kNothing:
            break;
        case Lies::kOwnFile:
        case Lies::kOthersFile: {
            WriteFile("frostgauge-hidraw7", c.stamp.c_str());
            const timespec hourAgo = {std::time(nullptr) - 3600, 0};
            const timespec times[2] = {hourAgo, hourAgo};
            ASSERT_EQ(utimensat(AT_FDCWD, mark.c_str(), times, 0), 0);
            ASSERT_EQ(chmod(mark.c_str(), c.mode), 0);
            if (c.lies == Lies::kOthersFile) {
                ASSERT_EQ(chown(mark.c_str(), 4242, 4242), 0);
            }
            break;
        }
        case Lies::kLink:
            ASSERT_EQ(symlink((root_ + "/target").c_str(), mark.c_str()), 0);
            break;
        case Lies::kPipe:
            ASSERT_EQ(mkfifo(mark.c_str(), 0666), 0);
            break;
        case Lies::kFolder:
            MakeDir("frostgauge-hidraw7");
            break;
        }
        std::int64_t ageMs = -1;
        EXPECT_EQ(LookAtMarks(mark.c_str(), &ageMs), c.found) << c.name;
        if (c.found == MarkFound::kDated) {
            EXPECT_GE(ageMs, c.ageMs) << c.name;
            EXPECT_LT(ageMs, c.ageMs + 60000) << c.name;
        }
        char path[kMarkPathSize];
        EXPECT_EQ(FindMarkPlace("/dev/hidraw7", path, sizeof path), c.placed) << c.name;
        const MarkHandle stamped = StampMark(mark.c_str(), kNoMark);
        EXPECT_EQ(stamped != kNoMark, c.placed) << c.name;
        if (stamped != kNoMark) {
            EXPECT_STREQ(path, mark.c_str()) << c.name;
            EXPECT_EQ(LookAtMarks(mark.c_str(), &ageMs), MarkFound::kDated) << c.name;
            EXPECT_LT(ageMs, 1000) << c.name;
            EXPECT_EQ(StampMark(mark.c_str(), stamped), stamped) << c.name;
            ClearMark(mark.c_str(), stamped);
        }
        EXPECT_EQ(LookAtMarks(mark.c_str(), &ageMs), c.placed ? MarkFound::kNone : c.found)
            << c.name;
        (void)!std::system(("rm -rf " + mark).c_str());
    }
    readOutMarkDir = nullptr;
    FILE* target = std::fopen((root_ + "/target").c_str(), "r");
    ASSERT_NE(target, nullptr);
    char text[8] = {};
    EXPECT_EQ(std::fread(text, 1, sizeof text - 1, target), 4u);
    std::fclose(target);
    EXPECT_STREQ(text, "kept");
}

// A folder holds marks only where no other account can remove or replace
// them and no link leads elsewhere.
TEST_F(SysfsTree, KeepsMarksOnlyInAFolderOthersCannotTamperWith) {
    const struct {
        const char* name;
        const char* dir;
        mode_t mode;
        bool placed;
    } cases[] = {
        {"its own folder", "own", 0755, true},
        {"open to all, sticky", "sticky", 01777, true},
        {"open to all, not sticky", "open", 0777, false},
        {"a link to a folder", "link", 0755, false},
        {"missing", "missing", 0755, false},
    };
    MakeDir("target");
    ASSERT_EQ(symlink((root_ + "/target").c_str(), (root_ + "/link").c_str()), 0);
    for (const auto& c : cases) {
        const std::string dir = root_ + "/" + c.dir;
        if (std::string(c.dir) != "link" && std::string(c.dir) != "missing") {
            MakeDir(c.dir);
            ASSERT_EQ(chmod(dir.c_str(), c.mode), 0);
        }
        readOutMarkDir = dir.c_str();
        char path[kMarkPathSize];
        EXPECT_EQ(FindMarkPlace("/dev/hidraw7", path, sizeof path), c.placed) << c.name;
        std::int64_t ageMs = 0;
        EXPECT_EQ(LookAtMarks((dir + "/frostgauge-hidraw7").c_str(), &ageMs), MarkFound::kNone)
            << c.name;
    }
    readOutMarkDir = nullptr;
}

}  // namespace
