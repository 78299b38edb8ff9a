#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "device/hidraw_linux.h"

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

}  // namespace
