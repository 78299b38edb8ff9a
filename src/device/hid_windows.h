#pragma once

#include <windows.h>
// setupapi.h needs the types of windows.h.
#include <setupapi.h>

#include <cstddef>

#include "device/device.h"
#include "device/unread.h"

// HID.DLL's HIDD_ATTRIBUTES, kept here so that no driver-kit header is needed.
struct HidAttributes {
    ULONG Size;
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
};
static_assert(sizeof(HidAttributes) == 12, "HidD_GetAttributes fills 12 bytes");

using GetHidGuidFunction = void(WINAPI*)(GUID*);
using GetAttributesFunction = BOOLEAN(WINAPI*)(HANDLE, HidAttributes*);
using FlushQueueFunction = BOOLEAN(WINAPI*)(HANDLE);

// HID.DLL is looked up at run time, so the program needs no import library
// for it and can say plainly when it is missing.
struct HidLibrary {
    HMODULE module;
    GetHidGuidFunction getHidGuid;
    GetAttributesFunction getAttributes;
    FlushQueueFunction flushQueue;
};

// SETUPAPI.DLL too, from the system folder: a copy beside the program would
// be loaded before the system's.
struct SetupLibrary {
    HMODULE module;
    decltype(&SetupDiGetClassDevsA) getClassDevs;
    decltype(&SetupDiEnumDeviceInterfaces) enumInterfaces;
    decltype(&SetupDiGetDeviceInterfaceDetailA) getInterfaceDetail;
    decltype(&SetupDiDestroyDeviceInfoList) destroyInfoList;
};

// False, holding nothing, when it or one of its entry points is missing.
bool LoadSetupLibrary(SetupLibrary* setup);

// What a run learns of the devices it does not read.
struct Survey {
    bool thermometerFound;
    UnreadSticks unread;
};

// Looks at one interface of a device information set and reads it if it is
// a thermometer's, noting in survey what it found. Returns the action's
// result, 0 when there was none, or ERROR_SENTINEL when the interface could
// not be looked at.
int VisitInterface(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data, const SetupLibrary& setup,
                   const HidLibrary& hid, ThermometerAction action, Survey* survey);

// The USB interface number a device path names ("...&mi_01#..."), or -1 when
// it names none, as the path of a device with a single interface does.
int InterfaceOfPath(const char* devicePath);

// The USB vendor and product a device path names ("...vid_1a86&pid_e025...").
// False when it names none.
bool UsbIdentityOfPath(const char* devicePath, unsigned* vendor, unsigned* product);

// Whether a device path names a thermometer's data interface.
bool PathNamesThermometerData(const char* devicePath);
