#pragma once

#include <cstddef>
#include <cstdint>

#include "device/turns.h"

// What each platform supplies to turn-taking besides the lock: the places
// where the marks of a thermometer's read-out may lie, and the marks: empty
// files whose modification time is their stamp, on a clock that no step of
// the wall clock moves and each boot starts anew.

// Set, the marks' only folder; null for the system's own places.
extern const char* readOutMarkDir;

constexpr int kMostMarkPlaces = 4;
constexpr std::size_t kMarkPathSize = 512;
using MarkPaths = char[kMostMarkPlaces][kMarkPathSize];

// Where marks of the device at devicePath may lie, in the order this run
// tries them for its own. Returns how many.
int ListMarkPlaces(const char* devicePath, MarkPaths paths);

enum class Lying {
    kNothing,
    kOwn,      // a mark of this account's
    kTrusted,  // a mark of an account that could have opened the thermometer
    kOther,    // anything else: another's file, a link, a folder, a second name
};

// A stamp's milliseconds on the clock; exact where its file system kept its
// last digit.
struct Stamp {
    std::int64_t ms;
    bool exact;
};

// What lies at path (the thermometer open as device), and a mark's stamp.
Lying WhatLiesAt(const char* path, DeviceHandle device, Stamp* stamp);
std::int64_t StampClockMs();
// What a run finds there (turn-taking's own rule).
MarkFound LookAtMark(const char* path, DeviceHandle device, std::int64_t* ageMs);

// Whether this run may keep its mark at path: a folder where no other
// account can tamper with it, the name free or its own. False, with *error,
// when not.
bool CanKeepMark(const char* path, DeviceHandle device, int* error);

using MarkHandle = std::intptr_t;
constexpr MarkHandle kNoMark = -1;

// Makes a new mark at path, stamped now; kNoMark, with *error, when it cannot.
MarkHandle MakeMark(const char* path, DeviceHandle device, int* error);
// Stamps it again with the time now. False, with *error, when it cannot.
bool StampMark(MarkHandle mark, int* error);
// Closes it, removed where remove is set: false, with *error, if that failed.
bool CloseMark(const char* path, MarkHandle mark, bool remove, int* error);
void RemoveMark(const char* path);
