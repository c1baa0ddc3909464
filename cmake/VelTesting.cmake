# Test helpers. Windows test programs run under Wine through the build tree's
# own wrapper (one prefix per build tree, created once by a fixture test and
# kept up, with its wineserver and an Xvfb display, until the cleanup test).

set(GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources (Debian package googletest)")
if(NOT VEL_KIND STREQUAL "fuzz")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(${GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()

if(VEL_KIND STREQUAL "windows")
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(VEL_WINE_ARCH x86-64)
  else()
    set(VEL_WINE_ARCH x86)
  endif()
  set(VEL_WINE_RUN ${CMAKE_BINARY_DIR}/wine-run.sh)
  configure_file(${CMAKE_SOURCE_DIR}/scripts/wine-run.sh.in ${VEL_WINE_RUN} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VEL_WINE_RUN})
endif()

# vel_windows_path(<out> <path> [C_STRING]): a build path as Windows programs
# of the tree see it (drive Z:, backslashes); C_STRING doubles each backslash
# for a compile definition that becomes a C string literal.
function(vel_windows_path out path)
  if("C_STRING" IN_LIST ARGN)
    string(REPLACE "/" "\\\\" p "${path}")
  else()
    string(REPLACE "/" "\\" p "${path}")
  endif()
  set(${out} "Z:${p}" PARENT_SCOPE)
endfunction()

# vel_test_timeout(<test> <seconds>): the test's time limit on an idle machine
# that runs its code natively. At run time CTest multiplies it by the
# machine's factor, VEL_TIMEOUT_SCALE (scripts/machine.sh), which the tests'
# own waits read too.
function(vel_test_timeout name seconds)
  set_tests_properties(${name} PROPERTIES TIMEOUT ${seconds})
  set_property(GLOBAL APPEND PROPERTY VEL_TEST_TIMEOUTS "${name}=${seconds}")
endfunction()

# vel_add_test(<name> <target> [PRINTER] [ARGS ...] [ENV k=v ...] [LOCKS ...]
#              [TIMEOUT s] [LABELS ...])
# One CTest test per test program (whole program, not per case: starting a
# program under Wine costs more than most of its cases). LABELS x86-subset:
# the test also runs where x86 code is emulated (see README). PRINTER: the
# test prints on the tree's test printer (scripts/cups.sh), one such test at
# a time; VEL_PRINT_OUT is the folder of its PDFs as Windows programs see it,
# VEL_PRINT_SOCKET the folder of the printer's socket (renamed, the printer
# cannot be reached).
function(vel_add_test name target)
  if(VEL_KIND STREQUAL "fuzz")
    return()   # the fuzz tree runs only its fuzzers
  endif()
  cmake_parse_arguments(T "PRINTER" "TIMEOUT" "ARGS;ENV;LOCKS;LABELS" ${ARGN})
  if(T_PRINTER)
    vel_windows_path(print_out "${CMAKE_BINARY_DIR}/cups/pdf")
    vel_windows_path(print_socket "${CMAKE_BINARY_DIR}/cups/socket")
    list(APPEND T_ENV "VEL_PRINT_OUT=${print_out}" "VEL_PRINT_SOCKET=${print_socket}")
    list(APPEND T_LOCKS vel_printer)
  endif()
  add_test(NAME ${name} COMMAND ${target} ${T_ARGS})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  vel_test_timeout(${name} ${T_TIMEOUT})
  if(T_ENV)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${T_ENV}")
  endif()
  if(T_LOCKS)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${T_LOCKS}")
  endif()
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
  if(VEL_KIND STREQUAL "windows" AND T_PRINTER)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED "wine;printer")
  elseif(VEL_KIND STREQUAL "windows")
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine)
  endif()
endfunction()

# vel_gtest_program(<target> SOURCES ... LIBS ...)
function(vel_gtest_program target)
  if(VEL_KIND STREQUAL "fuzz")
    return()
  endif()
  cmake_parse_arguments(G "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${target} ${G_SOURCES})
  target_link_libraries(${target} PRIVATE ${G_LIBS} GTest::gtest_main vel_test_support vel_defaults)
endfunction()

# vel_softcard_test(<target>)
# A test program or benchmark on the software card: linked with its test
# support (loaded_library.h: the library loaded as callers load it, the
# control program, a private state file, found in the software card's build
# folder), built after the library and the control program. The program stays
# in its own deliverable's folder. The in-memory token of fake_pkcs11.h is the
# library softcard_fake_token.
function(vel_softcard_test target)
  target_link_libraries(${target} PRIVATE softcard_test_support)
endfunction()

# vel_system_dll(<target> [TESTS_ONLY]): a stand-in that the deliverables
# load from the system folder (a program: one that cmd.exe finds there). The
# Wine prefixes copy it into their system32 (x86-64) or syswow64 (x86): the
# test prefix and the main job's, which is a holder's machine; TESTS_ONLY for
# a stand-in that answers from a test's script, which no holder's machine has.
# The tree's list of them, wine-prefix.list, is what scripts/wine-prefix.sh
# reads.
function(vel_system_dll target)
  cmake_parse_arguments(S "TESTS_ONLY" "" "" ${ARGN})
  if(S_TESTS_ONLY)
    set_property(TARGET ${target} PROPERTY VEL_PREFIXES tests)
  else()
    set_property(TARGET ${target} PROPERTY VEL_PREFIXES main,tests)
  endif()
  set_property(GLOBAL APPEND PROPERTY VEL_SYSTEM_DLLS ${target})
endfunction()

# Called once at the end of the top-level list: the Wine fixture tests, and
# the file that scales every recorded time limit when CTest starts.
function(vel_finish_testing)
  if(VEL_KIND STREQUAL "windows")
    vel_wine_fixture()
    set(arch ${VEL_WINE_ARCH})
  else()
    set(arch native)
  endif()
  get_property(timeouts GLOBAL PROPERTY VEL_TEST_TIMEOUTS)
  file(WRITE ${CMAKE_BINARY_DIR}/vel-timeouts.cmake
       "# Generated by cmake/VelTesting.cmake.\n"
       "set(VEL_SOURCE_DIR \"${CMAKE_SOURCE_DIR}\")\n"
       "set(VEL_TREE_ARCH ${arch})\n"
       "set(VEL_TEST_TIMEOUTS \"${timeouts}\")\n"
       "include(\"${CMAKE_SOURCE_DIR}/cmake/ScaleTimeouts.cmake\")\n")
  # CTest reads a folder's include files before that folder's tests, and the
  # folders in order: only a last folder's include sees every test.
  add_subdirectory(${CMAKE_SOURCE_DIR}/cmake/timeouts ${CMAKE_BINARY_DIR}/vel-timeouts)
endfunction()

function(vel_wine_fixture)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(sysdir system32)
  else()
    set(sysdir syswow64)
  endif()
  get_property(dlls GLOBAL PROPERTY VEL_SYSTEM_DLLS)
  set(list "# What this tree's Wine prefixes hold in their system folder: the folder,\n"
           "# the prefixes that hold the file (tests, main), the file as built.\n"
           "# Generated by cmake/VelTesting.cmake, read by scripts/wine-prefix.sh.\n")
  foreach(t IN LISTS dlls)
    get_target_property(prefixes ${t} VEL_PREFIXES)
    list(APPEND list "${sysdir} ${prefixes} $<TARGET_FILE:${t}>\n")
  endforeach()
  list(JOIN list "" content)
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/wine-prefix.list CONTENT "${content}")
  add_test(NAME wine_start COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-prefix.sh start ${CMAKE_BINARY_DIR} tests)
  # A new x86 prefix under emulation takes about 4 minutes.
  set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine)
  vel_test_timeout(wine_start 300)
  add_test(NAME wine_stop COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-prefix.sh stop ${CMAKE_BINARY_DIR})
  set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine)
  vel_test_timeout(wine_stop 60)
  # The tree's test printer (a private CUPS scheduler printing to PDF), for
  # the tests that print.
  add_test(NAME printer_start COMMAND ${CMAKE_SOURCE_DIR}/scripts/cups.sh start ${CMAKE_BINARY_DIR})
  set_tests_properties(printer_start PROPERTIES FIXTURES_SETUP printer)
  vel_test_timeout(printer_start 60)
  add_test(NAME printer_stop COMMAND ${CMAKE_SOURCE_DIR}/scripts/cups.sh stop ${CMAKE_BINARY_DIR})
  set_tests_properties(printer_stop PROPERTIES FIXTURES_CLEANUP printer)
  vel_test_timeout(printer_stop 60)
endfunction()
