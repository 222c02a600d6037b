# 64-bit ARM Linux with glibc 2.28 or newer (manylinux_2_28), through zig; see zig.cmake.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TARNWICK_ZIG_TARGET aarch64-linux-gnu.2.28)
set(TARNWICK_GNU_TRIPLET aarch64-linux-gnu)
include("${CMAKE_CURRENT_LIST_DIR}/zig.cmake")
