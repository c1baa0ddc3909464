set(CMAKE_C_COMPILER   ${VEL_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VEL_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${VEL_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VEL_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Tests run under Wine through the build tree's own wrapper, which
# cmake/VelTesting.cmake writes and names as the emulator.
