# Cross build for 32-bit little-endian ARM with hardware floating point (Linux, glibc), using
# the distribution's arm-linux-gnueabihf cross compilers.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(VELTRA_CROSS_TRIPLE arm-linux-gnueabihf)
set(VELTRA_CROSS_EMULATOR qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-cross.cmake)
