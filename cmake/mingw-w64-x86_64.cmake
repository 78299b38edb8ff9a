# Cross-builds the 64-bit Windows program with Debian's mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(FROSTGAUGE_WIN32_WINNT 0x0502)  # XP x64 and Server 2003, the first 64-bit Windows
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
