#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/run_options.h"
#include "common/system.h"
#include "device/device.h"
#include "device/hidraw_linux.h"
#include "device/turns.h"
#include "device/unread.h"

namespace {

constexpr unsigned kThermometerVendorId = 0x0C45;
constexpr unsigned kThermometerProductId = 0x7401;
// The thermometer's interface 0 is a keyboard that never answers a command;
// interface 1 speaks the protocol.
constexpr int kDataInterface = 1;
constexpr char kHidrawClassDir[] = "/sys/class/hidraw";
// Room for the sysfs paths built here, the test trees' included.
constexpr std::size_t kPathSize = 512;

// Describes an opened node and reads it if it is the thermometer's data
// interface. Returns the action's result, or 0 when there was none.
int VisitOpenNode(int fd, const char* hidDeviceDir, const char* devicePath,
                  ThermometerAction action) {
    hidraw_devinfo info = {};
    if (ioctl(fd, HIDIOCGRAWINFO, &info) < 0) {
        const int error = errno;
        if (runOptions.diagnosis) {
            PrintSystemError("ERR HidD_GetAttributes", error);
        }
        return 0;
    }
    // The kernel hands the USB identity over in signed 16-bit fields.
    const unsigned vendor = static_cast<std::uint16_t>(info.vendor);
    const unsigned product = static_cast<std::uint16_t>(info.product);
    if (runOptions.diagnosis) {
        std::printf("VendorID: %u\n", vendor);
        std::printf("ProductID: %u\n", product);
        std::printf("VersionNumber: %u\n", ReadDeviceVersion(hidDeviceDir));
    }
    if (vendor != kThermometerVendorId || product != kThermometerProductId) {
        return 0;
    }
    const int interface = ReadInterfaceNumber(hidDeviceDir);
    if (interface >= 0 && interface != kDataInterface) {
        return 0;
    }
    if (runOptions.diagnosis) {
        std::printf("TEMPer Gold found %s\n", devicePath);
        std::printf("USB Port #%d\n", fd);
    }
    // Another run's commands would draw answers that this run takes for its own.
    Turn turn;
    if (!TakeTurn(devicePath, fd, &turn)) {
        return ERROR_SENTINEL;
    }
    const int result = ReadInTurn(fd, devicePath, turn, action);
    EndTurn(&turn);
    return result;
}

int VisitNode(int number, const char* hidDeviceDir, ThermometerAction action) {
    char devicePath[32];
    std::snprintf(devicePath, sizeof devicePath, "/dev/hidraw%d", number);
    const int fd = open(devicePath, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        // A thermometer this user may not read is a failed reading, which a
        // script must be able to tell from an empty bus.
        const bool thermometer = NamesThermometerData(hidDeviceDir);
        if (runOptions.diagnosis || thermometer) {
            PrintSystemError("WRN CreateFile", error);
        }
        return thermometer ? ERROR_SENTINEL : 0;
    }
    const int result = VisitOpenNode(fd, hidDeviceDir, devicePath, action);
    close(fd);
    return result;
}

// Whether two USB interfaces' paths (".../1-1.2/1-1.2:1.0") are of one device.
bool SameUsbDevice(const char* port, const char* other) {
    const char* slash = std::strrchr(port, '/');
    const std::size_t length = slash == nullptr ? 0 : static_cast<std::size_t>(slash - port);
    return length > 0 && std::strncmp(port, other, length + 1) == 0 &&
           std::strchr(other + length + 1, '/') == nullptr;
}

}  // namespace

bool NamesThermometerData(const char* hidDeviceDir) {
    unsigned vendor = 0;
    unsigned product = 0;
    if (!ReadHidIdentity(hidDeviceDir, &vendor, &product) || vendor != kThermometerVendorId ||
        product != kThermometerProductId) {
        return false;
    }
    const int interface = ReadInterfaceNumber(hidDeviceDir);
    return interface < 0 || interface == kDataInterface;
}

int FindThermometers(ThermometerAction action) {
    // Static: a few dozen kilobytes, once a run.
    static HidrawNode nodes[kMaxHidrawNodes];
    std::size_t count = 0;
    switch (ListHidrawNodes(kHidrawClassDir, nodes, kMaxHidrawNodes, &count)) {
    case NodeListing::kMissing:
        return 0;  // no HID device has ever been bound
    case NodeListing::kFailed:
        std::printf("ERR SetupDiGetClassDevs\n");
        return ERROR_SENTINEL;
    case NodeListing::kListed:
        break;
    }
    int status = 0;
    bool thermometerFound = false;
    UnreadSticks unread = {};
    for (std::size_t i = 0; i < count; ++i) {
        char hidDeviceDir[kPathSize];
        std::snprintf(hidDeviceDir, sizeof hidDeviceDir, "%s/hidraw%d/device", kHidrawClassDir,
                      nodes[i].number);
        thermometerFound = thermometerFound || NamesThermometerData(hidDeviceDir);
        if (VisitNode(nodes[i].number, hidDeviceDir, action) == ERROR_SENTINEL) {
            status = ERROR_SENTINEL;
        }
        unsigned vendor = 0;
        unsigned product = 0;
        // A stick's interfaces come one after another: it is noted at its last.
        if (ReadHidIdentity(hidDeviceDir, &vendor, &product) &&
            (i + 1 == count || !SameUsbDevice(nodes[i].port, nodes[i + 1].port))) {
            NoteUnreadStick(&unread, vendor, product);
        }
    }
    return ReportUnreadSticks(unread, thermometerFound, status);
}
