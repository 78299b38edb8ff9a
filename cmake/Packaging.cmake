# Install rules and the packages built from them.
include(GNUInstallDirs)

if(WIN32)
  # The Windows zip: x64/ and x86/ programs, README and licence in CR LF.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    install(TARGETS frostgauge RUNTIME DESTINATION x64)
  else()
    install(TARGETS frostgauge RUNTIME DESTINATION x86)
  endif()
  set(FROSTGAUGE_WIN32_EXE "" CACHE FILEPATH "A 32-bit frostgauge.exe to ship beside the 64-bit one")
  if(FROSTGAUGE_WIN32_EXE)
    install(PROGRAMS ${FROSTGAUGE_WIN32_EXE} DESTINATION x86)
  endif()
  foreach(doc IN ITEMS README.md LICENSE)
    file(READ ${CMAKE_CURRENT_SOURCE_DIR}/${doc} text)
    string(REPLACE "\n" "\r\n" text "${text}")
    get_filename_component(name ${doc} NAME_WE)
    file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${name}.txt "${text}")
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${name}.txt DESTINATION .)
  endforeach()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME frostgauge-${PROJECT_VERSION}-windows)
else()
  install(TARGETS frostgauge RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

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
  # Every udev reads rules from /usr/lib and /etc; /usr/local/lib only a
  # recent systemd's. The prefix is known only when installing: cpack
  # installs with /usr into a DESTDIR, whatever prefix the build was
  # configured with.
  install(CODE "set(udev_rule [[${CMAKE_CURRENT_SOURCE_DIR}/packaging/70-frostgauge.rules]])")
  install(CODE [[
    if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
      set(udev_rules_dir "${CMAKE_INSTALL_PREFIX}/lib/udev/rules.d")
    else()
      set(udev_rules_dir /etc/udev/rules.d)
    endif()
    file(INSTALL DESTINATION "${udev_rules_dir}" TYPE FILE FILES "${udev_rule}")
  ]])
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # Debian looks for the licence under this name.
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
  install(FILES README.md doc/CHANGES.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME frostgauge)
set(CPACK_PACKAGE_VENDOR "The Frostgauge project")
set(CPACK_PACKAGE_CONTACT "The Frostgauge project <maintainers@frostgauge.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "read TEMPer Gold USB thermometers from the command line")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
if(CMAKE_CROSSCOMPILING)
  # dpkg-shlibdeps knows only the host's libraries, so the cross packages
  # state what it computes for the native one; the release check proves the two
  # agree, and the cross tests that no program needs a newer glibc.
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${FROSTGAUGE_DEBIAN_ARCH})
  set(depends ${CMAKE_CURRENT_SOURCE_DIR}/packaging/depends)
  file(STRINGS ${depends} CPACK_DEBIAN_PACKAGE_DEPENDS)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${depends})
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/packaging/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Frostgauge finds every TEMPer Gold USB thermometer attached, asks each for
its identification text, calibration offset and temperature, and prints the
calibrated reading in degrees Celsius or Fahrenheit, optionally with a
W3C-DTF time stamp or as a small XML document, for cron jobs, monitoring
scripts and data loggers. A udev rule lets the user at the seat and the
members of group plugdev read the thermometers without root.")

include(CPack)
