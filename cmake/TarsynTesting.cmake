# Test helpers: one QtTest executable per area, with labels and the services it needs.

# A private JACK server and X display per build tree, so that two build trees can run
# their suites at the same time without meeting.
string(MD5 _tarsyn_tree_hash "${CMAKE_BINARY_DIR}")
string(SUBSTRING "${_tarsyn_tree_hash}" 0 8 _tarsyn_tree_tag)
set(TARSYN_TEST_JACK_NAME "tarsyn-test-${_tarsyn_tree_tag}" CACHE STRING "Name of the JACK server the tests start")
set(TARSYN_TEST_STATE_DIR "${CMAKE_BINARY_DIR}/test-services")
# tests/support/jack_reclaim.cpp, for scripts/jack-server.
set(TARSYN_TEST_JACK_RECLAIM "TARSYN_JACK_RECLAIM=${CMAKE_BINARY_DIR}/tests/tarsyn-jack-reclaim")
# The Xvfb display of the Linux tests is one that is free when the fixture starts it (Xvfb
# chooses); the tests read it from this file. The Windows tests' Wine session keeps a number
# of its own tree.
set(TARSYN_TEST_DISPLAY_FILE "${TARSYN_TEST_STATE_DIR}/xvfb-display")
string(SUBSTRING "${_tarsyn_tree_hash}" 0 3 _tarsyn_display_hex)
math(EXPR _tarsyn_display "0x${_tarsyn_display_hex} % 800 + 100")
set(TARSYN_TEST_DISPLAY ":${_tarsyn_display}" CACHE STRING "X display of the Windows tests' Xvfb server")

# LeakSanitizer: Qt's and the MIDI libraries' process-lifetime allocations are not ours.
set(TARSYN_SANITIZER_ENV
  "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1"
  "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/lsan.supp:print_suppressions=0"
  "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")

# tarsyn_add_qtest(<name> SOURCES ... LIBS ... LABEL <label> [NEEDS jack xvfb] [TIMEOUT s] [ENV ...]
#                  [WINE_ONLY function ...])
# WINE_ONLY: under Wine, only these test functions (the rest test the same logic natively).
function(tarsyn_add_qtest name)
  cmake_parse_arguments(T "" "LABEL;TIMEOUT" "SOURCES;LIBS;NEEDS;ENV;WINE_ONLY" ${ARGN})
  qt_add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE Qt6::Test ${T_LIBS})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/common)
  # A console program on Windows too, so that its report reaches CTest's output.
  set_target_properties(${name} PROPERTIES WIN32_EXECUTABLE FALSE)
  target_compile_definitions(${name} PRIVATE
    TARSYN_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    TARSYN_BINARY_DIR="${CMAKE_BINARY_DIR}")
  # By target name, so that a cross build runs it through CMAKE_CROSSCOMPILING_EMULATOR.
  # Under Wine Qt Test's plain-text report never reaches stdout; its TAP report does.
  set(args "")
  if(WIN32)
    set(args -o -,tap ${T_WINE_ONLY})
  endif()
  tarsyn_add_test_command(${name} COMMAND ${name} ${args}
    LABEL ${T_LABEL} NEEDS ${T_NEEDS} TIMEOUT ${T_TIMEOUT} ENV ${T_ENV})
endfunction()

# tarsyn_add_test_command(<name> COMMAND ... LABEL <label> [NEEDS jack xvfb] [TIMEOUT s] [ENV ...])
function(tarsyn_add_test_command name)
  cmake_parse_arguments(T "" "LABEL;TIMEOUT" "COMMAND;NEEDS;ENV" ${ARGN})
  add_test(NAME ${name} COMMAND ${T_COMMAND})
  set(env "QT_QPA_PLATFORM=offscreen" ${TARSYN_SANITIZER_ENV}
          "JACK_NO_START_SERVER=1" "TARSYN_MIDI_API=jack"
          "JACK_DEFAULT_SERVER=${TARSYN_TEST_JACK_NAME}" ${TARSYN_TEST_JACK_RECLAIM}
          "TARSYN_BINARY_DIR=${CMAKE_BINARY_DIR}" "TARSYN_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
          # CTest's TIMEOUT bounds each test; Qt Test's own 300 s per function is too short
          # for a whole update on a loaded machine.
          "QTEST_FUNCTION_TIMEOUT=900000"
          ${T_ENV})
  set(fixtures "")
  foreach(need IN LISTS T_NEEDS)
    list(APPEND fixtures ${need})
    if(need STREQUAL "xvfb")
      list(APPEND env "TARSYN_TEST_DISPLAY_FILE=${TARSYN_TEST_DISPLAY_FILE}")
    endif()
  endforeach()
  if(WIN32)
    # Run under Wine (CMAKE_CROSSCOMPILING_EMULATOR), on the `wine` fixture's display.
    list(APPEND T_LABEL windows)
    list(APPEND fixtures wine)
    list(APPEND env "DISPLAY=${TARSYN_TEST_DISPLAY}")
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set_tests_properties(${name} PROPERTIES
    LABELS "${T_LABEL}"
    ENVIRONMENT "${env}"
    TIMEOUT ${T_TIMEOUT})
  if(fixtures)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED "${fixtures}")
  endif()
  # One test at a time on the JACK server: on two cores, several tests' clients at once make
  # the server miss its cycles; tests that need no MIDI still run beside them.
  if("jack" IN_LIST T_NEEDS)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK jack_server)
  endif()
endfunction()

# The services, as CTest fixtures: `ctest -L e2e` starts and stops them itself.
function(tarsyn_add_service_fixtures)
  add_test(NAME service_jack_start
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/jack-server start ${TARSYN_TEST_JACK_NAME} ${TARSYN_TEST_STATE_DIR})
  add_test(NAME service_jack_stop
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/jack-server stop ${TARSYN_TEST_JACK_NAME} ${TARSYN_TEST_STATE_DIR})
  set_tests_properties(service_jack_start PROPERTIES FIXTURES_SETUP jack LABELS "service"
    ENVIRONMENT "${TARSYN_TEST_JACK_RECLAIM}")
  set_tests_properties(service_jack_stop PROPERTIES FIXTURES_CLEANUP jack LABELS "service"
    ENVIRONMENT "${TARSYN_TEST_JACK_RECLAIM}")
  add_test(NAME service_xvfb_start
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/xvfb-server start auto ${TARSYN_TEST_STATE_DIR})
  add_test(NAME service_xvfb_stop
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/xvfb-server stop auto ${TARSYN_TEST_STATE_DIR})
  set_tests_properties(service_xvfb_start PROPERTIES FIXTURES_SETUP xvfb LABELS "service")
  set_tests_properties(service_xvfb_stop PROPERTIES FIXTURES_CLEANUP xvfb LABELS "service")
endfunction()

# The ALSA tests: test programs that run again over ALSA's real sequencer, in a qemu guest
# (scripts/alsa-guest) that boots once for all of them. The fixture test service_alsa_guest
# boots it and runs them one after another; each then appears in CTest as <label>_<name>
# (alsa_<name> by default), with the result and output it had in the guest (or, when the
# guest failed, the reason). Label `usb`: the tests over the guest's USB MIDI link, which get
# TARSYN_USB_MIDI_UNIT, the script that builds and plugs it (scripts/usb-midi-unit). ENV sets
# variables for the test alone. NEEDS xvfb: an Xvfb display in the guest, which the batch
# starts once before its tests (TARSYN_TEST_DISPLAY_FILE, as the fixture's).
#
# tarsyn_add_alsa_test(<name> TARGET <test program> [ARGS ...] [TIMEOUT s] [LABEL l] [NEEDS xvfb]
#                      [ENV NAME=VALUE ...])
set(TARSYN_ALSA_XVFB_STATE "/tmp/tarsyn-xvfb")   # in the guest's own /tmp
function(tarsyn_add_alsa_test name)
  cmake_parse_arguments(T "" "TARGET;TIMEOUT;LABEL" "ARGS;ENV;NEEDS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  if(NOT T_LABEL)
    set(T_LABEL alsa)
  endif()
  set(line "run_test ${name} ${T_TIMEOUT}")
  if(T_LABEL STREQUAL "usb")
    list(APPEND T_ENV "TARSYN_USB_MIDI_UNIT=${CMAKE_SOURCE_DIR}/scripts/usb-midi-unit")
  endif()
  if("xvfb" IN_LIST T_NEEDS)
    list(APPEND T_ENV "TARSYN_TEST_DISPLAY_FILE=${TARSYN_ALSA_XVFB_STATE}/xvfb-display")
    set_property(GLOBAL PROPERTY TARSYN_ALSA_XVFB ON)
  endif()
  if(T_ENV)
    string(APPEND line " env")
    foreach(setting IN LISTS T_ENV)
      string(APPEND line " '${setting}'")
    endforeach()
  endif()
  string(APPEND line " '$<TARGET_FILE:${T_TARGET}>'")
  foreach(arg IN LISTS T_ARGS)
    string(APPEND line " '${arg}'")
  endforeach()
  set_property(GLOBAL APPEND PROPERTY TARSYN_ALSA_TESTS "${name}")
  set_property(GLOBAL APPEND PROPERTY TARSYN_ALSA_LABELS "${T_LABEL}")
  set_property(GLOBAL APPEND PROPERTY TARSYN_ALSA_BATCH "${line}")
  set_property(GLOBAL APPEND PROPERTY TARSYN_ALSA_TIMEOUT "${T_TIMEOUT}")
endfunction()

# Called once, after every tarsyn_add_alsa_test().
function(tarsyn_add_alsa_batch)
  get_property(names GLOBAL PROPERTY TARSYN_ALSA_TESTS)
  get_property(lines GLOBAL PROPERTY TARSYN_ALSA_BATCH)
  get_property(timeouts GLOBAL PROPERTY TARSYN_ALSA_TIMEOUT)
  get_property(labels GLOBAL PROPERTY TARSYN_ALSA_LABELS)
  get_property(xvfb GLOBAL PROPERTY TARSYN_ALSA_XVFB)
  if(NOT names)
    return()
  endif()
  set(prologue "")
  set(epilogue "")
  if(xvfb)
    # A test that finds no display says so itself.
    set(xvfb_server "'${CMAKE_SOURCE_DIR}/scripts/xvfb-server'")
    set(prologue "${xvfb_server} start auto ${TARSYN_ALSA_XVFB_STATE} || echo \"the batch's Xvfb did not start\"")
    set(epilogue "${xvfb_server} stop auto ${TARSYN_ALSA_XVFB_STATE}")
  endif()
  set(job "${TARSYN_TEST_STATE_DIR}/alsa-guest")
  set(batch "${CMAKE_BINARY_DIR}/alsa-batch.sh")
  list(JOIN lines "\n" body)
  file(GENERATE OUTPUT "${batch}" CONTENT "#!/bin/sh
# Generated by CMake: the ALSA tests, one after another, in the ALSA guest.
# Each writes JOB/NAME.out, JOB/NAME.status and JOB/NAME.seconds.
job=$1
run_test() {
  name=$1 limit=$2; shift 2
  rm -f \"$job/$name\".*
  start=$(date +%s)
  timeout -k 10 \"$limit\" \"$@\" >\"$job/$name.out\" 2>&1
  status=$?
  [ $status -eq 124 ] && echo \"$name: stopped after $limit s\" >>\"$job/$name.out\"
  echo $(( $(date +%s) - start )) >\"$job/$name.seconds\"
  echo \"$name: status $status after $(cat \"$job/$name.seconds\") s\"
  echo $status >\"$job/$name.status\"
}
${prologue}
${body}
${epilogue}
")
  # The guest's bound: every test's own, and the boot.
  set(total 120)
  foreach(t IN LISTS timeouts)
    math(EXPR total "${total} + ${t}")
  endforeach()
  math(EXPR ctest_timeout "${total} + 60")
  add_test(NAME service_alsa_guest
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/alsa-guest run --timeout ${total} ${job}
      "QT_QPA_PLATFORM=offscreen" ${TARSYN_SANITIZER_ENV}
      "TARSYN_MIDI_API=alsa" "QTEST_FUNCTION_TIMEOUT=900000"
      "TARSYN_BINARY_DIR=${CMAKE_BINARY_DIR}" "TARSYN_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
      # snd-virmidi's first raw MIDI device and, at its other end, its sequencer port.
      "TARSYN_TEST_RAW_MIDI=/dev/snd/midiC0D0" "TARSYN_TEST_RAW_MIDI_PORT=VirMIDI 0-0"
      sh ${batch} ${job})
  # The guest's own failure is reported by every ALSA test; this one fails only when the
  # harness could not record anything.
  # COST: the longest test, started first.
  set_tests_properties(service_alsa_guest PROPERTIES
    FIXTURES_SETUP alsa_guest LABELS "service;alsa" TIMEOUT ${ctest_timeout}
    SKIP_RETURN_CODE 125 COST 1000)
  foreach(name label IN ZIP_LISTS names labels)
    add_test(NAME ${label}_${name} COMMAND ${CMAKE_SOURCE_DIR}/scripts/alsa-guest result ${job} ${name})
    set_tests_properties(${label}_${name} PROPERTIES
      FIXTURES_REQUIRED alsa_guest LABELS "${label}" TIMEOUT 30)
  endforeach()
endfunction()

# The Windows build's tests run under Wine in the build tree's own prefix (see
# cmake/TarsynWindows.cmake), all on one Xvfb display; the Wine server is stopped after them.
function(tarsyn_add_wine_fixture)
  foreach(action start stop)
    add_test(NAME service_wine_${action}
      COMMAND ${CMAKE_SOURCE_DIR}/tests/windows/wine-session ${action} ${TARSYN_WINEPREFIX}
        ${TARSYN_TEST_DISPLAY} ${TARSYN_TEST_STATE_DIR})
  endforeach()
  set_tests_properties(service_wine_start PROPERTIES FIXTURES_SETUP wine LABELS "service;windows")
  set_tests_properties(service_wine_stop PROPERTIES FIXTURES_CLEANUP wine LABELS "service;windows")
endfunction()
