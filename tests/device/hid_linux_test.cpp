#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "device/device.h"
#include "device/hidraw_linux.h"
#include "device/turns.h"
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

TEST_F(SysfsTree, ListsNodesInNumericOrder) {
    for (const char* name :
         {"hidraw10", "hidraw2", "hidraw0", "hidraw", "hidrawx", "hidraw1a", "usb1"}) {
        MakeDir(name);
    }
    int numbers[4] = {};
    std::size_t count = 0;
    EXPECT_EQ(ListHidrawNodes(root_.c_str(), numbers, 4, &count), NodeListing::kListed);
    EXPECT_EQ(std::vector<int>(numbers, numbers + count), (std::vector<int>{0, 2, 10}));
    // One more than fits is a failure, not a silently shorter list.
    MakeDir("hidraw5");
    MakeDir("hidraw7");
    EXPECT_EQ(ListHidrawNodes(root_.c_str(), numbers, 4, &count), NodeListing::kFailed);
}

TEST_F(SysfsTree, TellsAMissingFolderFromAnUnreadableOne) {
    int numbers[4] = {};
    std::size_t count = 0;
    EXPECT_EQ(ListHidrawNodes((root_ + "/absent").c_str(), numbers, 4, &count),
              NodeListing::kMissing);
    WriteFile("plain", "");
    EXPECT_EQ(ListHidrawNodes((root_ + "/plain").c_str(), numbers, 4, &count),
              NodeListing::kFailed);
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

// What a run finds where its mark lies, and what it may stamp there: only a
// plain file of its own account's (or root's) tells a time; another's or a
// planted one never holds it up for long, and no link is ever followed.
TEST_F(SysfsTree, TrustsOnlyItsOwnMarksAndNeverFollowsALink) {
    const bool root = geteuid() == 0;
    enum class Lies { kNothing, kOwnFile, kOthersFile, kLink, kPipe, kFolder };
    const struct {
        const char* name;
        Lies lies;
        MarkFound found;
        bool stamped;  // this run has a mark of its own afterwards
    } cases[] = {
        {"nothing", Lies::kNothing, MarkFound::kNone, true},
        {"this account's mark", Lies::kOwnFile, MarkFound::kDated, true},
        {"another account's file", Lies::kOthersFile, MarkFound::kUndated, root},
        {"a link", Lies::kLink, MarkFound::kUndated, root},
        {"a pipe", Lies::kPipe, MarkFound::kUndated, root},
        {"a folder", Lies::kFolder, MarkFound::kUndated, false},
    };
    WriteFile("target", "kept");
    const std::string mark = root_ + "/mark";
    for (const auto& c : cases) {
        if (c.lies == Lies::kOthersFile && !root) {
            continue;  // only root can make a file another's
        }
        switch (c.lies) {
        case Lies::kNothing:
            break;
        case Lies::kOwnFile:
        case Lies::kOthersFile:
            WriteFile("mark", "");
            if (c.lies == Lies::kOthersFile) {
                ASSERT_EQ(chown(mark.c_str(), 4242, 4242), 0);
            }
            break;
        case Lies::kLink:
            ASSERT_EQ(symlink((root_ + "/target").c_str(), mark.c_str()), 0);
            break;
        case Lies::kPipe:
            ASSERT_EQ(mkfifo(mark.c_str(), 0666), 0);
            break;
        case Lies::kFolder:
            MakeDir("mark");
            break;
        }
        long ageMs = -1;
        EXPECT_EQ(LookAtMark(mark.c_str(), &ageMs), c.found) << c.name;
        if (c.found == MarkFound::kDated) {
            EXPECT_GE(ageMs, 0) << c.name;
            EXPECT_LT(ageMs, 60000) << c.name;
        }
        const MarkHandle stamped = StampMark(mark.c_str(), kNoMark);
        EXPECT_EQ(stamped != kNoMark, c.stamped) << c.name;
        if (stamped != kNoMark) {
            EXPECT_EQ(LookAtMark(mark.c_str(), &ageMs), MarkFound::kDated) << c.name;
            EXPECT_EQ(StampMark(mark.c_str(), stamped), stamped) << c.name;
            ClearMark(mark.c_str(), stamped);
        }
        EXPECT_EQ(LookAtMark(mark.c_str(), &ageMs), c.stamped ? MarkFound::kNone : c.found)
            << c.name;
        (void)!std::system(("rm -rf " + mark).c_str());
    }
    FILE* target = std::fopen((root_ + "/target").c_str(), "r");
    ASSERT_NE(target, nullptr);
    char text[8] = {};
    EXPECT_EQ(std::fread(text, 1, sizeof text - 1, target), 4u);
    std::fclose(target);
    EXPECT_STREQ(text, "kept");
}

}  // namespace
