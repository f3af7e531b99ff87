# Shared body of the glibc ARM cross builds, included by a toolchain file that first sets
# CMAKE_SYSTEM_PROCESSOR, VELTRA_CROSS_TRIPLE (the distribution's cross compiler prefix) and
# VELTRA_CROSS_EMULATOR (the user-mode emulator). Target programs run on the build machine
# under that emulator, which lets test discovery and ctest work unchanged.
set(CMAKE_SYSTEM_NAME Linux)

set(VELTRA_CROSS_SYSROOT /usr/${VELTRA_CROSS_TRIPLE})

set(CMAKE_C_COMPILER ${VELTRA_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VELTRA_CROSS_TRIPLE}-g++)

# Headers and libraries come from the target's tree only; programs (python, the emulator) from
# the build machine.
set(CMAKE_FIND_ROOT_PATH ${VELTRA_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L points the emulator at the target's dynamic loader and C library.
set(CMAKE_CROSSCOMPILING_EMULATOR ${VELTRA_CROSS_EMULATOR} -L ${VELTRA_CROSS_SYSROOT})
