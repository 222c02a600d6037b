// How every kernel family picks the variant it runs. A family builds one table per level: the
// baseline one, in a source every target compiles, and on x86-64 those of its `*_avx2.cpp` and
// `*_avx512.cpp` sources, compiled with that level's flags (written over the lanes of simd/).
// On first use it passes them to choose() and keeps the table it gets.
#pragma once

#include "core/dispatch/cpu.hpp"

namespace tarnwick::core::dispatch {

// Whether this target builds the x86-64 levels' sources. A family names their tables only
// under `if constexpr (kX86Levels)`, so elsewhere they are declared and never needed.
inline constexpr bool kX86Levels = TARNWICK_X86_VARIANTS;

// One family's tables by level; null where the family has no variant of its own.
template <class Table>
struct Levels {
    const Table* baseline;
    const Table* avx2 = nullptr;
    const Table* avx512 = nullptr;
};

// The table of the highest level at or below cpu::level() that exists and that `accept` (if
// given) approves, tried from the highest down; the baseline table needs no approval. The
// exponential's guard is such a check: it turns the vector kernels down where the C library
// differs from the one they follow.
template <class Table>
const Table& choose(const Levels<Table>& tables, bool (*accept)(const Table&) = nullptr) {
    const cpu::Level allowed = cpu::level();
    const auto approved = [accept](const Table* t) { return t && (!accept || accept(*t)); };
    if (allowed >= cpu::Level::avx512 && approved(tables.avx512)) return *tables.avx512;
    if (allowed >= cpu::Level::avx2 && approved(tables.avx2)) return *tables.avx2;
    return *tables.baseline;
}

}  // namespace tarnwick::core::dispatch
