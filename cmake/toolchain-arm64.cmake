# Cross build for 64-bit little-endian ARM (Linux, glibc), using the distribution's
# aarch64-linux-gnu cross compilers. Target programs run on the build machine under user-mode
# emulation, which lets test discovery and ctest work unchanged.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(VELTRA_ARM64_TRIPLE aarch64-linux-gnu)
set(VELTRA_ARM64_SYSROOT /usr/${VELTRA_ARM64_TRIPLE})

set(CMAKE_C_COMPILER ${VELTRA_ARM64_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VELTRA_ARM64_TRIPLE}-g++)

# Headers and libraries come from the target's tree only; programs (python, the emulator) from
# the build machine.
set(CMAKE_FIND_ROOT_PATH ${VELTRA_ARM64_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L points the emulator at the target's dynamic loader and C library.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${VELTRA_ARM64_SYSROOT})
