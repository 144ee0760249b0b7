# 32-bit ARM, hard float (Debian armhf): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
set(CMAKE_SYSTEM_PROCESSOR arm)
set(QUORIX_TRIPLET arm-linux-gnueabihf)
set(QUORIX_QEMU_ARCH arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
