// The worker pool behind parallel_for. A call is a set of fixed pieces behind one claim counter:
// the calling thread and every worker that is running take pieces until none is left, so a
// worker the system has not scheduled yet finds the work done instead of holding it up.
// Workers poll briefly after a call, then sleep in the kernel until the next one wakes them.
#include "core/pool/pool.hpp"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <thread>

#include "core/platform/fp_control.hpp"
#include "core/platform/processors.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace tarnwick::core {

namespace {

using Clock = std::chrono::steady_clock;
using Body = FunctionRef<void(std::size_t, std::size_t)>;

// Polling budgets before a thread parks in the kernel. A worker keeps polling long enough to
// catch the next call of a Python loop over kernels without a futex round trip (on a 2-core VM
// a call costs about 4 us while workers poll and about 40 us once they have parked); the
// caller's budget covers the last pieces of a call. Both are short enough that an idle pool
// costs nothing, and polling yields the processor, so it takes little from other libraries.
constexpr auto kWorkerSpin = std::chrono::microseconds(50);
constexpr auto kCallerSpin = std::chrono::microseconds(50);

void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#endif
}

// True once ready() holds, false if the budget ran out first. A few pause-polls, then the
// processor is yielded: with more runnable threads than processors, the thread we wait for is
// often queued behind us on this very processor.
template <class Ready>
bool spin_until(Ready ready, Clock::duration budget) {
    const auto deadline = Clock::now() + budget;
    do {
        for (int i = 0; i < 16; ++i) {
            if (ready()) return true;
            cpu_relax();
        }
        std::this_thread::yield();
    } while (Clock::now() < deadline);
    return ready();
}

// The claim word: which call (a generation), how many pieces it has and the next unclaimed one,
// in one atomic, so that a thread can only claim a piece of the call the word describes. A
// worker woken for an earlier call that comes late then finds either nothing or a piece of
// the current call that it may rightly run. Generations wrap after 2^40 calls.
constexpr unsigned kIndexBits = 12;
constexpr std::uint64_t kIndexMask = (std::uint64_t{1} << kIndexBits) - 1;
constexpr std::size_t kMaxPieces = kIndexMask;
static_assert(kMaxThreads == kMaxPieces - 1, "a worker more than the pieces is never woken");

constexpr std::size_t next_of(std::uint64_t word) { return word & kIndexMask; }
constexpr std::size_t pieces_of(std::uint64_t word) { return (word >> kIndexBits) & kIndexMask; }
constexpr bool has_unclaimed(std::uint64_t word) { return next_of(word) < pieces_of(word); }
constexpr std::uint64_t generation_of(std::uint64_t word) { return word >> (2 * kIndexBits); }
constexpr std::uint64_t new_call(std::uint64_t word, std::size_t pieces) {
    const std::uint64_t generation = generation_of(word) + 1;
    return generation << (2 * kIndexBits) | std::uint64_t{pieces} << kIndexBits;
}

// One per worker, on its own cache line: how a sleeping worker is woken.
struct alignas(64) Mailbox {
    std::atomic<std::uint32_t> wakes{0};  // bumped to wake the worker from its wait
    std::atomic<bool> asleep{false};      // the worker is (about to be) waiting in the kernel
};

struct Pool {
    std::size_t threads = 0;
    std::unique_ptr<Mailbox[]> mailboxes;

    // The call in flight. Written before the claim word that announces the call and read only
    // by a thread that has claimed one of its pieces: the call cannot end before that piece
    // does, so the values read are the call's own.
    std::atomic<const Body*> body{nullptr};
    std::atomic<std::size_t> n{0};
    std::atomic<platform::FpControl> fp_control{platform::default_fp_control()};  // the caller's
    // Workers worth waking for it (0 to helpers - 1). Read without a claim, by waking workers;
    // a stale value only changes whom one of them wakes.
    std::atomic<std::size_t> helpers{0};
    std::exception_ptr error;  // written by the first failing piece, read once all are done

    alignas(64) std::atomic<std::uint64_t> claim{0};
    alignas(64) std::atomic<std::uint32_t> unfinished{0};
    std::atomic<bool> caller_asleep{false};
    std::atomic<bool> failed{false};
};

// Never destroyed: detached workers, atfork handlers and late callers during interpreter
// shutdown may all still reach it.
struct Shared {
    std::mutex dispatch;  // one call on the pool at a time; also guards creating it
    std::atomic<Pool*> pool{nullptr};
    std::atomic<std::size_t> threads{0};  // the configured count, once computed; 0 = not yet
};

Shared& shared();

thread_local bool t_is_worker = false;
thread_local bool t_is_dispatching = false;  // this caller is inside a call, running pieces
thread_local bool t_holds_for_fork = false;

void run_piece(Pool& pool, std::size_t index, std::size_t pieces) {
    const Body& body = *pool.body.load(std::memory_order_relaxed);
    const std::size_t n = pool.n.load(std::memory_order_relaxed);
    const std::size_t q = n / pieces, r = n % pieces;
    const std::size_t begin = index * q + std::min(index, r);
    const std::size_t end = begin + q + (index < r ? 1 : 0);
    try {
        body(begin, end);
    } catch (...) {
        if (!pool.failed.exchange(true, std::memory_order_relaxed))
            pool.error = std::current_exception();
    }
    // The decrement releases this piece's writes (and `error`) to the caller. Past it the call
    // may already be over, so only the long-lived atomics are touched.
    if (pool.unfinished.fetch_sub(1) == 1 && pool.caller_asleep.load())
        pool.unfinished.notify_one();
}

// Claims and runs pieces until the call has none left unclaimed. A worker first takes on the
// caller's floating-point mode (rounding, flush-to-zero, denormals-are-zero), once per call it
// runs pieces of, so that a piece gives the bits it would give on the caller; the register is
// read once per call (25-30 ns in a virtual machine here) and written only when it differs.
void run_unclaimed(Pool& pool, bool in_worker) {
    std::uint64_t word = pool.claim.load(std::memory_order_acquire);
    std::optional<std::uint64_t> mode_taken_for;  // the call whose mode this thread has
    while (has_unclaimed(word)) {
        // Success makes the piece ours and, through the release of the word by the caller,
        // makes the call's fields visible.
        if (pool.claim.compare_exchange_weak(word, word + 1, std::memory_order_acq_rel,
                                             std::memory_order_acquire)) {
            if (in_worker && mode_taken_for != generation_of(word)) {
                platform::adopt_fp_control(pool.fp_control.load(std::memory_order_relaxed));
                mode_taken_for = generation_of(word);
            }
            run_piece(pool, next_of(word), pieces_of(word));
            word = pool.claim.load(std::memory_order_acquire);
        }
    }
}

// "tarnwick-w-<index>", within the 15 characters that Linux keeps of a thread name.
void format_name(char (&name)[16], std::size_t index) {
    std::snprintf(name, sizeof name, "tarnwick-w-%u", static_cast<unsigned>(index % 10000));
}

// Wakes the first sleeping worker from `first` on that the call has pieces for. The woken
// worker passes the wake on the same way, so that the caller makes one system call instead of
// one per worker before it starts on its own pieces.
void wake_one(Pool& pool, std::size_t first) {
    const std::size_t helpers = pool.helpers.load(std::memory_order_relaxed);
    for (std::size_t i = first; i < helpers; ++i) {
        Mailbox& box = pool.mailboxes[i];
        if (box.asleep.load()) {
            box.wakes.fetch_add(1);
            box.wakes.notify_one();
            return;
        }
    }
}

void worker_main(Pool* pool, std::size_t index) {
    t_is_worker = true;
#if defined(__APPLE__)
    char name[16];  // macOS names only the calling thread
    format_name(name, index);
    pthread_setname_np(name);
#endif
    Mailbox& box = pool->mailboxes[index];
    auto work_posted = [pool] { return has_unclaimed(pool->claim.load()); };
    for (;;) {
        run_unclaimed(*pool, true);
        if (spin_until(work_posted, kWorkerSpin)) continue;
        // Read the mailbox, then announce the sleep, then look once more: a caller that posts
        // after that look sees `asleep` and bumps the mailbox past `seen` (all seq_cst).
        const std::uint32_t seen = box.wakes.load();
        box.asleep.store(true);
        if (!work_posted()) {
            while (box.wakes.load() == seen) box.wakes.wait(seen);
        }
        box.asleep.store(false, std::memory_order_relaxed);
        if (work_posted()) wake_one(*pool, index + 1);
    }
}

// Blocks every signal while workers are spawned so they inherit a full mask: asynchronous
// signals then go to Python's threads, whose handlers expect them.
class SignalsBlocked {
public:
    SignalsBlocked() noexcept {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &saved_);
    }
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

private:
    sigset_t saved_;
};

// Starts the workers, free to run on any processor the process may use, so that the system
// can place them beside other libraries' threads. If the system refuses threads (a process or
// control-group limit), the pool keeps the ones it got, down to none: the caller then runs
// every piece itself, with the same results.
Pool* create_pool(std::size_t threads) {
    auto pool = std::make_unique<Pool>();
    pool->mailboxes = std::make_unique<Mailbox[]>(threads);
    std::size_t started = 0;
    {
        SignalsBlocked blocked;
        try {
            for (; started < threads; ++started) {
                std::thread worker(worker_main, pool.get(), started);
#if defined(__linux__)
                // Named before it first runs, so that it is known by name from the start.
                char name[16];
                format_name(name, started);
                pthread_setname_np(worker.native_handle(), name);
#endif
                worker.detach();
            }
        } catch (...) {
            // A refused thread (std::system_error) or no memory for its start: stop here. The
            // workers started so far already point at the pool, so it must live on.
        }
    }
    pool->threads = started;
    return pool.release();  // leaked on purpose, with its detached workers
}

// Posts the call, wakes a sleeping worker (which wakes the next), runs unclaimed pieces here
// and waits for the ones others took. The caller is the one thread sure to be running: busy
// neighbours (another library's spinning threads, a Python thread) can keep a woken worker off
// the processors for a whole time slice, milliseconds, and then the call does not wait for it.
void dispatch(Pool& pool, std::size_t n, std::size_t pieces, const Body& body) {
    pool.body.store(&body, std::memory_order_relaxed);
    pool.n.store(n, std::memory_order_relaxed);
    pool.fp_control.store(platform::current_fp_control(), std::memory_order_relaxed);
    pool.error = nullptr;
    pool.failed.store(false, std::memory_order_relaxed);
    pool.caller_asleep.store(false, std::memory_order_relaxed);
    pool.unfinished.store(static_cast<std::uint32_t>(pieces), std::memory_order_relaxed);
    pool.helpers.store(std::min(pool.threads, pieces - 1), std::memory_order_relaxed);
    pool.claim.store(new_call(pool.claim.load(std::memory_order_relaxed), pieces));
    wake_one(pool, 0);

    t_is_dispatching = true;
    run_unclaimed(pool, false);  // the caller's pieces run in its own mode
    t_is_dispatching = false;
    auto done = [&] { return pool.unfinished.load(std::memory_order_acquire) == 0; };
    if (!spin_until(done, kCallerSpin)) {
        pool.caller_asleep.store(true);
        for (std::uint32_t left; (left = pool.unfinished.load()) != 0;) pool.unfinished.wait(left);
    }
    if (pool.error) std::rethrow_exception(std::exchange(pool.error, nullptr));
}

// Optional '+', then decimal digits only, and it must fit: anything else is "not a number".
std::optional<std::size_t> parse_count(const char* text) {
    if (text == nullptr) return std::nullopt;
    if (*text == '+') ++text;
    const char* end = text + std::strlen(text);
    std::size_t value = 0;
    auto [stop, error] = std::from_chars(text, end, value);
    if (error != std::errc{} || stop != end) return std::nullopt;
    return value;
}

// What the environment asks for, before the cap: RAYON_NUM_THREADS if positive, else a positive
// RAYON_RS_NUM_CPUS, else (also for RAYON_NUM_THREADS=0) the processors.
std::size_t requested_thread_count(const std::string& cgroup_root) {
    if (const auto count = parse_count(std::getenv("RAYON_NUM_THREADS"))) {
        if (*count != 0) return *count;
    } else if (const auto cpus = parse_count(std::getenv("RAYON_RS_NUM_CPUS")); cpus && *cpus) {
        return *cpus;
    }
    return platform::usable_processors(cgroup_root);
}

// Fork: the prepare handler waits out any call in flight so the child never inherits a pool
// half way through one. Its workers do not exist in the child, so the child forgets the pool
// (leaking it; nothing in it can be safely destroyed) and gets a fresh, unlocked mutex; its
// next parallel call builds a new pool sized from the child's own environment and processors.
// A worker is skipped in prepare: it cannot take the lock while its caller holds it.
void before_fork() noexcept {
    if (t_is_worker) return;
    shared().dispatch.lock();
    t_holds_for_fork = true;
}

void after_fork_in_parent() noexcept {
    if (!std::exchange(t_holds_for_fork, false)) return;
    shared().dispatch.unlock();
}

void after_fork_in_child() noexcept {
    Shared& s = shared();
    s.pool.store(nullptr, std::memory_order_relaxed);
    s.threads.store(0, std::memory_order_relaxed);
    new (&s.dispatch) std::mutex;  // whoever held the old one is gone or is us
    t_holds_for_fork = false;
}

Shared& shared() {
    static Shared& s = []() -> Shared& {
        auto* fresh = new Shared;
        pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
        return *fresh;
    }();
    return s;
}

}  // namespace

std::size_t thread_cap(const std::string& cgroup_root) {
    const std::size_t processors = platform::usable_processors(cgroup_root);  // at most 2^20
    std::size_t cap = std::min(kMaxThreads, processors * kMaxThreadsPerProcessor);
    if (const auto limit = platform::thread_limit(cgroup_root)) cap = std::min(cap, *limit / 2);
    return std::max<std::size_t>(cap, 1);
}

std::size_t configured_thread_count(const std::string& cgroup_root) {
    return std::min(requested_thread_count(cgroup_root), thread_cap(cgroup_root));
}

std::size_t pool_thread_count() {
    Shared& s = shared();
    if (const Pool* pool = s.pool.load(std::memory_order_acquire)) return pool->threads;
    std::size_t threads = s.threads.load(std::memory_order_relaxed);
    if (threads == 0) {
        threads = configured_thread_count();
        s.threads.store(threads, std::memory_order_relaxed);
    }
    return threads;
}

std::size_t piece_count(std::size_t n, std::size_t grain, std::size_t threads) {
    grain = std::max<std::size_t>(grain, 1);
    if (n < grain || n < 2 || threads <= 1) return 1;
    const std::size_t shortest = std::max<std::size_t>(grain / kPiecesPerGrain, 1);
    const std::size_t most = std::min(kMaxPieces, kPiecesPerThread * (threads + 1));
    return std::min(n / shortest, most);
}

void parallel_for(std::size_t n, std::size_t grain, Body body) {
    // Short work runs inline before anything else is looked at (thread-locals in a shared
    // library cost a call each).
    if (n < grain || n < 2) return body(0, n);
    // A nested call from a body runs inline: its thread cannot wait on the pool it is part of.
    if (t_is_worker || t_is_dispatching) return body(0, n);
    const std::size_t pieces = piece_count(n, grain, pool_thread_count());
    if (pieces <= 1) return body(0, n);

    Shared& s = shared();
    std::lock_guard lock(s.dispatch);
    Pool* pool = s.pool.load(std::memory_order_relaxed);
    if (pool == nullptr) {
        pool = create_pool(pool_thread_count());
        s.pool.store(pool, std::memory_order_release);
    }
    dispatch(*pool, n, pieces, body);
}

}  // namespace tarnwick::core
