# Cross-builds the Linux program for 32-bit ARM with hardware floating point
# (Debian's armhf: ARMv7 and newer, as 32-bit Raspberry Pi OS on a Pi 2 or
# later) with Debian's armhf cross compiler.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(FROSTGAUGE_TRIPLET arm-linux-gnueabihf)
set(FROSTGAUGE_QEMU qemu-arm)
set(FROSTGAUGE_DEBIAN_ARCH armhf)
# A 32-bit time_t ends in January 2038, well within a thermometer's service;
# glibc 2.34 and later offer the 64-bit one on 32-bit systems too.
set(CMAKE_C_FLAGS_INIT "-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
