#pragma once

#include <windows.h>

// Loads a library of the system's from the system folder, never from the
// program's own, and has the libraries it needs looked up there too.
HMODULE LoadSystemLibrary(const char* name);

template <typename Function>
Function Resolve(HMODULE module, const char* name) {
    // The detour through void (*)() keeps GCC's function-cast warning quiet.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}
