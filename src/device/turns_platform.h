#pragma once

#include <cstddef>
#include <cstdint>

#include "device/turns.h"

// What each platform supplies to turn-taking besides the lock: the mark of
// an unfinished read-out, its place, stamp, age and removal.

// Set, the marks' only folder; null for the system's own places.
extern const char* readOutMarkDir;

constexpr std::size_t kMarkPathSize = 512;

// Where this run keeps the mark of the device at devicePath: the first
// place where it can make one, never through a link, never over a name
// that another account or a folder holds. False, path empty, when there is
// none.
bool FindMarkPlace(const char* devicePath, char* path, std::size_t size);

// What lies where the device's marks may lie, path being this run's own
// place: the youngest mark that tells its time, and its age; else kUndated
// for a file whose time tells nothing; else kNone.
MarkFound LookAtMarks(const char* path, std::int64_t* ageMs);

// An open mark of this run's; kNoMark where it has none.
using MarkHandle = std::intptr_t;
constexpr MarkHandle kNoMark = -1;

// Stamps the mark with the time now: the first call makes it, or takes over
// this account's mark left there. kNoMark when it cannot: this run goes
// without.
MarkHandle StampMark(const char* path, MarkHandle mark);
// Removes the mark, or leaves it for the next run; either closes it.
void ClearMark(const char* path, MarkHandle mark);
void LeaveMark(MarkHandle mark);
