# Run by CTest when it reads a tree's tests (through the tree's generated
# vel-timeouts.cmake): multiplies each recorded time limit by the machine's
# factor. The factor comes from VEL_TIMEOUT_SCALE when the caller set it
# (scripts/test.sh computes it once per run), else from scripts/machine.sh;
# it is left in the environment, so the tests' own waits use the same one.
if("$ENV{VEL_TIMEOUT_SCALE}" STREQUAL "")
  execute_process(COMMAND bash "${VEL_SOURCE_DIR}/scripts/machine.sh" scale ${VEL_TREE_ARCH}
                  OUTPUT_VARIABLE vel_scale OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE vel_rc)
  if(NOT vel_rc EQUAL 0)
    set(vel_scale 1)
  endif()
  set(ENV{VEL_TIMEOUT_SCALE} "${vel_scale}")
endif()

# In tenths, never below 1: "2.5" gives 25.
set(vel_tenths 10)
if("$ENV{VEL_TIMEOUT_SCALE}" MATCHES "^([0-9]+)(\\.([0-9]))?")
  set(vel_digit "${CMAKE_MATCH_3}")
  if(vel_digit STREQUAL "")
    set(vel_digit 0)
  endif()
  math(EXPR vel_tenths "${CMAKE_MATCH_1} * 10 + ${vel_digit}")
  if(vel_tenths LESS 10)
    set(vel_tenths 10)
  endif()
endif()

foreach(vel_entry IN LISTS VEL_TEST_TIMEOUTS)
  string(REGEX REPLACE "=.*" "" vel_name "${vel_entry}")
  string(REGEX REPLACE ".*=" "" vel_seconds "${vel_entry}")
  math(EXPR vel_seconds "${vel_seconds} * ${vel_tenths} / 10")
  set_tests_properties("${vel_name}" PROPERTIES TIMEOUT ${vel_seconds})
endforeach()
