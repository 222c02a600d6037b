// What the module tells the user about the processor level its kernels run at, once, when it is
// first imported: a RuntimeWarning for a TARNWICK_CPU value that names no level, and, when
// TARNWICK_SHOW_CPU=1 asks for it, one line on standard error naming the level.
#pragma once

namespace tarnwick::py {

// Raises (as a PyError) if the warning filters turn the warning into an error.
void announce_cpu_level();

}  // namespace tarnwick::py
