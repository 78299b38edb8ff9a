# Cross-builds the Linux program for 64-bit ARM (Raspberry Pi and the like)
# with Debian's aarch64 cross compiler.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(FROSTGAUGE_TRIPLET aarch64-linux-gnu)
set(FROSTGAUGE_QEMU qemu-aarch64)
set(FROSTGAUGE_DEBIAN_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
