# Builds with zig's clang and libc++ for one glibc version, so that a wheel made on a new system
# runs on every system with that glibc or a newer one. zig links against its own stubs of the
# chosen glibc, so every symbol binds at the newest version that glibc had (exp@GLIBC_2.2.5 on
# x86-64, not exp@GLIBC_2.29), and links libc++, libc++abi and libunwind statically: the module
# needs no libstdc++ and no libgcc_s.
#
# Include this from a file that sets TARNWICK_ZIG_TARGET and CMAKE_SYSTEM_PROCESSOR (see
# zig-x86_64-linux-gnu.2.28.cmake). zig itself is, in this order: -DZIG=..., $ZIG, `zig` on
# PATH, or the `ziglang` package of the Python that runs the build.
set(CMAKE_SYSTEM_NAME Linux)

if(NOT ZIG)
  if(DEFINED ENV{ZIG})
    set(ZIG "$ENV{ZIG}")
  else()
    find_program(ZIG zig)
  endif()
endif()
if(NOT ZIG AND Python_EXECUTABLE)
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -c
            "import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), 'zig'))"
    OUTPUT_VARIABLE ZIG OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT ZIG OR NOT EXISTS "${ZIG}")
  message(FATAL_ERROR "zig not found: set ZIG, put zig on PATH or pip install ziglang")
endif()
set(ZIG "${ZIG}" CACHE FILEPATH "zig, the compiler driver for ${TARNWICK_ZIG_TARGET}")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZIG)  # the compiler checks re-read this file

# CMake wants one executable per tool; zig is one executable with subcommands.
set(zig_wrappers "${CMAKE_BINARY_DIR}/zig-${TARNWICK_ZIG_TARGET}")
foreach(tool cc c++ ar ranlib)
  set(target_option "")
  if(tool MATCHES "^c")
    set(target_option "-target ${TARNWICK_ZIG_TARGET}")
  endif()
  file(WRITE "${zig_wrappers}/${tool}.in"
       "#!/bin/sh\nexec \"${ZIG}\" ${tool} ${target_option} \"$@\"\n")
  file(COPY_FILE "${zig_wrappers}/${tool}.in" "${zig_wrappers}/${tool}" ONLY_IF_DIFFERENT)
  file(CHMOD "${zig_wrappers}/${tool}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
       GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_C_COMPILER "${zig_wrappers}/cc")
set(CMAKE_CXX_COMPILER "${zig_wrappers}/c++")
set(CMAKE_AR "${zig_wrappers}/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${zig_wrappers}/ranlib" CACHE FILEPATH "")

# zig's own default for C builds without -O is a trapping UndefinedBehaviorSanitizer; a release
# module carries none.
set(CMAKE_C_FLAGS_INIT "-fno-sanitize=all")
set(CMAKE_CXX_FLAGS_INIT "-fno-sanitize=all")
# The compiler's runtime routines (128-bit long double arithmetic on aarch64, for libc++) come
# from GCC's libgcc.a, not from zig's compiler_rt: compiler_rt is one object that also defines
# exp, expf, fma and ldexp, and once the linker pulls it in for any routine, those definitions
# win over the C library's, so the module would no longer compute the process's own exp. The
# Debian packages gcc (x86-64) and gcc-aarch64-linux-gnu have the archive.
if(NOT TARNWICK_LIBGCC)
  execute_process(COMMAND ${TARNWICK_GNU_TRIPLET}-gcc -print-libgcc-file-name
                  OUTPUT_VARIABLE TARNWICK_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT TARNWICK_LIBGCC OR NOT EXISTS "${TARNWICK_LIBGCC}")
  message(FATAL_ERROR "libgcc.a for ${TARNWICK_GNU_TRIPLET} not found: install ${TARNWICK_GNU_TRIPLET}-gcc or set TARNWICK_LIBGCC")
endif()
set(TARNWICK_LIBGCC "${TARNWICK_LIBGCC}" CACHE FILEPATH "GCC's runtime archive for ${TARNWICK_GNU_TRIPLET}")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARNWICK_LIBGCC)
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "\"${TARNWICK_LIBGCC}\"")
# Without the debug information of zig's libc++ (9 MiB); symbols are not stripped by the build
# backend, whose host strip may not read the target's objects.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-rtlib=none -Wl,--strip-all")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-rtlib=none")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-rtlib=none")

# The compiler checks compile without linking: a linked check would have zig build a debug libc++
# for nothing.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
