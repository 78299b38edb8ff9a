#pragma once

#include <ctime>

// Milliseconds of the monotonic clock since start.
long MillisecondsSince(const timespec& start);
