#pragma once

#include <cstddef>
#include <cstdint>

// The platform as the fuzzers play it: every transfer, and the number of
// thermometers found, is decided by the next bytes of the input.
void SetFuzzInput(const std::uint8_t* data, std::size_t size);

// Sends the program's output to /dev/null: it is formatted all the same.
void SilenceOutput();
