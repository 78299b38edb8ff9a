// A device answering arbitrary bytes, or failing at any step, to the
// read-out of up to three thermometers, in every output form.
#include <cstddef>
#include <cstdint>

#include "cli/cli.h"
#include "common/run_options.h"
#include "fuzz/fuzz_platform.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SilenceOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    runOptions = {(data[0] & 1) != 0, (data[0] & 2) != 0, (data[0] & 4) != 0, (data[0] & 8) != 0};
    SetFuzzInput(data + 1, size - 1);
    FindThermometers(ReadThermometer);
    runOptions = RunOptions{};
    return 0;
}
