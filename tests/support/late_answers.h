#pragma once

#include "support/stand_in.h"

// An answer to a command of a run that was killed or has just finished, as
// a run that waited for it may still meet it (5F 56 reads as 95.5 degrees).
const Bytes kLateAnswer = {0x80, 0x02, 0x5F, 0x56, 0, 0, 0, 0};

// Played with quietLineMs 300, quietLineBoundMs 400 and transferTimeoutMs
// 1000: far apart, so that a starved sender does not pass for a quiet line.
struct LateAnswers {
    const char* name;
    int firstAfterMs;  // then one every 10 ms
    int count;
    bool quiet;        // whether the line falls quiet
    bool diedReading;  // the run before died reading, its last command just sent
};

constexpr LateAnswers kLateAnswers[] = {
    {"nothing comes", 0, 0, true, false},
    {"an answer already waiting", 0, 1, true, false},
    {"the two answers to a version command, late", 100, 2, true, false},
    {"a device that never stops sending", 0, 100, false, false},
    {"the answers owed to a run that died, later than a waiting run's quiet", 450, 2, true, true},
};
