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
  set(VEL_WINE_RUN ${CMAKE_BINARY_DIR}/wine-run.sh)
  configure_file(${CMAKE_SOURCE_DIR}/scripts/wine-run.sh.in ${VEL_WINE_RUN} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VEL_WINE_RUN})
endif()

# vel_add_test(<name> <target> [ARGS ...] [LIBS ...] [ENV k=v ...] [LOCKS ...])
# One CTest test per test program (whole program, not per case: starting a
# program under Wine costs more than most of its cases).
function(vel_add_test name target)
  if(VEL_KIND STREQUAL "fuzz")
    return()   # the fuzz tree runs only its fuzzers
  endif()
  cmake_parse_arguments(T "" "TIMEOUT" "ARGS;ENV;LOCKS;LABELS" ${ARGN})
  add_test(NAME ${name} COMMAND ${target} ${T_ARGS})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
  if(T_ENV)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${T_ENV}")
  endif()
  if(T_LOCKS)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${T_LOCKS}")
  endif()
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
  if(VEL_KIND STREQUAL "windows")
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
  target_link_libraries(${target} PRIVATE ${G_LIBS} GTest::gtest_main vel_defaults)
endfunction()

# vel_softcard_test(<target>)
# A test program or benchmark on the software card: linked with its test
# support (loaded_library.h: the library loaded as callers load it, the
# control program, a private state file), built after the library and the
# control program, and put beside them, where the support finds them. The
# in-memory token of fake_pkcs11.h is the library softcard_fake_token.
function(vel_softcard_test target)
  target_link_libraries(${target} PRIVATE softcard_test_support)
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/standins/softcard)
endfunction()

# vel_system_dll(<target>): a DLL that the deliverables load from the system
# directory (the stand-ins). The Wine fixture copies it into the prefix's
# system32 (x86-64) or syswow64 (x86) before any test runs.
function(vel_system_dll target)
  set_property(GLOBAL APPEND PROPERTY VEL_SYSTEM_DLLS ${target})
endfunction()

# Called once at the end of the top-level list: the Wine fixture tests.
function(vel_finish_testing)
  if(NOT VEL_KIND STREQUAL "windows")
    return()
  endif()
  get_property(dlls GLOBAL PROPERTY VEL_SYSTEM_DLLS)
  set(files "")
  foreach(t IN LISTS dlls)
    list(APPEND files $<TARGET_FILE:${t}>)
  endforeach()
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(sysdir system32)
  else()
    set(sysdir syswow64)
  endif()
  add_test(NAME wine_start
           COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-prefix.sh start ${CMAKE_BINARY_DIR} ${sysdir} ${files})
  set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
  add_test(NAME wine_stop COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-prefix.sh stop ${CMAKE_BINARY_DIR})
  set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60)
endfunction()
