#pragma once

#include <cstddef>

// Room for any message text the platform gives, line break included.
constexpr std::size_t kErrorTextSize = 512;

// Writes the platform's message text for an error code into text, exactly as
// the platform gives it (on Windows with its own line break), cut to fit;
// empty when it has none. Returns text.
const char* SystemErrorText(int code, char* text, std::size_t size);

// Prints "<what> <code> <text>\n", the form of every platform failure line.
void PrintSystemError(const char* what, int code);
// The same, under -d only: a failure that changes only what later runs wait.
void PrintDiagnosedError(const char* what, int code);

// Sleeps for at least the given time, even when a signal interrupts it.
void PauseMilliseconds(int milliseconds);

// A write to a closed pipe then fails as any other failed write does, with
// the exit status that says so, instead of ending the run by a signal.
void IgnoreBrokenPipes();
