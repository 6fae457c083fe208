# Installation and the Debian packages (`cmake --build BUILD --target package`):
#   tarsyn-update        the window, tarsyn-flash, their manual pages, the desktop entry, the
#                        icon and the bash completion (the catalogues are inside the window)
#   tarsyn-virtual-unit  the virtual unit and its manual page: a demo and test device that a
#                        user with the hardware does not need, so a package of its own
# The version is the project's (project(VERSION) in the top-level CMakeLists.txt).
include(GNUInstallDirs)

# Manual pages: scdoc sources in docs/man, made into gzipped roff at build time.
find_program(TARSYN_SCDOC scdoc)
find_program(TARSYN_GZIP gzip)

# tarsyn_install_man_page(<page, e.g. tarsyn-flash.1> COMPONENT <component>)
function(tarsyn_install_man_page page)
  cmake_parse_arguments(M "" "COMPONENT" "" ${ARGN})
  if(NOT TARSYN_SCDOC OR NOT TARSYN_GZIP)
    message(WARNING "scdoc not found (Debian: scdoc): the manual page ${page} is not built")
    return()
  endif()
  set(source "${CMAKE_SOURCE_DIR}/docs/man/${page}.scd")
  set(output "${CMAKE_BINARY_DIR}/man/${page}.gz")
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section "${page}")
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND sh -c "\"$1\" < \"$2\" > \"$4.roff\" && \"$3\" -9n < \"$4.roff\" > \"$4\"" sh
            ${TARSYN_SCDOC} ${source} ${TARSYN_GZIP} ${output}
    DEPENDS ${source}
    COMMENT "Making the manual page ${page}"
    VERBATIM)
  string(MAKE_C_IDENTIFIER "man_${page}" target)
  add_custom_target(${target} ALL DEPENDS ${output})
  install(FILES ${output} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${M_COMPONENT})
endfunction()

function(tarsyn_install_rules)
  if(TARGET tarsyn-update)
    install(TARGETS tarsyn-update RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT updater)
    install(FILES ${CMAKE_SOURCE_DIR}/src/app/tarsyn-update.desktop
      DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT updater)
    install(FILES ${CMAKE_SOURCE_DIR}/src/app/tarsyn-update.svg
      DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT updater)
    tarsyn_install_man_page(tarsyn-update.1 COMPONENT updater)
  endif()
  install(TARGETS tarsyn-flash RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT updater)
  tarsyn_install_man_page(tarsyn-flash.1 COMPONENT updater)
  install(FILES ${CMAKE_SOURCE_DIR}/tools/flash/tarsyn-flash.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME tarsyn-flash
    COMPONENT updater)
  install(TARGETS tarsyn-virtual-unit RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT virtualunit)
  tarsyn_install_man_page(tarsyn-virtual-unit.1 COMPONENT virtualunit)
  # Every Debian package carries its copyright file.
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/debian/copyright
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tarsyn-update COMPONENT updater)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/debian/copyright
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tarsyn-virtual-unit COMPONENT virtualunit)
endfunction()
tarsyn_install_rules()

set(CPACK_PACKAGE_NAME tarsyn-update)
set(CPACK_PACKAGE_VENDOR "Quellmark")
set(CPACK_PACKAGE_CONTACT "Quellmark <support@quellmark.example>")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware updater for the Tarsyn+ MIDI unit")
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL updater virtualunit)

if(UNIX AND NOT APPLE)
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION sound)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://quellmark.example/tarsyn")
  set(CPACK_DEBIAN_UPDATER_PACKAGE_NAME tarsyn-update)
  set(CPACK_DEBIAN_VIRTUALUNIT_PACKAGE_NAME tarsyn-virtual-unit)
  set(CPACK_COMPONENT_UPDATER_DESCRIPTION
    "Firmware updater for the Tarsyn+ MIDI unit
 tarsyn-update (a window) and tarsyn-flash (the command line) update the firmware of a
 Tarsyn+ unit over MIDI System Exclusive messages; tarsyn-flash also backs up and restores
 the unit's presets. MIDI through ALSA or JACK.")
  set(CPACK_COMPONENT_VIRTUALUNIT_DESCRIPTION
    "Virtual Tarsyn+ unit on MIDI ports, for demos and tests
 tarsyn-virtual-unit plays the unit's side of the Tarsyn+ update and preset protocol on
 virtual MIDI ports, with reproducible faults. A demo device for trying tarsyn-update and
 tarsyn-flash without the hardware.")
  # The fonts the window draws with; the MIDI server is the user's choice.
  set(CPACK_DEBIAN_UPDATER_PACKAGE_RECOMMENDS "fonts-dejavu-core")
  set(CPACK_DEBIAN_UPDATER_PACKAGE_SUGGESTS "tarsyn-virtual-unit, jackd2")
  set(CPACK_DEBIAN_VIRTUALUNIT_PACKAGE_SUGGESTS "tarsyn-update, jackd2")
endif()
include(CPack)
