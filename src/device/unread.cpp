#include "device/unread.h"

#include <cstdio>

#include "common/run_options.h"

namespace {

// TEMPerGold_V3.3 to V3.5; TEMPerGold_V3.1 and TEMPerX_V3.x; TEMPer2_V4.1.
constexpr unsigned kUnreadIds[] = {0x1A86E025, 0x413D2107, 0x3553A001};

void PrintUnread(unsigned id) {
    // As lsusb writes the IDs, so that a user finds the stick there.
    std::printf("WRN TEMPer %04x:%04x not read\n", id >> 16, id & 0xFFFF);
}

}  // namespace

void NoteUnreadStick(UnreadSticks* sticks, unsigned vendor, unsigned product) {
    const unsigned id = vendor << 16 | product;
    for (const unsigned unread : kUnreadIds) {
        if (id != unread) {
            continue;
        }
        if (runOptions.diagnosis) {
            PrintUnread(id);
        }
        if (sticks->count < kMostUnreadSticks) {
            sticks->ids[sticks->count++] = id;
        }
    }
}

int ReportUnreadSticks(const UnreadSticks& sticks, bool thermometerFound, int status) {
    if (thermometerFound || sticks.count == 0) {
        return status;
    }
    for (int i = 0; i < sticks.count && !runOptions.diagnosis; ++i) {
        PrintUnread(sticks.ids[i]);
    }
    return ERROR_SENTINEL;
}
