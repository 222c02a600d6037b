// How many processors this process can really use: the ones its affinity mask allows, capped by
// a container's CPU quota, so that a pool sized from it neither stacks threads on a processor it
// may not run on nor outruns its time share.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace tarnwick::core::platform {

// Processors in this process's affinity mask, or where the system has no such mask, the online
// processors. At least 1.
std::size_t allowed_processors();

// The CPU bandwidth the process's control groups grant, in processors (quota / period, the
// tightest along the group's path up to the hierarchy's root), or nullopt when none is set or
// the system has no control groups. Both cgroup v2 (`cpu.max`) and v1 (`cpu.cfs_quota_us` over
// `cpu.cfs_period_us`) are read. Every file is looked up under `root`, which is "/" except in
// tests that lay out a fake /proc and /sys.
std::optional<double> cgroup_cpu_limit(const std::string& root = "/");

// allowed_processors(), lowered to the quota rounded up (a 1.5-processor quota gives 2).
std::size_t usable_processors(const std::string& root = "/");

// The tightest limit the system puts on the number of threads this process may share with
// others: the soft RLIMIT_NPROC (`ulimit -u`), the control groups' `pids.max` along the group's
// path (cgroup v2 and v1), and /proc/sys/kernel/threads-max; nullopt when none is set. Files
// are looked up under `root`, as above.
std::optional<std::size_t> thread_limit(const std::string& root = "/");

}  // namespace tarnwick::core::platform
