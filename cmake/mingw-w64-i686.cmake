# Cross-builds the 32-bit Windows program with Debian's mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(FROSTGAUGE_WIN32_WINNT 0x0500)  # Windows 2000
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
