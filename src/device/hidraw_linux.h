#pragma once

#include <string>
#include <vector>

// How long a read waits for a report; a thermometer answers within about
// 80 ms, so five seconds of silence means it never will.
extern int readTimeoutMs;

enum class NodeListing { kListed, kMissing, kFailed };

// The numbers N of the hidrawN entries in a folder, in ascending order.
// kMissing when the folder does not exist, kFailed when it cannot be read.
NodeListing ListHidrawNodes(const char* classDir, std::vector<int>* numbers);

// bInterfaceNumber of the USB interface above a node's HID device folder,
// or -1 when there is none (not USB, or not readable).
int ReadInterfaceNumber(const std::string& hidDeviceDir);

// bcdDevice of the USB device above a node's HID device folder, or 0.
unsigned ReadDeviceVersion(const std::string& hidDeviceDir);
