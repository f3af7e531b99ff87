# Cross build for 32-bit little-endian ARM with hardware floating point (Linux, glibc), using
# the distribution's arm-linux-gnueabihf cross compilers. Target programs run on the build
# machine under user-mode emulation, which lets test discovery and ctest work unchanged.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(VELTRA_ARMHF_TRIPLE arm-linux-gnueabihf)
set(VELTRA_ARMHF_SYSROOT /usr/${VELTRA_ARMHF_TRIPLE})

set(CMAKE_C_COMPILER ${VELTRA_ARMHF_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VELTRA_ARMHF_TRIPLE}-g++)

# Headers and libraries come from the target's tree only; programs (python, the emulator) from
# the build machine.
set(CMAKE_FIND_ROOT_PATH ${VELTRA_ARMHF_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L points the emulator at the target's dynamic loader and C library.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L ${VELTRA_ARMHF_SYSROOT})
