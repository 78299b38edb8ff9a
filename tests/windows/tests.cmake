# The test programs run under Wine (the toolchain's emulator), in a Wine
# prefix of this build folder's own so that a fresh machine starts clean.
# make check runs the 64-bit build's here and the 32-bit build's in the
# test machine (tests/e2e/guest-wine.sh), which runs 32-bit code always.
set(FROSTGAUGE_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix CACHE PATH "The Wine prefix the tests run in")
set(FROSTGAUGE_WINE_ENVIRONMENT
  WINEPREFIX=${FROSTGAUGE_WINE_PREFIX}
  WINEDEBUG=-all)

# The whole test program is one test: listing and running its cases one by
# one would start Wine for each.
add_test(NAME frostgauge_tests COMMAND frostgauge_tests)

add_library(planted_hid SHARED windows/planted_hid.cpp)
set_target_properties(planted_hid PROPERTIES OUTPUT_NAME hid PREFIX "")

add_test(NAME program_runs
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/windows/program_runs.sh
          ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:frostgauge>
          ${CMAKE_CURRENT_SOURCE_DIR}/cli/help.golden $<TARGET_FILE:planted_hid>)

# A transfer that waits forever must fail the test, not stall the suite.
set_tests_properties(frostgauge_tests program_runs PROPERTIES
  ENVIRONMENT "${FROSTGAUGE_WINE_ENVIRONMENT}" TIMEOUT 120)
