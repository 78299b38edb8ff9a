# Cross-builds the Linux program for 32-bit ARM with hardware floating point
# (Debian's armhf: ARMv7 and newer, as 32-bit Raspberry Pi OS on a Pi 2 or
# later) with Debian's armhf cross compiler.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(FROSTGAUGE_TRIPLET arm-linux-gnueabihf)
set(FROSTGAUGE_QEMU qemu-arm)
set(FROSTGAUGE_DEBIAN_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
