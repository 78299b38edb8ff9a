#include <gtest/gtest.h>

#include "device/hid_windows.h"

namespace {

TEST(WindowsDevicePath, NamesTheUsbInterface) {
    const struct {
        const char* path;
        int number;
    } cases[] = {
        {"\\\\?\\hid#vid_0c45&pid_7401&mi_00#7&1a2b&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
         0},
        {"\\\\?\\hid#vid_0c45&pid_7401&mi_01#7&1a2b&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
         1},
        {"\\\\?\\HID#VID_0C45&PID_7401&MI_01#7&1A2B&0&0000#{4D1E55B2-F16F-11CF-88CB-001111000030}",
         1},
        {"\\\\?\\hid#vid_046d&pid_c52b&mi_02&col01#8&2c3d&0&0000#{4d1e55b2}", 2},
        {"\\\\?\\hid#vid_0c45&pid_7401#6&1a2b&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}", -1},
        {"\\\\?\\hid#vid_0c45&pid_7401&mi_x1#6&1a2b#{4d1e55b2}", -1},
        {"", -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(InterfaceOfPath(c.path), c.number) << c.path;
    }
}

}  // namespace
