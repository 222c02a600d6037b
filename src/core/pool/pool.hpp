// The process-wide fork-join pool that kernels split their loops over.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

namespace tarnwick::core {

template <class Sig>
class FunctionRef;

// A borrowed callable: two words, no allocation, trivially copyable. It must not outlive the
// callable it was made from, which is the case for an argument to a call that blocks until done.
template <class R, class... Args>
class FunctionRef<R(Args...)> {
public:
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> &&
                 std::is_object_v<std::remove_reference_t<F>> &&
                 std::is_invocable_r_v<R, std::remove_reference_t<F>&, Args...>)
    FunctionRef(F&& f) noexcept  // implicit, so lambdas pass straight in
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          call_(&invoke<std::remove_reference_t<F>>) {}

    R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

private:
    template <class F>
    static R invoke(void* object, Args... args) {
        if constexpr (std::is_void_v<R>) {
            std::invoke(*static_cast<F*>(object), std::forward<Args>(args)...);
        } else {
            return std::invoke(*static_cast<F*>(object), std::forward<Args>(args)...);
        }
    }

    void* object_;
    R (*call_)(void*, Args...);
};

// Threads the pool has, or will have once a parallel call creates it. Reading it starts
// no threads. The count is read once, from configured_thread_count().
std::size_t pool_thread_count();

// The pool's size as the environment and the machine give it: RAYON_NUM_THREADS if it is a
// positive number, else a positive RAYON_RS_NUM_CPUS, else (also for RAYON_NUM_THREADS=0) the
// processors this process can really use: its affinity mask, capped by its cgroup CPU quota.
// Whatever the environment asks, no more than thread_cap(). Control-group files are looked up
// under `cgroup_root` (tests lay out a fake tree there).
std::size_t configured_thread_count(const std::string& cgroup_root = "/");

// The most threads a pool takes: kMaxThreadsPerProcessor per usable processor (oversubscribing
// by more only queues threads behind each other), no more than kMaxThreads (a call never has
// pieces for more), and no more than half the tightest limit the system puts on this process's
// threads (ulimit -u, a pids control group, the kernel's threads-max), so that the program
// keeps room for threads of its own. At least 1.
inline constexpr std::size_t kMaxThreadsPerProcessor = 8;
inline constexpr std::size_t kMaxThreads = 4094;
std::size_t thread_cap(const std::string& cgroup_root = "/");

// A piece is at least grain / kPiecesPerGrain elements long, so that claiming it costs little
// next to running it; a call has at most kPiecesPerThread pieces per thread (the caller
// counts as one), so that the claims of a large call stay few.
inline constexpr std::size_t kPiecesPerGrain = 4;
inline constexpr std::size_t kPiecesPerThread = 16;

// How many pieces parallel_for cuts [0, n) into with this grain on a pool of `threads`.
// 1 (run inline) when n < grain, n < 2 or threads <= 1.
std::size_t piece_count(std::size_t n, std::size_t grain, std::size_t threads);

// Calls body(begin, end) on contiguous pieces that cover [0, n) exactly once. With
// n < grain, n < 2, one thread, or when called from inside a body, it is a plain body(0, n)
// on this thread. Otherwise [0, n) is cut into piece_count(n, grain, threads) near-equal
// pieces (lengths differ by at most one). Running workers and the calling thread claim them
// one at a time from a shared counter, so a worker that the system has not scheduled holds up
// nothing; which thread ran a piece never shows in its result. The call returns once every
// piece has finished. The first exception a body throws is rethrown here then; later ones are
// dropped. One call at a time runs on the pool; concurrent callers queue. Bodies must not fork.
void parallel_for(std::size_t n, std::size_t grain,
                  FunctionRef<void(std::size_t, std::size_t)> body);

// Sum over [0, n) by a fixed binary tree: a range no longer than `leaf` is leaf_sum(begin, end);
// a longer [b, e) is split at m = b + (e - b) / 2 and valued left + right. The tree depends on n
// and leaf only, so the result is bit-identical for every thread count and whichever thread
// values a subtree. With n >= grain the subtrees below a fixed depth are valued on the pool
// and combined here in tree order.
// For n == 0 this is leaf_sum(0, 0). T must be default-constructible.
template <class T>
T tree_reduce(std::size_t n, std::size_t leaf, std::size_t grain,
              FunctionRef<T(std::size_t, std::size_t)> leaf_sum) {
    if (n == 0) return leaf_sum(0, 0);
    leaf = std::max<std::size_t>(leaf, 1);
    auto value = [&](auto& self, std::size_t b, std::size_t e) -> T {
        if (e - b <= leaf) return leaf_sum(b, e);
        const std::size_t m = b + (e - b) / 2;
        T left = self(self, b, m);
        T right = self(self, m, e);
        return static_cast<T>(left + right);
    };

    // Nodes at depth k are floor(n / 2^k) or ceil(n / 2^k) long, so while (n >> k) > leaf
    // every node at depth k splits and depth k + 1 is full. A few subtrees per thread keeps
    // the load even; the cap bounds the stack array below.
    constexpr std::size_t kMaxParts = 256;
    const std::size_t threads = pool_thread_count();
    unsigned depth = 0;
    while ((std::size_t{1} << depth) < kMaxParts && (std::size_t{1} << depth) / 4 < threads &&
           (n >> depth) > leaf) {
        ++depth;
    }
    const std::size_t parts = std::size_t{1} << depth;
    if (n < grain || parts == 1 || threads == 1) return value(value, 0, n);

    std::array<T, kMaxParts> parts_value{};
    parallel_for(parts, 1, [&](std::size_t first, std::size_t last) {
        for (std::size_t k = first; k < last; ++k) {
            // Walk down from the root: bit i of k (top bit first) picks the right half.
            std::size_t b = 0, e = n;
            for (unsigned bit = depth; bit-- > 0;) {
                const std::size_t m = b + (e - b) / 2;
                ((k >> bit) & 1 ? b : e) = m;
            }
            parts_value[k] = value(value, b, e);
        }
    });
    // Fold each level into the one above, in place: slot i takes its children 2i and 2i + 1,
    // which no earlier slot of this level has overwritten.
    for (std::size_t width = parts; width > 1; width /= 2) {
        for (std::size_t i = 0; i < width / 2; ++i) {
            parts_value[i] = static_cast<T>(parts_value[2 * i] + parts_value[2 * i + 1]);
        }
    }
    return parts_value[0];
}

}  // namespace tarnwick::core
