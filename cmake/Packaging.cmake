# Install rules and the packages built from them.
include(GNUInstallDirs)

install(TARGETS frostgauge RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(NOT WIN32)
  find_program(GZIP gzip REQUIRED)
  # Compressed reproducibly (-n), as Debian ships man pages and changelogs.
  foreach(doc IN ITEMS doc/frostgauge.1 packaging/changelog)
    get_filename_component(name ${doc} NAME)
    add_custom_command(OUTPUT ${name}.gz
      COMMAND ${GZIP} -9 -n -c ${CMAKE_CURRENT_SOURCE_DIR}/${doc} > ${name}.gz
      DEPENDS ${doc} VERBATIM)
  endforeach()
  add_custom_target(compressed_docs ALL DEPENDS frostgauge.1.gz changelog.gz)

  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/frostgauge.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES packaging/70-frostgauge.rules DESTINATION lib/udev/rules.d)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # Debian looks for the licence under this name.
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME frostgauge)
set(CPACK_PACKAGE_VENDOR "The Frostgauge project")
set(CPACK_PACKAGE_CONTACT "The Frostgauge project <maintainers@frostgauge.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "read TEMPer Gold USB thermometers from the command line")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/packaging/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Frostgauge finds every TEMPer Gold USB thermometer attached, asks each for
its identification text, calibration offset and temperature, and prints the
calibrated reading in degrees Celsius or Fahrenheit, optionally with a
W3C-DTF time stamp or as a small XML document, for cron jobs, monitoring
scripts and data loggers. A udev rule lets the user at the seat and the
members of group plugdev read the thermometers without root.")

include(CPack)
