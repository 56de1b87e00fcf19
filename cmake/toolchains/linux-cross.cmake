# Shared part of the Linux cross toolchains (aarch64-linux-gnu.cmake,
# s390x-linux-gnu.cmake); those set LATKEM_TRIPLE and LATKEM_QEMU first.
#
# Compilers: Debian's g++-<triple> packages.  Programs built for the target run
# under qemu-user, which CMake uses as the emulator: ctest runs the self-test
# through it, and FindPython runs the target's interpreter through it.
#
# The target's CPython comes from LATKEM_TARGET_ROOT (a cache variable, or the
# environment variable of the same name at the first configure): a directory
# holding the target's file tree, e.g. Debian's packages for that architecture
# unpacked with `dpkg -x` (.ci/cross makes one).  Without it, programs still
# build and run against the cross compiler's own C library, but no module can be
# built.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${LATKEM_PROCESSOR})
set(CMAKE_C_COMPILER ${LATKEM_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${LATKEM_TRIPLE}-g++)

if(NOT LATKEM_TARGET_ROOT AND DEFINED ENV{LATKEM_TARGET_ROOT})
  set(LATKEM_TARGET_ROOT "$ENV{LATKEM_TARGET_ROOT}" CACHE PATH
      "Unpacked file tree of the target machine (its CPython, numpy and libraries)")
endif()
# try_compile projects read this file again: hand the root on to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LATKEM_TARGET_ROOT)

if(LATKEM_TARGET_ROOT)
  set(_latkem_libroot "${LATKEM_TARGET_ROOT}")
else()
  set(_latkem_libroot "/usr/${LATKEM_TRIPLE}")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${LATKEM_QEMU} -L ${_latkem_libroot})

# Libraries and headers from the target tree (or the cross compiler's own)
# only, never the build machine's; programs (compilers, the emulator) from the
# host.
list(APPEND CMAKE_FIND_ROOT_PATH "${_latkem_libroot}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# FindPython looks in the target tree (CMAKE_FIND_ROOT_PATH above) for the
# headers, and there for <triple>-python3.X-config, a shell script the build
# machine can run, for the extension suffix.
if(LATKEM_TARGET_ROOT AND NOT Python_ROOT_DIR)
  set(Python_ROOT_DIR "${LATKEM_TARGET_ROOT}/usr")
endif()
