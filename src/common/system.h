#pragma once

#include <string>

// The platform's message text for an error code, exactly as the platform
// gives it (on Windows with its own line break); empty when it has none.
std::string SystemErrorText(int code);

// Sleeps for at least the given time, even when a signal interrupts it.
void PauseMilliseconds(int milliseconds);
