#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli.h"
#include "common/run_options.h"
#include "device/device.h"
#include "device/hidraw_linux.h"
#include "device/transfer.h"
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
    // As sysfs has them: the class's entry a link to the node's folder.
    MakeDir("class");
    for (const auto& e : entries) {
        const std::string node =
            root_ + "/devices/" + (e.device != nullptr ? e.device : "") + "/hidraw/" + e.name;
        if (e.device == nullptr) {
            MakeDir(std::string("class/") + e.name);
            continue;
        }
        ASSERT_EQ(std::system(("mkdir -p " + node).c_str()), 0);
        ASSERT_EQ(symlink(node.c_str(), (root_ + "/class/" + e.name).c_str()), 0);
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
        const char* output;
    } cases[] = {
        {"held throughout", -1, false, "ERR flock 110 Connection timed out\n"},
        {"released during the wait", 50, true, ""},
        {"free", 0, true, ""},
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
        Turn turn = {-1, true};
        StartCapture();
        EXPECT_EQ(TakeTurn(node.c_str(), waiter, &turn), c.locked) << c.name;
        EXPECT_EQ(FinishCapture(), c.output) << c.name;
        EXPECT_FALSE(turn.abandoned) << c.name;
        other.join();
        close(waiter);
        close(holder);
    }
    lockTimeoutMs = savedTimeout;
}

// The time of a mark stamped agoMs ago, as a run sets it: the boot clock,
// in milliseconds after 2000, and 1 ns; coarse, as a file system keeping
// whole seconds leaves it.
timespec StampOf(long long agoMs, bool coarse) {
    timespec now;
    clock_gettime(CLOCK_BOOTTIME, &now);
    const long long ms = now.tv_sec * 1000LL + now.tv_nsec / 1000000 - agoMs;
    return {static_cast<time_t>(946684800 + ms / 1000),
            static_cast<long>(coarse ? 0 : ms % 1000 * 1000000 + 1)};
}

// The access list user::rw-, user:ID:PERM, group::GROUP, mask::MASK, other::---.
std::string Acl(unsigned id, unsigned perm, unsigned group, unsigned mask) {
    std::string acl("\x02\0\0\0", 4);
    const unsigned entries[5][3] = {
        {0x01, 6, ~0u}, {0x02, perm, id}, {0x04, group, ~0u}, {0x10, mask, ~0u}, {0x20, 0, ~0u}};
    for (const auto& e : entries) {
        const unsigned char bytes[8] = {
            static_cast<unsigned char>(e[0]),       0,
            static_cast<unsigned char>(e[1]),       0,
            static_cast<unsigned char>(e[2]),       static_cast<unsigned char>(e[2] >> 8),
            static_cast<unsigned char>(e[2] >> 16), static_cast<unsigned char>(e[2] >> 24)};
        acl.append(reinterpret_cast<const char*>(bytes), 8);
    }
    return acl;
}

// A mark tells its age only where its owner could have opened the
// thermometer for writing, as the node itself tells: root, the node's owner,
// anyone where all may write, an account its access list lets write, a
// member of its group (by the mark's group, outside a setgid folder); and
// only a plain file with one name, stamped in this boot.
TEST_F(SysfsTree, TrustsAMarkWhoseOwnerCouldReadTheThermometer) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "only root can give files to other accounts";
    }
    enum class Is { kFile, kTwoLinks, kLink, kFolder };
    const struct {
        const char* name;
        uid_t owner;  // the mark's owner and group
        gid_t group;
        mode_t node;      // the node's mode; it is 4242:46
        std::string acl;  // the node's access list, or none
        Is is;
        bool setgid;  // the folder's
        timespec stamp;
        MarkFound found;
        long long ageMs;  // about, for a dated mark
    } cases[] = {
        {"root's, stamped 1 s ago", 0, 0, 0600, "", Is::kFile, false, StampOf(1000, false),
         MarkFound::kDated, 1000},
        {"the node's owner's", 4242, 4242, 0600, "", Is::kFile, false, StampOf(1000, false),
         MarkFound::kDated, 1000},
        {"another account's", 4243, 4243, 0600, "", Is::kFile, false, StampOf(0, false),
         MarkFound::kUndated, 0},
        {"a member of the node's group", 4243, 46, 0660, "", Is::kFile, false, StampOf(1000, false),
         MarkFound::kDated, 1000},
        {"a member, the group may only read", 4243, 46, 0640, "", Is::kFile, false,
         StampOf(0, false), MarkFound::kUndated, 0},
        {"another group's", 4243, 47, 0660, "", Is::kFile, false, StampOf(0, false),
         MarkFound::kUndated, 0},
        {"a member's in a setgid folder", 4243, 46, 0660, "", Is::kFile, true, StampOf(0, false),
         MarkFound::kUndated, 0},
        {"anyone's where all may write", 4243, 4243, 0666, "", Is::kFile, false,
         StampOf(1000, false), MarkFound::kDated, 1000},
        {"let write by the access list", 4243, 4243, 0600, Acl(4243, 6, 4, 6), Is::kFile, false,
         StampOf(1000, false), MarkFound::kDated, 1000},
        {"let write by the list, its mask read-only", 4243, 4243, 0600, Acl(4243, 6, 4, 4),
         Is::kFile, false, StampOf(0, false), MarkFound::kUndated, 0},
        {"let read by the list", 4243, 4243, 0600, Acl(4243, 4, 4, 6), Is::kFile, false,
         StampOf(0, false), MarkFound::kUndated, 0},
        {"a member where the list's group may only read", 4244, 46, 0600, Acl(4243, 6, 4, 6),
         Is::kFile, false, StampOf(0, false), MarkFound::kUndated, 0},
        {"root's with a second name", 0, 0, 0600, "", Is::kTwoLinks, false, StampOf(0, false),
         MarkFound::kUndated, 0},
        {"a link", 0, 0, 0600, "", Is::kLink, false, StampOf(0, false), MarkFound::kUndated, 0},
        {"a folder", 0, 0, 0600, "", Is::kFolder, false, StampOf(0, false), MarkFound::kUndated, 0},
        {"stamped ahead of the boot clock: another boot's", 0, 0, 0600, "", Is::kFile, false,
         StampOf(-60000, false), MarkFound::kUndated, 0},
        {"a second and a half ago on a file system of whole seconds: up to 2 s later", 0, 0, 0600,
         "", Is::kFile, false, StampOf(1500, true), MarkFound::kDated, 0},
    };
    WriteFile("node", "");
    WriteFile("target", "");
    for (const auto& c : cases) {
        MakeDir("marks");
        const std::string mark = root_ + "/marks/frostgauge-hidraw7";
        ASSERT_EQ(chmod((root_ + "/marks").c_str(), c.setgid ? 02777 : 01777), 0);
        if (c.is == Is::kFolder) {
            MakeDir("marks/frostgauge-hidraw7");
        } else if (c.is == Is::kLink) {
            ASSERT_EQ(symlink((root_ + "/target").c_str(), mark.c_str()), 0);
        } else {
            WriteFile("marks/frostgauge-hidraw7", "");
            ASSERT_EQ(chown(mark.c_str(), c.owner, c.group), 0);
            const timespec times[2] = {c.stamp, c.stamp};
            ASSERT_EQ(utimensat(AT_FDCWD, mark.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
        }
        if (c.is == Is::kTwoLinks) {
            ASSERT_EQ(link(mark.c_str(), (root_ + "/second").c_str()), 0);
        }
        const int node = open((root_ + "/node").c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(node, 0);
        ASSERT_EQ(fchown(node, 4242, 46), 0);
        ASSERT_EQ(fchmod(node, c.node), 0);
        fremovexattr(node, "system.posix_acl_access");
        if (!c.acl.empty() &&
            fsetxattr(node, "system.posix_acl_access", c.acl.data(), c.acl.size(), 0) != 0) {
            ADD_FAILURE() << c.name << ": this file system keeps no access list";
        }
        std::int64_t ageMs = -1;
        EXPECT_EQ(LookAtMark(mark.c_str(), node, &ageMs), c.found) << c.name;
        if (c.found == MarkFound::kDated) {
            EXPECT_GE(ageMs, c.ageMs) << c.name;
            EXPECT_LT(ageMs, c.ageMs + 1000) << c.name;
        }
        close(node);
        (void)!std::system(("rm -rf " + root_ + "/marks " + root_ + "/second").c_str());
    }
}

// A run keeps its mark only in a real folder where no other account can
// remove or replace it, at a free name or in place of its own leftover;
// it makes it new, so that no link is followed and no other file written.
TEST_F(SysfsTree, KeepsMarksOnlyWhereOthersCannotTamperWithThem) {
    const bool root = geteuid() == 0;
    enum class Lies { kNothing, kOwnFile, kOthersFile, kLink, kFolder };
    const struct {
        const char* name;
        const char* dir;
        mode_t mode;
        Lies lies;
        bool kept;
    } cases[] = {
        {"its own folder", "own", 0755, Lies::kNothing, true},
        {"open to all, sticky", "sticky", 01777, Lies::kNothing, true},
        {"open to all, not sticky", "open", 0777, Lies::kNothing, false},
        {"a link to a folder", "link", 0755, Lies::kNothing, false},
        {"missing", "missing", 0755, Lies::kNothing, false},
        {"its own leftover", "sticky", 01777, Lies::kOwnFile, true},
        {"another account's file", "sticky", 01777, Lies::kOthersFile, false},
        {"a link to a file", "sticky", 01777, Lies::kLink, false},
        {"a folder at the name", "sticky", 01777, Lies::kFolder, false},
    };
    MakeDir("target");
    WriteFile("kept", "kept");
    ASSERT_EQ(symlink((root_ + "/target").c_str(), (root_ + "/link").c_str()), 0);
    for (const auto& c : cases) {
        if (c.lies == Lies::kOthersFile && !root) {
            continue;  // only root can make a file another's
        }
        const std::string dir = root_ + "/" + c.dir;
        const std::string mark = dir + "/frostgauge-hidraw7";
        if (std::string(c.dir) != "link" && std::string(c.dir) != "missing") {
            mkdir(dir.c_str(), 0755);
            ASSERT_EQ(chmod(dir.c_str(), c.mode), 0);
        }
        if (c.lies == Lies::kOwnFile || c.lies == Lies::kOthersFile) {
            WriteFile(std::string(c.dir) + "/frostgauge-hidraw7", "");
            ASSERT_EQ(chown(mark.c_str(), c.lies == Lies::kOwnFile ? geteuid() : 4242, 0), 0);
        } else if (c.lies == Lies::kLink) {
            ASSERT_EQ(symlink((root_ + "/kept").c_str(), mark.c_str()), 0);
        } else if (c.lies == Lies::kFolder) {
            mkdir(mark.c_str(), 0755);
        }
        int error = 0;
        const int node = open((root_ + "/kept").c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_EQ(CanKeepMark(mark.c_str(), node, &error), c.kept) << c.name;
        if (c.kept && c.lies == Lies::kOwnFile) {
            RemoveMark(mark.c_str());  // as a run does with its account's leftover
        }
        const MarkHandle made = c.kept ? MakeMark(mark.c_str(), node, &error) : kNoMark;
        EXPECT_EQ(made != kNoMark, c.kept) << c.name << ": " << error;
        std::int64_t ageMs = -1;
        if (made != kNoMark) {
            EXPECT_EQ(LookAtMark(mark.c_str(), node, &ageMs), MarkFound::kDated) << c.name;
            EXPECT_LT(ageMs, 1000) << c.name;
            EXPECT_TRUE(StampMark(made, &error)) << c.name;
            EXPECT_TRUE(CloseMark(mark.c_str(), made, true, &error)) << c.name;
            EXPECT_EQ(LookAtMark(mark.c_str(), node, &ageMs), MarkFound::kNone) << c.name;
        }
        close(node);
        (void)!std::system(("rm -rf " + mark).c_str());
    }
    FILE* kept = std::fopen((root_ + "/kept").c_str(), "r");
    ASSERT_NE(kept, nullptr);
    char text[8] = {};
    EXPECT_EQ(std::fread(text, 1, sizeof text - 1, kept), 4u);
    std::fclose(kept);
    EXPECT_STREQ(text, "kept");
}

// The wait after a killed run counts from the return of its last write,
// however long that took: the answer may come a time-out after it.
TEST_F(SysfsTree, StampsTheMarkAgainOnceTheWriteReturns) {
    int pipe[2];
    ASSERT_EQ(pipe2(pipe, O_CLOEXEC | O_NONBLOCK), 0);
    while (write(pipe[1], "xxxxxxxxxxxxxxxx", 16) > 0) {
    }
    ASSERT_EQ(fcntl(pipe[1], F_SETFL, 0), 0);  // a command's write now waits for room
    std::thread reader([&pipe] {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        char drained[4096];
        (void)!read(pipe[0], drained, sizeof drained);
    });
    readOutMarkDir = root_.c_str();
    const int savedTimeout = transferTimeoutMs;
    transferTimeoutMs = 100;  // the answer read on the pipe's other end never comes
    StartCapture();
    EXPECT_EQ(ReadInTurn(pipe[1], "/dev/hidraw7", Turn{pipe[1], false}, ReadThermometer),
              ERROR_SENTINEL);
    const std::string out = FinishCapture();
    reader.join();
    std::int64_t ageMs = -1;
    EXPECT_EQ(LookAtMark((root_ + "/frostgauge-hidraw7").c_str(), pipe[1], &ageMs),
              MarkFound::kDated)
        << out;
    EXPECT_LT(ageMs, 1000) << "stamped before the write, not after it";
    transferTimeoutMs = savedTimeout;
    readOutMarkDir = nullptr;
    close(pipe[0]);
    close(pipe[1]);
}

}  // namespace
