#pragma once

// The flags of one run, set only while the command line is parsed.
struct RunOptions {
    bool diagnosis;   // -d
    bool fahrenheit;  // -f
    bool timeStamp;   // -t
    bool xmlFormat;   // -x
};

extern RunOptions runOptions;

// The one failure value of the protocol operations, of discovery and of the run.
// No valid result takes it: offsets lie in -8..7, temperatures in -40..125.
constexpr int ERROR_SENTINEL = -255;
constexpr double ERROR_SENTINEL_CELSIUS = -255.0;
