# The oldest compilers that build this code, so that an older one stops here with one line
# instead of failing in half of the sources (<source_location>, std::bit_cast, atomic waits,
# from_chars for doubles, __builtin_shufflevector). Checked: g++ 12 and clang 15 build it,
# with libstdc++ 12; g++ 11 and clang 14 do not. Apple clang is not checked (not built in CI).
set(TARNWICK_MINIMUM_GCC 12)
set(TARNWICK_MINIMUM_CLANG 15)
if((CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND
    CMAKE_CXX_COMPILER_VERSION VERSION_LESS TARNWICK_MINIMUM_GCC) OR
   (CMAKE_CXX_COMPILER_ID STREQUAL "Clang" AND
    CMAKE_CXX_COMPILER_VERSION VERSION_LESS TARNWICK_MINIMUM_CLANG))
  message(FATAL_ERROR "tarnwick needs GCC ${TARNWICK_MINIMUM_GCC} or clang ${TARNWICK_MINIMUM_CLANG} \
or newer; this is ${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION}")
endif()
