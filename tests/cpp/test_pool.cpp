// Tests for the worker pool and the processor count it is sized from. Standalone, from the
// repository root (clang++ works the same):
//   g++ -O2 -g -std=c++20 -pthread -Isrc tests/cpp/test_pool.cpp src/core/pool/pool.cpp
//       src/core/platform/processors.cpp -o /tmp/test_pool && timeout 300 /tmp/test_pool
// Under ThreadSanitizer: add -fsanitize=thread and run with TSAN_OPTIONS=die_after_fork=0, as
// the fork tests start threads in a child of a threaded process.
// The binary re-runs itself (--report, --tree) to see fresh pools under other environments.
#include "core/pool/pool.hpp"

#include "core/platform/processors.hpp"

#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <new>
#include <optional>
#include <source_location>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using tarnwick::core::configured_thread_count;
using tarnwick::core::parallel_for;
using tarnwick::core::piece_count;
using tarnwick::core::pool_thread_count;
using tarnwick::core::tree_reduce;

namespace {

std::atomic<std::size_t> g_allocations{0};
int g_failures = 0;

void check(bool ok, const std::string& what,
           std::source_location at = std::source_location::current()) {
    if (ok) return;
    ++g_failures;
    std::fprintf(stderr, "FAIL %s:%u: %s\n", at.file_name(), static_cast<unsigned>(at.line()),
                 what.c_str());
}

// Live pool workers in this process, found by their thread names.
int workers_running() {
    int count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        if (std::getline(comm, name) && name.rfind("tarnwick-w-", 0) == 0) ++count;
    }
    return count;
}

// The processors each live worker may run on, as the kernel lists them ("0-1", "3").
std::vector<std::string> worker_affinities() {
    std::vector<std::string> lists;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        if (!std::getline(comm, name) || name.rfind("tarnwick-w-", 0) != 0) continue;
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("Cpus_allowed_list:", 0) == 0)
                lists.push_back(line.substr(line.find_last_of("\t ") + 1));
        }
    }
    return lists;
}

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](timeval t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Waits for a child, killing it if it has not exited within `limit`. Its exit status, or
// nullopt when it hung or died of a signal.
std::optional<int> reap(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!WIFEXITED(status)) return std::nullopt;
    return WEXITSTATUS(status);
}

struct Spawned {
    std::optional<int> status;
    std::string out;
};

// Runs this binary with `mode`, the RAYON_* variables replaced by `env`, and optionally kept
// to one of the processors we may use.
Spawned spawn_self(const char* mode, const std::vector<std::string>& env, bool one_cpu = false) {
    std::vector<std::string> vars = env;
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "RAYON_", 6) != 0) vars.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (auto& v : vars) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::string self = "/proc/self/exe", arg = mode;
    char* argv[] = {self.data(), arg.data(), nullptr};

    int fds[2];
    if (pipe(fds) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        cpu_set_t set;
        if (one_cpu && sched_getaffinity(0, sizeof set, &set) == 0) {
            int first = 0;
            while (!CPU_ISSET(first, &set)) ++first;
            CPU_ZERO(&set);
            CPU_SET(first, &set);
            sched_setaffinity(0, sizeof set, &set);
        }
        execve(argv[0], argv, envp.data());
        _exit(127);
    }
    close(fds[1]);
    Spawned result;
    char buffer[256];
    for (ssize_t got; (got = read(fds[0], buffer, sizeof buffer)) > 0;)
        result.out.append(buffer, static_cast<std::size_t>(got));
    close(fds[0]);
    result.status = reap(pid, std::chrono::seconds(60));
    return result;
}

// An order-sensitive series: large terms of both signs among small ones, so that any change
// in the order of additions shows in the last bits.
double term(std::size_t i) {
    const double sign = (i * 2654435761u) % 3 == 0 ? -1.0 : 1.0;
    return sign * std::ldexp(1.0 + static_cast<double>(i % 97) / 97.0,
                             static_cast<int>((i * 40503u) % 61) - 30);
}

double leaf_sum(std::size_t b, std::size_t e) {
    double s = 0.0;
    for (std::size_t i = b; i < e; ++i) s += term(i);
    return s;
}

// The fixed tree, written out directly.
double tree_by_definition(std::size_t b, std::size_t e, std::size_t leaf) {
    if (e - b <= leaf) return leaf_sum(b, e);
    const std::size_t m = b + (e - b) / 2;
    const double left = tree_by_definition(b, m, leaf);
    return left + tree_by_definition(m, e, leaf);
}

double tree_on_pool(std::size_t n, std::size_t leaf, std::size_t grain) {
    return tree_reduce<double>(n, leaf, grain,
                               [](std::size_t b, std::size_t e) { return leaf_sum(b, e); });
}

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// --- child modes ---------------------------------------------------------------------------

int report_mode() {
    // count before and after a call, and whether the call started exactly that many threads
    const std::size_t before = pool_thread_count();
    std::atomic<std::size_t> covered{0};
    parallel_for(1000, 1, [&](std::size_t b, std::size_t e) { covered += e - b; });
    std::printf("%zu %zu %d %zu\n", before, pool_thread_count(), workers_running(), covered.load());
    return 0;
}

int tree_mode() {
    for (std::size_t n : {1u, 100u, 4097u, 100000u, 1234567u}) {
        std::printf("%016llx\n", static_cast<unsigned long long>(bits(tree_on_pool(n, 64, 1))));
    }
    return 0;
}

// --- tests ---------------------------------------------------------------------------------

void test_small_calls_stay_inline_and_start_nothing() {
    const auto caller = std::this_thread::get_id();
    int calls = 0;
    parallel_for(99, 100, [&](std::size_t b, std::size_t e) {
        ++calls;
        check(b == 0 && e == 99 && std::this_thread::get_id() == caller,
              "n < grain runs body(0, n) here");
    });
    parallel_for(1, 1, [&](std::size_t b, std::size_t e) {
        ++calls;
        check(b == 0 && e == 1, "n == 1 runs inline");
    });
    parallel_for(0, 0, [&](std::size_t b, std::size_t e) {
        ++calls;
        check(b == 0 && e == 0, "n == 0 runs inline");
    });
    check(calls == 3, "each inline call runs its body once");
    (void)pool_thread_count();
    check(workers_running() == 0, "no worker exists before a parallel call");
}

void test_pieces_cover_the_range() {
    const std::size_t threads = pool_thread_count();
    for (std::size_t n : {2u, 3u, 7u, 100u, 1001u, 65537u}) {
        for (std::size_t grain : {0u, 1u, 2u, 3u, 50u, 1000u}) {
            std::mutex m;
            std::vector<std::pair<std::size_t, std::size_t>> pieces;
            parallel_for(n, grain, [&](std::size_t b, std::size_t e) {
                std::lock_guard lock(m);
                pieces.emplace_back(b, e);
            });
            std::sort(pieces.begin(), pieces.end());
            const std::size_t g = std::max<std::size_t>(grain, 1);
            const std::string at =
                " (n=" + std::to_string(n) + " grain=" + std::to_string(grain) + ")";
            check(pieces.size() == piece_count(n, grain, threads), "piece count" + at);
            check(n < g || threads == 1 || pieces.size() > 1, "a long range is split" + at);
            std::size_t next = 0, shortest = n, longest = 0;
            for (auto& [b, e] : pieces) {
                check(b == next && e > b, "pieces are contiguous and non-empty" + at);
                next = e;
                shortest = std::min(shortest, e - b);
                longest = std::max(longest, e - b);
            }
            check(next == n, "pieces end at n" + at);
            check(longest - shortest <= 1, "pieces are near-equal" + at);
            if (pieces.size() > 1) check(shortest >= g / 4, "pieces are not too short" + at);
        }
    }
    check(piece_count(1000000, 1000, 2) == 3 * tarnwick::core::kPiecesPerThread,
          "a large call has a bounded number of pieces");
    const int expect =
        threads > 1 ? static_cast<int>(threads) : 0;  // one thread never needs a pool
    check(workers_running() == expect, "the pool started exactly its thread count");
}

void test_workers_are_not_pinned() {
    // Left free, the system can move a worker away from another library's busy threads.
    std::ifstream status("/proc/self/status");
    std::string own;
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Cpus_allowed_list:", 0) == 0)
            own = line.substr(line.find_last_of("\t ") + 1);
    }
    for (const auto& list : worker_affinities())
        check(list == own, "a worker may run on every processor the process may (" + list + ")");
}

void test_caller_runs_what_no_worker_claimed() {
    // Every worker blocks inside the first piece it claims until the whole range is covered,
    // as if it had been descheduled: the call must still finish, by the caller's own hand.
    const std::size_t threads = pool_thread_count();
    if (threads < 2) return;
    const std::size_t n = 1000;
    const auto caller = std::this_thread::get_id();
    std::atomic<std::size_t> covered{0};
    std::atomic<int> timed_out{0};
    parallel_for(n, 1, [&](std::size_t b, std::size_t e) {
        covered += e - b;
        if (std::this_thread::get_id() == caller) return;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (covered.load() != n) {
            if (std::chrono::steady_clock::now() > deadline) {
                ++timed_out;
                return;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    check(covered == n && timed_out == 0, "the caller ran every piece no worker had claimed");
}

void test_first_exception_comes_back_after_all_pieces() {
    const std::size_t threads = pool_thread_count();
    std::vector<std::atomic<int>> finished(threads);
    try {
        parallel_for(threads, 1, [&](std::size_t b, std::size_t) {
            if (b == 0) throw std::runtime_error("piece zero");
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            finished[b] = 1;
        });
        check(false, "the exception reaches the caller");
    } catch (const std::runtime_error& e) {
        check(std::string(e.what()) == "piece zero", "the body's own exception is rethrown");
        for (std::size_t i = 1; i < threads; ++i)
            check(finished[i] == 1, "every other piece finished first");
    }
    int caught = 0;
    try {
        parallel_for(threads * 10, 1, [](std::size_t b, std::size_t) {
            throw std::out_of_range(std::to_string(b));
        });
    } catch (const std::out_of_range&) {
        ++caught;
    }
    check(caught == 1, "one of several exceptions comes back, with its type");
    std::atomic<std::size_t> covered{0};
    parallel_for(1000, 1, [&](std::size_t b, std::size_t e) { covered += e - b; });
    check(covered == 1000, "the pool works after a failed call");
}

void test_nested_call_runs_inline() {
    std::atomic<std::size_t> inner{0};
    std::atomic<int> wrong_thread{0};
    parallel_for(64, 1, [&](std::size_t b, std::size_t e) {
        const auto outer = std::this_thread::get_id();
        parallel_for(1000, 1, [&](std::size_t ib, std::size_t ie) {
            if (std::this_thread::get_id() != outer) ++wrong_thread;
            inner += (ie - ib) * (e - b);
        });
    });
    check(inner == 64 * 1000, "nested calls complete");
    check(wrong_thread == 0, "a nested call stays on its worker");
}

void test_calls_do_not_allocate() {
    std::vector<double> y(10000);
    auto body = [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) y[i] = 2.0 * static_cast<double>(i);
    };
    for (int i = 0; i < 100; ++i) parallel_for(y.size(), 1, body);
    const std::size_t before = g_allocations.load();
    for (int i = 0; i < 2000; ++i) parallel_for(y.size(), 1, body);
    const std::size_t made =
        g_allocations.load() - before;  // read before check() builds its message
    check(made == 0, "a warm parallel call allocates nothing, made " + std::to_string(made));
}

void test_many_rapid_calls_from_several_threads() {
    auto hammer = [](unsigned seed, int calls, std::atomic<int>& bad) {
        for (int c = 0; c < calls; ++c) {
            seed = seed * 1103515245u + 12345u;
            const std::size_t n = 2 + (seed >> 8) % 3000, grain = 1 + (seed >> 20) % 64;
            std::atomic<std::size_t> total{0};
            parallel_for(n, grain, [&](std::size_t b, std::size_t e) {
                std::size_t s = 0;
                for (std::size_t i = b; i < e; ++i) s += i;
                total += s;
            });
            if (total != n * (n - 1) / 2) ++bad;
        }
    };
    std::atomic<int> bad{0};
    hammer(1, 100000, bad);
    std::vector<std::thread> callers;
    for (unsigned t = 0; t < 3; ++t) callers.emplace_back(hammer, 100 + t, 20000, std::ref(bad));
    for (auto& t : callers) t.join();
    check(bad == 0, "every call of the stress loop covered its range once");
}

void test_idle_pool_sleeps() {
    parallel_for(1000, 1, [](std::size_t, std::size_t) {});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const double before = cpu_seconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double used = cpu_seconds() - before;
    check(used < 0.02, "idle workers stop spinning (used " + std::to_string(used * 1e3) +
                           " ms of CPU in 200 ms)");
}

void test_fork_child_builds_its_own_pool() {
    parallel_for(1000, 1, [](std::size_t, std::size_t) {});  // the parent's pool exists
    const std::size_t threads = pool_thread_count();
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<double> y(100000);
        parallel_for(y.size(), 1, [&](std::size_t b, std::size_t e) {
            for (std::size_t i = b; i < e; ++i) y[i] = 3.0 * static_cast<double>(i);
        });
        bool ok = workers_running() == (threads > 1 ? static_cast<int>(threads) : 0);
        for (std::size_t i = 0; i < y.size(); ++i) ok = ok && y[i] == 3.0 * static_cast<double>(i);
        _exit(ok ? 0 : 1);
    }
    const auto status = reap(pid, std::chrono::seconds(20));
    check(status == 0, "a forked child's parallel call completes with its own workers");
}

void test_fork_while_another_thread_dispatches() {
#if defined(__SANITIZE_THREAD__)
    std::printf(
        "skipped under ThreadSanitizer: it cannot follow a fork of a busy threaded process\n");
    return;
#endif
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        while (!stop) parallel_for(5000, 1, [](std::size_t, std::size_t) {});
    });
    int good = 0;
    for (int round = 0; round < 50; ++round) {
        const pid_t pid = fork();
        if (pid == 0) {
            std::atomic<std::size_t> covered{0};
            parallel_for(10000, 1, [&](std::size_t b, std::size_t e) { covered += e - b; });
            _exit(covered == 10000 ? 0 : 1);
        }
        if (reap(pid, std::chrono::seconds(20)) != 0) break;
        ++good;
    }
    stop = true;
    busy.join();
    check(good == 50, "children forked mid-dispatch work (" + std::to_string(good) + "/50)");
}

void test_thread_count_from_environment() {
    const std::size_t cpus = tarnwick::core::platform::usable_processors();
    struct Case {
        std::vector<std::string> env;
        std::size_t expect;
    };
    const std::vector<Case> cases = {
        {{}, cpus},
        {{"RAYON_NUM_THREADS=3"}, 3},
        {{"RAYON_NUM_THREADS=+3"}, 3},
        {{"RAYON_NUM_THREADS=007"}, 7},
        {{"RAYON_NUM_THREADS=0", "RAYON_RS_NUM_CPUS=5"}, cpus},
        {{"RAYON_NUM_THREADS=2", "RAYON_RS_NUM_CPUS=5"}, 2},
        {{"RAYON_NUM_THREADS= 3", "RAYON_RS_NUM_CPUS=5"}, 5},
        {{"RAYON_NUM_THREADS=3 "}, cpus},
        {{"RAYON_NUM_THREADS=-3"}, cpus},
        {{"RAYON_NUM_THREADS=++3"}, cpus},
        {{"RAYON_NUM_THREADS=+"}, cpus},
        {{"RAYON_NUM_THREADS="}, cpus},
        {{"RAYON_NUM_THREADS=3x", "RAYON_RS_NUM_CPUS=4"}, 4},
        {{"RAYON_NUM_THREADS=18446744073709551616", "RAYON_RS_NUM_CPUS=4"}, 4},
        {{"RAYON_RS_NUM_CPUS=5"}, 5},
        {{"RAYON_RS_NUM_CPUS=0"}, cpus},
        {{"RAYON_RS_NUM_CPUS=many"}, cpus},
        // Far more than the machine can run: capped at 8 per processor.
        {{"RAYON_NUM_THREADS=1000000"}, std::min<std::size_t>(8 * cpus, 4094)},
        {{"RAYON_NUM_THREADS=1099511627776"}, std::min<std::size_t>(8 * cpus, 4094)},
        {{"RAYON_RS_NUM_CPUS=50000000"}, std::min<std::size_t>(8 * cpus, 4094)},
    };
    for (const auto& c : cases) {
        const Spawned r = spawn_self("--report", c.env);
        std::size_t before = 0, after = 0, covered = 0;
        int workers = 0;
        const bool parsed =
            std::sscanf(r.out.c_str(), "%zu %zu %d %zu", &before, &after, &workers, &covered) == 4;
        std::string name;
        for (auto& e : c.env) name += e + " ";
        check(r.status == 0 && parsed, "child ran: " + name);
        check(before == c.expect && after == c.expect, "thread count for [" + name + "] is " +
                                                           std::to_string(c.expect) + ", got " +
                                                           std::to_string(before));
        const int expect_workers = c.expect > 1 ? static_cast<int>(c.expect) : 0;
        check(workers == expect_workers && covered == 1000,
              "the pool started its count of workers: " + name);
    }
    const Spawned pinned = spawn_self("--report", {}, true);
    check(pinned.out == "1 1 0 1000\n",
          "one allowed processor: one thread, no workers, got " + pinned.out);
    const Spawned crowded = spawn_self("--report", {"RAYON_NUM_THREADS=8"}, true);
    check(crowded.out == "8 8 8 1000\n",
          "eight threads on one processor cover the range, got " + crowded.out);
}

// A fake /proc and /sys under a fresh directory, with the given files.
struct FakeRoot {
    std::string path;
    explicit FakeRoot(const std::vector<std::pair<std::string, std::string>>& files) {
        char name[] = "/tmp/tarnwick-cgroup-XXXXXX";
        path = mkdtemp(name) ? name : "";
        for (const auto& [file, text] : files) {
            const std::filesystem::path full = path + file;
            std::filesystem::create_directories(full.parent_path());
            std::ofstream(full) << text;
        }
    }
    ~FakeRoot() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
};

void test_cgroup_quota() {
    using tarnwick::core::platform::allowed_processors;
    using tarnwick::core::platform::cgroup_cpu_limit;
    using tarnwick::core::platform::usable_processors;
    const std::string v2_mount = "30 23 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw\n";
    const std::string v1_mount =
        "40 31 0:37 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n";
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> files;
        std::optional<double> limit;
    };
    const std::vector<Case> cases = {
        {"v2, two processors",
         {{"/proc/self/cgroup", "0::/\n"},
          {"/proc/self/mountinfo", v2_mount},
          {"/sys/fs/cgroup/cpu.max", "200000 100000\n"}},
         2.0},
        {"v2, no limit",
         {{"/proc/self/cgroup", "0::/\n"},
          {"/proc/self/mountinfo", v2_mount},
          {"/sys/fs/cgroup/cpu.max", "max 100000\n"}},
         std::nullopt},
        {"v2, a parent's limit binds",
         {{"/proc/self/cgroup", "0::/user.slice/app\n"},
          {"/proc/self/mountinfo", v2_mount},
          {"/sys/fs/cgroup/user.slice/app/cpu.max", "max 100000\n"},
          {"/sys/fs/cgroup/user.slice/cpu.max", "150000 100000\n"}},
         1.5},
        {"v2, the tightest along the path",
         {{"/proc/self/cgroup", "0::/a/b\n"},
          {"/proc/self/mountinfo", v2_mount},
          {"/sys/fs/cgroup/a/b/cpu.max", "50000 100000\n"},
          {"/sys/fs/cgroup/a/cpu.max", "400000 100000\n"}},
         0.5},
        {"v1, group mounted as the hierarchy's root",
         {{"/proc/self/cgroup", "5:memory:/docker/abc\n4:cpu,cpuacct:/docker/abc\n"},
          {"/proc/self/mountinfo",
           "40 31 0:37 /docker/abc /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n"},
          {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "300000\n"},
          {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"}},
         3.0},
        {"v1, no limit",
         {{"/proc/self/cgroup", "4:cpu,cpuacct:/\n"},
          {"/proc/self/mountinfo", v1_mount},
          {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "-1\n"},
          {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"}},
         std::nullopt},
        {"hybrid: v2 without the cpu controller, v1 with a limit",
         {{"/proc/self/cgroup", "4:cpu,cpuacct:/\n0::/\n"},
          {"/proc/self/mountinfo",
           v1_mount + "41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n"},
          {"/sys/fs/cgroup/unified/cgroup.procs", "1\n"},
          {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "100000\n"},
          {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "50000\n"}},
         2.0},
        {"an escaped mount point",
         {{"/proc/self/cgroup", "0::/\n"},
          {"/proc/self/mountinfo", "30 23 0:26 / /sys/fs/cg\\040two rw - cgroup2 cgroup2 rw\n"},
          {"/sys/fs/cg two/cpu.max", "100000 100000\n"}},
         1.0},
        {"a group outside the mounted subtree",
         {{"/proc/self/cgroup", "0::/elsewhere\n"},
          {"/proc/self/mountinfo", "30 23 0:26 /mine /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n"},
          {"/sys/fs/cgroup/cpu.max", "100000 100000\n"}},
         std::nullopt},
        {"malformed limit files",
         {{"/proc/self/cgroup", "0::/\n"},
          {"/proc/self/mountinfo", v2_mount},
          {"/sys/fs/cgroup/cpu.max", "lots 100000\n"}},
         std::nullopt},
        {"no control groups", {}, std::nullopt},
    };
    for (const auto& c : cases) {
        const FakeRoot root(c.files);
        const auto limit = cgroup_cpu_limit(root.path);
        check(limit == c.limit, std::string("cgroup limit: ") + c.name);
    }

    // The quota, rounded up, caps the processors; the environment still wins over it.
    const std::size_t allowed = allowed_processors();
    const FakeRoot half({{"/proc/self/cgroup", "0::/\n"},
                         {"/proc/self/mountinfo", v2_mount},
                         {"/sys/fs/cgroup/cpu.max", "50000 100000\n"}});
    const FakeRoot roomy({{"/proc/self/cgroup", "0::/\n"},
                          {"/proc/self/mountinfo", v2_mount},
                          {"/sys/fs/cgroup/cpu.max", "6400000 100000\n"}});
    check(usable_processors(half.path) == 1, "half a processor's quota gives one thread");
    check(usable_processors(roomy.path) == allowed, "a quota above the processors caps nothing");
    const std::string saved =
        std::getenv("RAYON_NUM_THREADS") ? std::getenv("RAYON_NUM_THREADS") : "";
    struct Env {
        const char* num_threads;
        const char* rs_num_cpus;
        std::size_t expect;
    };
    for (const Env& e : {Env{nullptr, nullptr, 1}, Env{"0", nullptr, 1}, Env{"3", nullptr, 3},
                         Env{nullptr, "5", 5}, Env{"x", "0", 1}}) {
        e.num_threads ? setenv("RAYON_NUM_THREADS", e.num_threads, 1)
                      : unsetenv("RAYON_NUM_THREADS");
        e.rs_num_cpus ? setenv("RAYON_RS_NUM_CPUS", e.rs_num_cpus, 1)
                      : unsetenv("RAYON_RS_NUM_CPUS");
        check(configured_thread_count(half.path) == e.expect,
              std::string("thread count under a quota with RAYON_NUM_THREADS=") +
                  (e.num_threads ? e.num_threads : "(unset)"));
    }
    unsetenv("RAYON_RS_NUM_CPUS");
    setenv("RAYON_NUM_THREADS", saved.c_str(), 1);
}

// The system's thread limits, each alone, and the pool's size under them: half the tightest.
void test_thread_limits_cap_the_pool() {
    using tarnwick::core::platform::thread_limit;
    rlimit own{};
    getrlimit(RLIMIT_NPROC, &own);
    const auto with_own = [&own](std::size_t limit) {
        return own.rlim_cur == RLIM_INFINITY ? limit : std::min<std::size_t>(limit, own.rlim_cur);
    };
    const std::string v2_mount = "30 23 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw\n";
    const FakeRoot v2({{"/proc/self/cgroup", "0::/app/job\n"},
                       {"/proc/self/mountinfo", v2_mount},
                       {"/sys/fs/cgroup/app/job/pids.max", "max\n"},
                       {"/sys/fs/cgroup/app/pids.max", "10\n"}});
    const FakeRoot v1(
        {{"/proc/self/cgroup", "8:pids:/job\n4:cpu,cpuacct:/\n"},
         {"/proc/self/mountinfo", "41 31 0:40 / /sys/fs/cgroup/pids rw - cgroup cgroup rw,pids\n"},
         {"/sys/fs/cgroup/pids/job/pids.max", "6\n"}});
    using Files = std::vector<std::pair<std::string, std::string>>;
    const FakeRoot kernel(Files{{"/proc/sys/kernel/threads-max", "12\n"}});
    const FakeRoot single(Files{{"/proc/sys/kernel/threads-max", "1\n"}});
    const FakeRoot none(Files{});
    check(thread_limit(v2.path) == with_own(10), "cgroup v2: a parent's pids.max binds");
    check(thread_limit(v1.path) == with_own(6), "cgroup v1: the pids controller's pids.max");
    check(thread_limit(kernel.path) == with_own(12), "the kernel's threads-max");
    check(own.rlim_cur != RLIM_INFINITY || !thread_limit(none.path), "no limit anywhere");

    const std::string saved =
        std::getenv("RAYON_NUM_THREADS") ? std::getenv("RAYON_NUM_THREADS") : "";
    setenv("RAYON_NUM_THREADS", "8", 1);
    check(configured_thread_count(v2.path) == std::min<std::size_t>(8, with_own(10) / 2),
          "a pids limit of 10 leaves room: 5 threads");
    check(configured_thread_count(v1.path) == std::min<std::size_t>(8, with_own(6) / 2),
          "a pids limit of 6: 3 threads");
    check(configured_thread_count(single.path) == 1, "a limit of one thread: the caller alone");
    setenv("RAYON_NUM_THREADS", saved.c_str(), 1);
}

void test_tree_reduce_is_fixed() {
    std::size_t calls = 0;
    const double empty = tree_reduce<double>(0, 8, 1, [&](std::size_t b, std::size_t e) {
        ++calls;
        check(b == 0 && e == 0, "n == 0 asks for leaf_sum(0, 0)");
        return 0.5;
    });
    check(empty == 0.5 && calls == 1, "n == 0 returns leaf_sum(0, 0)");

    double naive = 0.0;
    for (std::size_t i = 0; i < 100000; ++i) naive += term(i);
    check(bits(naive) != bits(tree_by_definition(0, 100000, 64)),
          "the test series is order-sensitive");

    for (std::size_t leaf : {0u, 1u, 3u, 64u, 1000u}) {
        for (std::size_t n = 1; n < 700; n += 1 + n / 8) {
            check(bits(tree_on_pool(n, leaf, 1)) ==
                      bits(tree_by_definition(0, n, std::max<std::size_t>(leaf, 1))),
                  "tree matches its definition: n=" + std::to_string(n) +
                      " leaf=" + std::to_string(leaf));
        }
        for (std::size_t n : {4096u, 4097u, 99999u, 1000003u}) {
            const double expect = tree_by_definition(0, n, std::max<std::size_t>(leaf, 1));
            check(bits(tree_on_pool(n, leaf, 1)) == bits(expect),
                  "parallel tree matches: n=" + std::to_string(n));
            check(bits(tree_on_pool(n, leaf, n + 1)) == bits(expect),
                  "inline tree matches: n=" + std::to_string(n));
        }
    }

    std::optional<std::string> first;
    for (const char* threads : {"1", "2", "3", "5", "16", "16 on one processor"}) {
        const bool one_cpu = std::strchr(threads, ' ') != nullptr;
        const Spawned r = spawn_self(
            "--tree", {std::string("RAYON_NUM_THREADS=") + std::to_string(std::atoi(threads))},
            one_cpu);
        check(r.status == 0 && r.out.size() == 5 * 17,
              std::string("tree child ran with threads=") + threads);
        if (!first) first = r.out;
        check(r.out == *first, std::string("tree sums are identical with threads=") + threads);
    }
}

}  // namespace

// Counts every allocation through operator new, so the hot path can be shown to make none.
void* operator new(std::size_t size) {
    ++g_allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, std::align_val_t align) {
    ++g_allocations;
    const auto a = static_cast<std::size_t>(align);
    if (void* p = std::aligned_alloc(a, (std::max<std::size_t>(size, 1) + a - 1) / a * a)) return p;
    throw std::bad_alloc();
}
// Out of line, or GCC inlines free() into library code and warns it does not match new.
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--report") == 0) return report_mode();
    if (argc > 1 && std::strcmp(argv[1], "--tree") == 0) return tree_mode();

    // More workers than processors unless told otherwise: the oversubscribed case is the one
    // where a careless wait loop stalls.
    setenv("RAYON_NUM_THREADS",
           std::getenv("RAYON_NUM_THREADS") ? std::getenv("RAYON_NUM_THREADS") : "4", 1);
    alarm(600);  // a deadlock fails the run rather than hanging it

    test_small_calls_stay_inline_and_start_nothing();
    test_pieces_cover_the_range();
    test_workers_are_not_pinned();
    test_caller_runs_what_no_worker_claimed();
    test_first_exception_comes_back_after_all_pieces();
    test_nested_call_runs_inline();
    test_calls_do_not_allocate();
    test_many_rapid_calls_from_several_threads();
    test_idle_pool_sleeps();
    test_fork_child_builds_its_own_pool();
    test_fork_while_another_thread_dispatches();
    test_thread_count_from_environment();
    test_thread_limits_cap_the_pool();
    test_tree_reduce_is_fixed();
    test_cgroup_quota();

    if (g_failures != 0) {
        std::fprintf(stderr, "%d check(s) failed\n", g_failures);
        return 1;
    }
    std::printf("pool tests passed (%zu threads)\n", pool_thread_count());
    return 0;
}
