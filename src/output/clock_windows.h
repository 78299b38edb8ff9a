#pragma once

#include <windows.h>

#include <ctime>

#include "output/output.h"

// The bias in minutes (UTC = local time + bias) in force now, from what
// GetTimeZoneInformation returned and filled in. False when it failed.
bool BiasInForce(DWORD zoneId, const TIME_ZONE_INFORMATION& zone, int* biasMinutes);

// LocalTimeAt with the zone given: what GetTimeZoneInformation returned and
// filled in.
void LocalTimeInZone(Instant instant, DWORD zoneId, const TIME_ZONE_INFORMATION& zone,
                     std::tm* local, int* biasMinutes);
