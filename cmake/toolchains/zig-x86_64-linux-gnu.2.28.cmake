# x86-64 Linux with glibc 2.28 or newer (manylinux_2_28), through zig; see zig.cmake.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TARNWICK_ZIG_TARGET x86_64-linux-gnu.2.28)
set(TARNWICK_GNU_TRIPLET x86_64-linux-gnu)
include("${CMAKE_CURRENT_LIST_DIR}/zig.cmake")
