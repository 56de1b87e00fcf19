# 64-bit IBM Z Linux (big-endian), with Debian's g++-s390x-linux-gnu and
# qemu-user; see linux-cross.cmake beside this file.
set(LATKEM_TRIPLE s390x-linux-gnu)
set(LATKEM_PROCESSOR s390x)
set(LATKEM_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
