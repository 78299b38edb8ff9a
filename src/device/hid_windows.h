#pragma once

// The USB interface number a device path names ("...&mi_01#..."), or -1 when
// it names none, as the path of a device with a single interface does.
int InterfaceOfPath(const char* devicePath);
