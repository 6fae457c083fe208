# The build for 64-bit Windows (cross-built with cmake/mingw-w64-x86_64.cmake, run under Wine).
# RtMidi is compiled in from its source, with the Windows MultiMedia back end; JACK and ALSA
# do not exist there. The virtual unit needs virtual ports, which that back end lacks: it is
# not built.

set(TARSYN_RTMIDI_SOURCE_DIR "" CACHE PATH
  "RtMidi's source folder (Debian's rtmidi source package), compiled into the programs")
if(NOT EXISTS "${TARSYN_RTMIDI_SOURCE_DIR}/RtMidi.cpp")
  message(FATAL_ERROR "TARSYN_RTMIDI_SOURCE_DIR must name RtMidi's source folder "
                      "(scripts/windows-build fetches and unpacks it)")
endif()
# Our sources include <rtmidi/RtMidi.h>, as on Debian.
file(COPY "${TARSYN_RTMIDI_SOURCE_DIR}/RtMidi.h"
  DESTINATION "${CMAKE_BINARY_DIR}/rtmidi-include/rtmidi")
add_library(tarsyn_rtmidi STATIC "${TARSYN_RTMIDI_SOURCE_DIR}/RtMidi.cpp")
target_include_directories(tarsyn_rtmidi PUBLIC "${CMAKE_BINARY_DIR}/rtmidi-include"
  PRIVATE "${TARSYN_RTMIDI_SOURCE_DIR}")
target_compile_definitions(tarsyn_rtmidi PRIVATE __WINDOWS_MM__)
target_compile_options(tarsyn_rtmidi PRIVATE -w)   # third-party code: its warnings are not ours
target_link_libraries(tarsyn_rtmidi PUBLIC winmm)
# The name the MIDI library links on Debian, where pkg-config provides it.
add_library(PkgConfig::RTMIDI ALIAS tarsyn_rtmidi)

# Programs run under Wine: the tests (CTest), and the firmware maker during the build.
set(TARSYN_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
set(TARSYN_MINGW_RUNTIME_DIRS
  /usr/lib/gcc/x86_64-w64-mingw32/12-posix /usr/x86_64-w64-mingw32/lib)
set(TARSYN_WINDOWS_QT_BIN "${QT6_INSTALL_PREFIX}/${QT6_INSTALL_BINS}")
set(_wine_path "")
foreach(dir IN LISTS TARSYN_WINDOWS_QT_BIN TARSYN_MINGW_RUNTIME_DIRS)
  list(APPEND _wine_path "Z:${dir}")
endforeach()
set(TARSYN_WINEPATH "${_wine_path}")   # a Windows search path: ';' between folders
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.in ${CMAKE_BINARY_DIR}/wine-run
  @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
  WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_BINARY_DIR}/wine-run")

# What the build ships (packaging/windows), named here for the tests (tests/windows).
set(TARSYN_WINDOWS_PACKAGE_NAME "tarsyn-update-${PROJECT_VERSION}-win64")
set(TARSYN_WINDOWS_PACKAGE_DIR "${CMAKE_BINARY_DIR}/package")
set(TARSYN_WINDOWS_BUNDLE "${TARSYN_WINDOWS_PACKAGE_DIR}/${TARSYN_WINDOWS_PACKAGE_NAME}")
set(TARSYN_WINDOWS_ZIP "${TARSYN_WINDOWS_PACKAGE_DIR}/${TARSYN_WINDOWS_PACKAGE_NAME}.zip")
set(TARSYN_WINDOWS_INSTALLER "${TARSYN_WINDOWS_PACKAGE_DIR}/${TARSYN_WINDOWS_PACKAGE_NAME}-setup.exe")
