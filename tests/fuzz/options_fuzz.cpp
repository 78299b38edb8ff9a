// Arbitrary argument vectors, split at zero bytes, through the whole run.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "common/run_options.h"
#include "fuzz/fuzz_platform.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SilenceOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> words(1, "frostgauge");
    if (size > 0) {
        words.emplace_back();
    }
    for (std::size_t i = 0; i < size && words.size() < 64; ++i) {
        if (data[i] == 0) {
            words.emplace_back();
        } else {
            words.back() += static_cast<char>(data[i]);
        }
    }
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(&word[0]);
    }
    argv.push_back(nullptr);
    runOptions = RunOptions{};
    SetFuzzInput(nullptr, 0);  // no thermometer attached
    RunFrostgauge(static_cast<int>(words.size()), argv.data());
    runOptions = RunOptions{};
    return 0;
}
