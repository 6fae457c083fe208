# Test helpers: one QtTest executable per area, with labels and the services it needs.

# A private JACK server and X display per build tree, so that two build trees can run
# their suites at the same time without meeting.
string(MD5 _tarsyn_tree_hash "${CMAKE_BINARY_DIR}")
string(SUBSTRING "${_tarsyn_tree_hash}" 0 8 _tarsyn_tree_tag)
set(TARSYN_TEST_JACK_NAME "tarsyn-test-${_tarsyn_tree_tag}" CACHE STRING "Name of the JACK server the tests start")
string(SUBSTRING "${_tarsyn_tree_hash}" 0 3 _tarsyn_display_hex)
math(EXPR _tarsyn_display "0x${_tarsyn_display_hex} % 800 + 100")
set(TARSYN_TEST_DISPLAY ":${_tarsyn_display}" CACHE STRING "X display of the Xvfb server the tests start")
set(TARSYN_TEST_STATE_DIR "${CMAKE_BINARY_DIR}/test-services")

# LeakSanitizer: Qt's and the MIDI libraries' process-lifetime allocations are not ours.
set(TARSYN_SANITIZER_ENV
  "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1"
  "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/lsan.supp:print_suppressions=0"
  "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")

# tarsyn_add_qtest(<name> SOURCES ... LIBS ... LABEL <label> [NEEDS jack xvfb] [TIMEOUT s] [ENV ...])
function(tarsyn_add_qtest name)
  cmake_parse_arguments(T "" "LABEL;TIMEOUT" "SOURCES;LIBS;NEEDS;ENV" ${ARGN})
  qt_add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE Qt6::Test ${T_LIBS})
  target_compile_definitions(${name} PRIVATE
    TARSYN_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    TARSYN_BINARY_DIR="${CMAKE_BINARY_DIR}")
  # By target name, so that a cross build runs it through CMAKE_CROSSCOMPILING_EMULATOR.
  tarsyn_add_test_command(${name} COMMAND ${name}
    LABEL ${T_LABEL} NEEDS ${T_NEEDS} TIMEOUT ${T_TIMEOUT} ENV ${T_ENV})
endfunction()

# tarsyn_add_test_command(<name> COMMAND ... LABEL <label> [NEEDS jack xvfb] [TIMEOUT s] [ENV ...])
function(tarsyn_add_test_command name)
  cmake_parse_arguments(T "" "LABEL;TIMEOUT" "COMMAND;NEEDS;ENV" ${ARGN})
  add_test(NAME ${name} COMMAND ${T_COMMAND})
  set(env "QT_QPA_PLATFORM=offscreen" ${TARSYN_SANITIZER_ENV}
          "JACK_NO_START_SERVER=1" "TARSYN_MIDI_API=jack"
          "JACK_DEFAULT_SERVER=${TARSYN_TEST_JACK_NAME}"
          "TARSYN_BINARY_DIR=${CMAKE_BINARY_DIR}" "TARSYN_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
          # CTest's TIMEOUT bounds each test; Qt Test's own 300 s per function is too short
          # for a whole update on a loaded machine.
          "QTEST_FUNCTION_TIMEOUT=900000"
          ${T_ENV})
  set(fixtures "")
  foreach(need IN LISTS T_NEEDS)
    list(APPEND fixtures ${need})
    if(need STREQUAL "xvfb")
      list(APPEND env "TARSYN_TEST_DISPLAY=${TARSYN_TEST_DISPLAY}")
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
  set_tests_properties(service_jack_start PROPERTIES FIXTURES_SETUP jack LABELS "service")
  set_tests_properties(service_jack_stop PROPERTIES FIXTURES_CLEANUP jack LABELS "service")
  add_test(NAME service_xvfb_start
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/xvfb-server start ${TARSYN_TEST_DISPLAY} ${TARSYN_TEST_STATE_DIR})
  add_test(NAME service_xvfb_stop
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/xvfb-server stop ${TARSYN_TEST_DISPLAY} ${TARSYN_TEST_STATE_DIR})
  set_tests_properties(service_xvfb_start PROPERTIES FIXTURES_SETUP xvfb LABELS "service")
  set_tests_properties(service_xvfb_stop PROPERTIES FIXTURES_CLEANUP xvfb LABELS "service")
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
