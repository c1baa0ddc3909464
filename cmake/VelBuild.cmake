# Build settings shared by every target of the project.

# vel_defaults: warnings and character set for our own code (third-party
# sources such as GoogleTest are built without it).
add_library(vel_defaults INTERFACE)
target_compile_options(vel_defaults INTERFACE
  -Wall -Wextra -Wformat=2 -Wformat-security -Wno-unused-parameter -Werror)
if(NOT VEL_KIND STREQUAL "fuzz")
  # Sources are UTF-8; French texts must reach ANSI Windows calls and the
  # saved text files as Windows-1252 bytes. (clang only knows UTF-8, so the
  # fuzz tree keeps UTF-8 literals: no text comparison is made there.)
  target_compile_options(vel_defaults INTERFACE -finput-charset=UTF-8 -fexec-charset=CP1252)
endif()

if(VEL_KIND STREQUAL "windows")
  # Nothing beside the binaries must be copied into Windows.
  string(APPEND CMAKE_EXE_LINKER_FLAGS " -static -static-libgcc -static-libstdc++")
  string(APPEND CMAKE_SHARED_LINKER_FLAGS " -static -static-libgcc -static-libstdc++")
  target_compile_definitions(vel_defaults INTERFACE
    WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(VEL_ARCH_SUFFIX 64)      # VLMGRW64, VLTABW64, vel3_*_w64
  else()
    set(VEL_ARCH_SUFFIX 32)
  endif()
elseif(VEL_KIND STREQUAL "native")
  set(VEL_SANITIZE -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${VEL_SANITIZE} -g)
  add_link_options(${VEL_SANITIZE})
elseif(VEL_KIND STREQUAL "fuzz")
  set(VEL_SANITIZE -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_compile_options(${VEL_SANITIZE} -g -O1)
  add_link_options(-fsanitize=address,undefined)
endif()

# vel_version_resource(<target> <description> <original file name>)
# Gives a Windows binary its VERSIONINFO resource.
function(vel_version_resource target description filename)
  if(NOT VEL_KIND STREQUAL "windows")
    return()
  endif()
  set(VEL_FILE_DESCRIPTION "${description}")
  set(VEL_ORIGINAL_FILENAME "${filename}")
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    set(VEL_FILE_TYPE VFT_DLL)
  else()
    set(VEL_FILE_TYPE VFT_APP)
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

# vel_rules_library(<target> SOURCES ... [INCLUDES <dirs>] [LIBS <libs>]
#                   [TEST <sources> [TEST_DEFINITIONS ...] [TEST_EVERY_TREE]])
# A static library of rules without Windows, built in every tree; its include
# path its folder, or INCLUDES; LIBS what it and its users link. TEST: its
# test program <target>_test, the CTest test <target>, run natively under the
# sanitizers and, with TEST_EVERY_TREE, under Wine in the Windows trees too
# (rules over PKCS#11's longs, whose width differs there).
function(vel_rules_library target)
  cmake_parse_arguments(R "TEST_EVERY_TREE" "" "SOURCES;INCLUDES;LIBS;TEST;TEST_DEFINITIONS" ${ARGN})
  if(R_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "vel_rules_library(${target}): unknown arguments ${R_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT R_INCLUDES)
    set(R_INCLUDES ${CMAKE_CURRENT_SOURCE_DIR})
  endif()
  add_library(${target} STATIC ${R_SOURCES})
  target_include_directories(${target} PUBLIC ${R_INCLUDES})
  target_link_libraries(${target} PUBLIC ${R_LIBS} PRIVATE vel_defaults)
  if(R_TEST AND (VEL_KIND STREQUAL "native" OR (R_TEST_EVERY_TREE AND VEL_KIND STREQUAL "windows")))
    vel_gtest_program(${target}_test SOURCES ${R_TEST} LIBS ${target})
    if(R_TEST_DEFINITIONS)
      target_compile_definitions(${target}_test PRIVATE ${R_TEST_DEFINITIONS})
    endif()
    vel_add_test(${target} ${target}_test)
  endif()
endfunction()

# vel_add_fuzzer(<name> SOURCES ... LIBS ... CORPUS <dir>)
# A libFuzzer target. In the fuzz tree it runs as a test for a bounded time
# (VEL_FUZZ_SECONDS, 20 by default) from a copy of its seed corpus; in the
# native tree the same entry point is linked with a small driver that replays
# the seed corpus under the sanitizers on every test run.
function(vel_add_fuzzer name)
  cmake_parse_arguments(F "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  if(VEL_KIND STREQUAL "fuzz")
    add_executable(${name} ${F_SOURCES})
    target_link_libraries(${name} PRIVATE ${F_LIBS})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    if(NOT DEFINED VEL_FUZZ_SECONDS)
      set(VEL_FUZZ_SECONDS 20)
    endif()
    set(work ${CMAKE_CURRENT_BINARY_DIR}/${name}_corpus)
    add_test(NAME ${name}
      COMMAND ${CMAKE_COMMAND} -DFUZZER=$<TARGET_FILE:${name}> -DSEEDS=${F_CORPUS}
              -DWORK=${work} -DSECONDS=${VEL_FUZZ_SECONDS}
              -P ${CMAKE_SOURCE_DIR}/cmake/run-fuzzer.cmake)
    set_tests_properties(${name} PROPERTIES TIMEOUT 600 LABELS fuzz)
  elseif(VEL_KIND STREQUAL "native")
    add_executable(${name}_replay ${F_SOURCES} ${CMAKE_SOURCE_DIR}/tests/support/fuzz_replay.cpp)
    target_link_libraries(${name}_replay PRIVATE ${F_LIBS})
    add_test(NAME ${name}_replay COMMAND ${name}_replay ${F_CORPUS})
  endif()
endfunction()
