#include "device/hidraw_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

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

int ReadInterfaceNumber(const char* hidDeviceDir) {
    return static_cast<int>(ReadHexAttribute(hidDeviceDir, "../bInterfaceNumber"));
}

unsigned ReadDeviceVersion(const char* hidDeviceDir) {
    const long version = ReadHexAttribute(hidDeviceDir, "../../bcdDevice");
    return version < 0 ? 0 : static_cast<unsigned>(version);
}
