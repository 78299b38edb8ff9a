#include <dirent.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

// Reads the sysfs attribute dir/name into text, zero-terminated. False when
// it is missing, unreadable or empty.
bool ReadAttribute(const char* dir, const char* name, char* text, std::size_t size) {
    char path[kPathSize];
    if (std::snprintf(path, sizeof path, "%s/%s", dir, name) >= static_cast<int>(sizeof path)) {
        return false;
    }
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const ssize_t got = read(fd, text, size - 1);
    close(fd);
    text[got > 0 ? got : 0] = '\0';
    return got > 0;
}

// Reads a short attribute written in hexadecimal, as bInterfaceNumber and
// bcdDevice are. Returns -1 when it is missing or unreadable.
long ReadHexAttribute(const char* dir, const char* name) {
    char text[32];
    if (!ReadAttribute(dir, name, text, sizeof text)) {
        return -1;
    }
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 16);
    if (end == text || value > 0xFFFF) {
        return -1;
    }
    return static_cast<long>(value);
}

// The number N of a "hidrawN" entry, or -1 for any other name.
int HidrawNumber(const char* name) {
    constexpr char kPrefix[] = "hidraw";
    constexpr std::size_t kPrefixLength = sizeof kPrefix - 1;
    if (std::strncmp(name, kPrefix, kPrefixLength) != 0) {
        return -1;
    }
    const char* digits = name + kPrefixLength;
    if (*digits == '\0' || std::strspn(digits, "0123456789") != std::strlen(digits) ||
        std::strlen(digits) > 9) {
        return -1;
    }
    return static_cast<int>(std::strtol(digits, nullptr, 10));
}

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

// The sysfs path of the USB interface above node N, or "" where it cannot
// be had or does not fit: the class's link to the node's folder
// ("../../devices/.../1-1.2:1.1/0003:0C45:7401.0003/hidraw/hidraw1"), one
// readlink, less its last three parts.
void FindPort(const char* classDir, int number, char* port) {
    char link[kPathSize];
    std::snprintf(link, sizeof link, "%s/hidraw%d", classDir, number);
    const ssize_t length = readlink(link, port, kPortPathSize - 1);
    port[length > 0 ? length : 0] = '\0';
    for (int parts = 0; parts < 3; ++parts) {
        char* slash = std::strrchr(port, '/');
        *(slash != nullptr ? slash : port) = '\0';
    }
}

int ComparePlaces(const void* a, const void* b) {
    const auto* first = static_cast<const HidrawNode*>(a);
    const auto* second = static_cast<const HidrawNode*>(b);
    const int order = CompareNaturally(first->port, second->port);
    if (order != 0 || first->number == second->number) {
        return order;
    }
    return first->number < second->number ? -1 : 1;
}

// Whether two USB interfaces' paths (".../1-1.2/1-1.2:1.0") are of one device.
bool SameUsbDevice(const char* port, const char* other) {
    const char* slash = std::strrchr(port, '/');
    const std::size_t length = slash == nullptr ? 0 : static_cast<std::size_t>(slash - port);
    return length > 0 && std::strncmp(port, other, length + 1) == 0 &&
           std::strchr(other + length + 1, '/') == nullptr;
}

}  // namespace

NodeListing ListHidrawNodes(const char* classDir, HidrawNode* nodes, std::size_t capacity,
                            std::size_t* count) {
    *count = 0;
    DIR* dir = opendir(classDir);
    if (dir == nullptr) {
        return errno == ENOENT ? NodeListing::kMissing : NodeListing::kFailed;
    }
    bool failed = false;
    for (;;) {
        errno = 0;  // readdir tells its end from its failure by errno alone
        const dirent* entry = readdir(dir);
        if (entry == nullptr) {
            failed = errno != 0;
            break;
        }
        const int number = HidrawNumber(entry->d_name);
        if (number < 0) {
            continue;
        }
        if (*count == capacity) {
            failed = true;
            break;
        }
        HidrawNode& node = nodes[(*count)++];
        node.number = number;
        FindPort(classDir, number, node.port);
    }
    closedir(dir);
    std::qsort(nodes, *count, sizeof *nodes, ComparePlaces);
    return failed ? NodeListing::kFailed : NodeListing::kListed;
}

int CompareNaturally(const char* a, const char* b) {
    while (*a != '\0' && *b != '\0') {
        if (std::isdigit(static_cast<unsigned char>(*a)) == 0 ||
            std::isdigit(static_cast<unsigned char>(*b)) == 0) {
            if (*a != *b) {
                return static_cast<unsigned char>(*a) < static_cast<unsigned char>(*b) ? -1 : 1;
            }
            ++a;
            ++b;
            continue;
        }
        // Without leading zeros, the longer run of digits is the larger number.
        a += std::strspn(a, "0");
        b += std::strspn(b, "0");
        const std::size_t digitsA = std::strspn(a, "0123456789");
        const std::size_t digitsB = std::strspn(b, "0123456789");
        const int order =
            digitsA != digitsB ? (digitsA < digitsB ? -1 : 1) : std::strncmp(a, b, digitsA);
        if (order != 0) {
            return order;
        }
        a += digitsA;
        b += digitsB;
    }
    return *a == *b ? 0 : (*a == '\0' ? -1 : 1);
}

bool ReadHidIdentity(const char* hidDeviceDir, unsigned* vendor, unsigned* product) {
    char text[1024];
    if (!ReadAttribute(hidDeviceDir, "uevent", text, sizeof text)) {
        return false;
    }
    // HID_ID=bus:vendor:product, each in hexadecimal.
    const char* field = std::strstr(text, "HID_ID=");
    if (field == nullptr) {
        return false;
    }
    field += std::strlen("HID_ID=");
    unsigned long identity[3] = {};
    for (int i = 0; i < 3; ++i) {
        char* end = nullptr;
        identity[i] = std::strtoul(field, &end, 16);
        if (end == field || *end != (i < 2 ? ':' : '\n') || identity[i] > 0xFFFF) {
            return false;
        }
        field = end + 1;
    }
    *vendor = static_cast<unsigned>(identity[1]);
    *product = static_cast<unsigned>(identity[2]);
    return true;
}

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

int ReadInterfaceNumber(const char* hidDeviceDir) {
    return static_cast<int>(ReadHexAttribute(hidDeviceDir, "../bInterfaceNumber"));
}

unsigned ReadDeviceVersion(const char* hidDeviceDir) {
    const long version = ReadHexAttribute(hidDeviceDir, "../../bcdDevice");
    return version < 0 ? 0 : static_cast<unsigned>(version);
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
