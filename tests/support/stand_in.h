#pragma once

#include <cstdint>
#include <vector>

#include "device/device.h"

using Bytes = std::vector<std::uint8_t>;

// A thermometer played by the test from the other end of a real descriptor or
// handle: the program writes and reads on `program` as on a device.
struct StandIn {
    DeviceHandle program;
    std::intptr_t device;
};

// Returns false when the platform would not give the pair.
bool OpenStandIn(StandIn* standIn);
// Queues one answer report (the device's bytes, without a report ID).
void QueueAnswer(const StandIn& standIn, const Bytes& report);
// The commands the program has written so far, each as it was written.
std::vector<Bytes> ReceivedCommands(const StandIn& standIn);
// The device goes away: its end closes.
void HangUp(StandIn* standIn);
void CloseStandIn(StandIn* standIn);
