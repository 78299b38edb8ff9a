# Debian packages GoogleTest for the host only; the cross build compiles it
# from the sources libgtest-dev ships.
set(FROSTGAUGE_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
if(WIN32)
  # Its Windows code has its own threads; winpthreads would only compete.
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
endif()
add_subdirectory(${FROSTGAUGE_GOOGLETEST_SOURCE} ${CMAKE_CURRENT_BINARY_DIR}/googletest
                 EXCLUDE_FROM_ALL)
# Compiled for a test run or two: not worth optimizing.
target_compile_options(gtest PRIVATE -O0)
target_compile_options(gtest_main PRIVATE -O0)
