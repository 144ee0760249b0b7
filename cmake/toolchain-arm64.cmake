# 64-bit ARM (Debian arm64): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(QUORIX_TRIPLET aarch64-linux-gnu)
set(QUORIX_QEMU_ARCH aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
