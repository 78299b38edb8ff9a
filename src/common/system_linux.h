#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>

// Milliseconds of the monotonic clock since start.
long MillisecondsSince(const timespec& start);

// Milliseconds since boot, suspend included; no step of the wall clock moves it.
std::int64_t BootClockMs();

// Whether an account may open the file of fd for writing, as its owner,
// mode and access list tell: root, the owner, anyone where all may, an
// account or group the list lets, and the file's group where groupCounts
// (gid being the one group of the account's that is known).
bool MayWrite(int fd, uid_t uid, gid_t gid, bool groupCounts);
