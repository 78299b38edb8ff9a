#pragma once

#include <cstdint>
#include <vector>

#include "device/device.h"

using Bytes = std::vector<std::uint8_t>;

struct StandInPlayer;

// A thermometer played by the test from the other end of a real descriptor or
// handle: the program writes and reads on `program` as on a device.
struct StandIn {
    DeviceHandle program;
    std::intptr_t device;
    StandInPlayer* player;  // where answers wait for their command, if apart
};

// Returns false when the platform would not give the pair.
bool OpenStandIn(StandIn* standIn);
// Queues one answer report (the device's bytes, without a report ID). Where
// the program drops what waits before a command (Linux), the answers are held
// back and sent as the device does: two after a version command, one after
// any other.
void QueueAnswer(const StandIn& standIn, const Bytes& report);
// Sends a report at once, ahead of any command: a late answer to another's
// (Linux, where the program drops such reports itself).
void SendStaleReport(const StandIn& standIn, const Bytes& report);
// The commands the program has written so far, each as it was written.
std::vector<Bytes> ReceivedCommands(const StandIn& standIn);
// The device goes away: its end closes.
void HangUp(StandIn* standIn);
void CloseStandIn(StandIn* standIn);
