# Cross toolchain for the 32-bit Windows DLLs: mingw-w64 for i686 from
# Debian (g++-mingw-w64-i686), run under Wine for the tests.
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
#
# The posix thread model is taken where both are installed: the test
# programs use std::thread and std::mutex, which GCC 12 offers only there.
# cmake/windows.cmake links everything with -static, so libwinpthread, like
# libgcc and libstdc++, is linked in and no DLL of the build imports it.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(ZELM_MINGW_TRIPLE i686-w64-mingw32)

find_program(ZELM_MINGW_GCC NAMES ${ZELM_MINGW_TRIPLE}-gcc-posix ${ZELM_MINGW_TRIPLE}-gcc REQUIRED)
find_program(ZELM_MINGW_GXX NAMES ${ZELM_MINGW_TRIPLE}-g++-posix ${ZELM_MINGW_TRIPLE}-g++ REQUIRED)
find_program(ZELM_MINGW_WINDRES NAMES ${ZELM_MINGW_TRIPLE}-windres)
find_program(ZELM_MINGW_DLLTOOL NAMES ${ZELM_MINGW_TRIPLE}-dlltool REQUIRED)
find_program(ZELM_MINGW_OBJDUMP NAMES ${ZELM_MINGW_TRIPLE}-objdump REQUIRED)

set(CMAKE_C_COMPILER ${ZELM_MINGW_GCC})
set(CMAKE_CXX_COMPILER ${ZELM_MINGW_GXX})
if(ZELM_MINGW_WINDRES)
  set(CMAKE_RC_COMPILER ${ZELM_MINGW_WINDRES})
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${ZELM_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine (ctest and try_run use the emulator).
find_program(ZELM_WINE NAMES wine)
if(ZELM_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZELM_WINE})
endif()
