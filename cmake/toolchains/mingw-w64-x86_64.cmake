# 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix); programs
# run under wine (wine64), which CMake uses as the emulator, so ctest runs the
# self-test through it.  Executables are linked statically: no MinGW runtime
# DLL has to be found at run time.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(LATKEM_MINGW x86_64-w64-mingw32)
find_program(LATKEM_MINGW_CXX NAMES ${LATKEM_MINGW}-g++-posix ${LATKEM_MINGW}-g++ REQUIRED)
find_program(LATKEM_MINGW_CC NAMES ${LATKEM_MINGW}-gcc-posix ${LATKEM_MINGW}-gcc)
set(CMAKE_CXX_COMPILER ${LATKEM_MINGW_CXX})
if(LATKEM_MINGW_CC)
  set(CMAKE_C_COMPILER ${LATKEM_MINGW_CC})
endif()
set(CMAKE_RC_COMPILER ${LATKEM_MINGW}-windres)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(CMAKE_FIND_ROOT_PATH /usr/${LATKEM_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian's wine64 package installs the loader outside PATH.
find_program(LATKEM_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(LATKEM_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${LATKEM_WINE})
endif()
