# Cross build for 64-bit little-endian ARM (Linux, glibc), using the distribution's
# aarch64-linux-gnu cross compilers.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VELTRA_CROSS_TRIPLE aarch64-linux-gnu)
set(VELTRA_CROSS_EMULATOR qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-cross.cmake)
