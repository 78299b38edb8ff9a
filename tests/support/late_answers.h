#pragma once

#include "support/stand_in.h"

// An answer to a command of a run that was killed or has just finished, as
// a run that waited for it may still meet it (5F 56 reads as 95.5 degrees).
const Bytes kLateAnswer = {0x80, 0x02, 0x5F, 0x56, 0, 0, 0, 0};

struct LateAnswers {
    const char* name;
    int firstAfterMs;  // then one every 10 ms
    int count;
    bool quiet;  // whether the line falls quiet within 400 ms, at 150 ms of silence
};

constexpr LateAnswers kLateAnswers[] = {
    {"nothing comes", 0, 0, true},
    {"an answer already waiting", 0, 1, true},
    {"the two answers to a version command, late", 100, 2, true},
    {"a device that never stops sending", 0, 100, false},
};
