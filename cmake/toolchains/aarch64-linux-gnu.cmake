# 64-bit ARM Linux, with Debian's g++-aarch64-linux-gnu and qemu-user; see
# linux-cross.cmake beside this file.
set(LATKEM_TRIPLE aarch64-linux-gnu)
set(LATKEM_PROCESSOR aarch64)
set(LATKEM_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
