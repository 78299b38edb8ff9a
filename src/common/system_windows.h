#pragma once

#include <windows.h>

#include <cstdint>

// Loads a library of the system's from the system folder, never from the
// program's own, and has the libraries it needs looked up there too.
HMODULE LoadSystemLibrary(const char* name);

template <typename Function>
Function Resolve(HMODULE module, const char* name) {
    // The detour through void (*)() keeps GCC's function-cast warning quiet.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Milliseconds on the performance counter: every process reads the same
// one, no change of the wall clock moves it, and each boot starts it anew.
// -1 where there is none.
std::int64_t CounterMs();

// Whether a SID is this process's account's.
bool IsThisAccount(PSID sid);
// Whether a SID is the system's or the administrators' (whom Windows makes
// the owner of what an administrator makes).
bool IsSystemOrAdministrators(PSID sid);

// The application data of all users (Windows 2000 on), which every account
// shares, into folder (MAX_PATH). False when it cannot be had.
bool FindCommonAppData(char* folder);
