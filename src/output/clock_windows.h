#pragma once

#include <windows.h>

// The bias in minutes (UTC = local time + bias) in force now, from what
// GetTimeZoneInformation returned and filled in. False when it failed.
bool BiasInForce(DWORD zoneId, const TIME_ZONE_INFORMATION& zone, int* biasMinutes);
