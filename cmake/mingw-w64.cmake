# Cross-building the Windows program on Linux with MinGW-w64 (the posix thread model, so that
# std::thread and friends are there). The preset windows uses it: cmake --preset windows
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QEL_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QEL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QEL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QEL_MINGW_TRIPLET}-windres)

# Headers and libraries come from the MinGW sysroot only; build tools from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${QEL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets CTest run Windows test programs on the build machine.
find_program(QEL_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(QEL_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QEL_WINE64})
endif()
