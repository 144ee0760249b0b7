# Shared part of the cross toolchain files: Debian's cross compiler for
# QUORIX_TRIPLET, its C library tree under /usr/<triplet>, and qemu-user to
# run what the build runs (the tests' listing) and what ctest runs.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${QUORIX_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QUORIX_TRIPLET}-g++)
set(CMAKE_STRIP ${QUORIX_TRIPLET}-strip CACHE FILEPATH "")

# Libraries and headers of the target only; programs (gzip) of the build machine.
# A GoogleTest built for the target is found through GTest_DIR.
set(CMAKE_FIND_ROOT_PATH /usr/${QUORIX_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L: the target's dynamic loader and libraries. Programs that the tests start
# themselves (the daemon) run through binfmt_misc, with QEMU_LD_PREFIX.
find_program(QUORIX_QEMU qemu-${QUORIX_QEMU_ARCH}-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUORIX_QEMU} -L /usr/${QUORIX_TRIPLET})
