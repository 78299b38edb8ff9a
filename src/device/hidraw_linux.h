#pragma once

#include <cstddef>

enum class NodeListing { kListed, kMissing, kFailed };

// More hidraw nodes than the kernel ever numbers (it allows 64).
constexpr std::size_t kMaxHidrawNodes = 256;
// Room for a USB interface's sysfs path, hubs and PCI bridges included.
constexpr std::size_t kPortPathSize = 256;

struct HidrawNode {
    int number;                // N of hidrawN
    char port[kPortPathSize];  // the sysfs path of the USB interface above it, or ""
};

// The hidrawN entries of a folder, at most capacity of them, in the order
// of where their devices are plugged in: the controller's path, then the
// port's, then the interface (numbers compared as numbers), then N. So
// neither the order of plugging nor that of probing at boot changes it.
// kMissing when the folder does not exist, kFailed when it cannot be read
// or holds more entries than fit.
NodeListing ListHidrawNodes(const char* classDir, HidrawNode* nodes, std::size_t capacity,
                            std::size_t* count);

// strcmp, but with runs of digits compared as numbers: port 10 after port 9.
int CompareNaturally(const char* a, const char* b);

// The USB vendor and product of a node's HID device, from its uevent,
// without opening the node. False when it tells none.
bool ReadHidIdentity(const char* hidDeviceDir, unsigned* vendor, unsigned* product);

// bInterfaceNumber of the USB interface above a node's HID device folder,
// or -1 when there is none (not USB, or not readable).
int ReadInterfaceNumber(const char* hidDeviceDir);

// bcdDevice of the USB device above a node's HID device folder, or 0.
unsigned ReadDeviceVersion(const char* hidDeviceDir);

// Whether a node's HID device folder names a thermometer's data interface
// (by its uevent and its USB interface), without opening the node.
bool NamesThermometerData(const char* hidDeviceDir);
