#pragma once

#include <cstddef>

enum class NodeListing { kListed, kMissing, kFailed };

// More hidraw nodes than the kernel ever numbers (it allows 64).
constexpr std::size_t kMaxHidrawNodes = 256;

// The numbers N of the hidrawN entries in a folder, in ascending order, at
// most capacity of them. kMissing when the folder does not exist, kFailed
// when it cannot be read or holds more entries than fit.
NodeListing ListHidrawNodes(const char* classDir, int* numbers, std::size_t capacity,
                            std::size_t* count);

// bInterfaceNumber of the USB interface above a node's HID device folder,
// or -1 when there is none (not USB, or not readable).
int ReadInterfaceNumber(const char* hidDeviceDir);

// bcdDevice of the USB device above a node's HID device folder, or 0.
unsigned ReadDeviceVersion(const char* hidDeviceDir);

// Whether a node's HID device folder names a thermometer's data interface
// (by its uevent and its USB interface), without opening the node.
bool NamesThermometerData(const char* hidDeviceDir);
