// The worker pool behind parallel_for: one detached std::thread per configured thread, each
// with its own mailbox, woken by a counter bump plus a futex wake only when it has gone to sleep.
#include "core/pool.hpp"

#include <pthread.h>
#include <sched.h>
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
#include <system_error>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace tarnwick::core {

namespace {

using Clock = std::chrono::steady_clock;

// Polling budgets before a thread parks in the kernel. A worker keeps polling long enough to
// catch the next call of a Python loop over kernels without a futex round trip (on a 2-core VM
// a call costs about 4 us while workers poll and about 40 us once they have parked); the
// caller's budget covers short pieces. Both are short enough that an idle pool costs nothing.
constexpr auto kWorkerSpin = std::chrono::microseconds(50);
constexpr auto kCallerSpin = std::chrono::microseconds(50);

void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#endif
}

// True once ready() holds, false if the budget ran out first. A few pause-polls, then the core
// is yielded: the caller plus one worker per processor is one thread more than there are
// processors, so the thread we wait for is often queued behind us on this very core. Pure
// pause-spinning there would stall it for the whole budget (measured: 7.5 us per warm call
// on 2 cores with a 2 us pure-pause phase, against 4.2 us when yielding right away).
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

// One per worker, on its own cache line so that handing out pieces never bounces a line
// between workers.
struct alignas(64) Mailbox {
    std::atomic<std::uint32_t> calls{0};  // bumped by the dispatcher: one more piece to run
    std::atomic<bool> asleep{false};      // the worker is (about to be) waiting in the kernel
};

struct Pool {
    std::size_t threads = 0;
    std::unique_ptr<Mailbox[]> mailboxes;

    // The call in flight. Written by the dispatcher before it bumps the mailboxes and read by
    // workers after, so the bumps order these plain fields.
    const FunctionRef<void(std::size_t, std::size_t)>* body = nullptr;
    std::size_t n = 0;
    std::size_t pieces = 0;
    std::exception_ptr error;

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
thread_local bool t_holds_for_fork = false;

void run_piece(Pool& pool, std::size_t index) {
    const std::size_t q = pool.n / pool.pieces, r = pool.n % pool.pieces;
    const std::size_t begin = index * q + std::min(index, r);
    const std::size_t end = begin + q + (index < r ? 1 : 0);
    try {
        (*pool.body)(begin, end);
    } catch (...) {
        if (!pool.failed.exchange(true, std::memory_order_relaxed))
            pool.error = std::current_exception();
    }
    // The decrement releases this piece's writes (and `error`) to the dispatcher. Past it the
    // call may already be over, so only the long-lived atomics are touched.
    if (pool.unfinished.fetch_sub(1) == 1 && pool.caller_asleep.load())
        pool.unfinished.notify_one();
}

void worker_main(Pool* pool, std::size_t index, int cpu) {
    t_is_worker = true;
    if (cpu >= 0) {
        cpu_set_t only;
        CPU_ZERO(&only);
        CPU_SET(cpu, &only);
        pthread_setaffinity_np(pthread_self(), sizeof only, &only);
    }
    char name[16];  // the kernel keeps 15 characters of a thread name
    std::snprintf(name, sizeof name, "tarnwick-w-%zu", index);
    pthread_setname_np(pthread_self(), name);

    Mailbox& box = pool->mailboxes[index];
    std::uint32_t seen = 0;  // not a load: the first call may be posted before we get here
    for (;;) {
        auto posted = [&] { return box.calls.load(std::memory_order_acquire) != seen; };
        if (!spin_until(posted, kWorkerSpin)) {
            // Announce the sleep before the last look, so a dispatcher that bumps `calls` after
            // that look is sure to see `asleep` and wake us (both sides are seq_cst).
            box.asleep.store(true);
            while (box.calls.load() == seen) box.calls.wait(seen);
            box.asleep.store(false, std::memory_order_relaxed);
        }
        seen = box.calls.load(std::memory_order_acquire);
        run_piece(*pool, index);
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

// The processors this thread may run on, in order.
std::vector<int> allowed_processors() {
    std::vector<int> cpus;
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &set)) cpus.push_back(cpu);
        }
    }
    return cpus;
}

// Starts the workers. If the system refuses threads part way, the pool keeps the ones it got.
//
// With at least one worker per processor, worker i is pinned to the i-th allowed processor.
// The caller makes the machine oversubscribed, and the kernel's balancer then often parks two
// polling workers on one processor and leaves them there, since 2 + 1 threads on 2 processors
// is as balanced as it can see (measured on 2 cores: the two pieces of a 100 us call ran on
// the same processor, one after the other, in 55-100% of warm calls; pinned, in none).
// Fewer workers than processors leave the kernel room to spread them, so they stay free.
Pool* create_pool(std::size_t threads) {
    auto pool = std::make_unique<Pool>();
    pool->mailboxes = std::make_unique<Mailbox[]>(threads);
    const std::vector<int> cpus = allowed_processors();
    const bool pin = !cpus.empty() && threads >= cpus.size();
    std::size_t started = 0;
    {
        SignalsBlocked blocked;
        try {
            for (; started < threads; ++started) {
                const int cpu = pin ? cpus[started % cpus.size()] : -1;
                std::thread(worker_main, pool.get(), started, cpu).detach();
            }
        } catch (const std::system_error&) {
            if (started == 0) throw;
        }
    }
    pool->threads = started;
    return pool.release();  // leaked on purpose, with its detached workers
}

void dispatch(Pool& pool, std::size_t n, std::size_t pieces,
              const FunctionRef<void(std::size_t, std::size_t)>& body) {
    pool.body = &body;
    pool.n = n;
    pool.pieces = pieces;
    pool.error = nullptr;
    pool.failed.store(false, std::memory_order_relaxed);
    pool.caller_asleep.store(false, std::memory_order_relaxed);
    pool.unfinished.store(static_cast<std::uint32_t>(pieces), std::memory_order_relaxed);
    for (std::size_t i = 0; i < pieces; ++i) {
        Mailbox& box = pool.mailboxes[i];
        box.calls.fetch_add(1);
        if (box.asleep.load()) box.calls.notify_one();
    }

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

std::size_t logical_processors() {
    if (const std::size_t count = allowed_processors().size(); count > 0) return count;
    return std::max(1u, std::thread::hardware_concurrency());
}

std::size_t configured_threads() {
    if (const auto count = parse_count(std::getenv("RAYON_NUM_THREADS"))) {
        return *count != 0 ? *count : logical_processors();
    }
    if (const auto count = parse_count(std::getenv("RAYON_RS_NUM_CPUS")); count && *count != 0) {
        return *count;
    }
    return logical_processors();
}

// Fork: the prepare handler waits out any call in flight so the child never inherits a pool
// half way through one. Its workers do not exist in the child, so the child forgets the pool
// (leaking it; nothing in it can be safely destroyed) and gets a fresh, unlocked mutex; its
// next parallel call builds a new pool sized from the child's own environment and affinity.
// A worker is skipped in prepare: it cannot take the lock while its dispatcher holds it.
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

std::size_t pool_thread_count() {
    Shared& s = shared();
    if (const Pool* pool = s.pool.load(std::memory_order_acquire)) return pool->threads;
    std::size_t threads = s.threads.load(std::memory_order_relaxed);
    if (threads == 0) {
        threads = configured_threads();
        s.threads.store(threads, std::memory_order_relaxed);
    }
    return threads;
}

void parallel_for(std::size_t n, std::size_t grain,
                  FunctionRef<void(std::size_t, std::size_t)> body) {
    grain = std::max<std::size_t>(grain, 1);
    // A nested call from a body runs inline: its worker cannot wait on the pool it is part of.
    if (n < grain || n < 2 || t_is_worker) return body(0, n);
    const std::size_t wanted = std::min(pool_thread_count(), n / grain + (n % grain != 0 ? 1 : 0));
    if (wanted <= 1) return body(0, n);

    Shared& s = shared();
    std::lock_guard lock(s.dispatch);
    Pool* pool = s.pool.load(std::memory_order_relaxed);
    if (pool == nullptr) {
        pool = create_pool(pool_thread_count());
        s.pool.store(pool, std::memory_order_release);
    }
    const std::size_t pieces = std::min(wanted, pool->threads);
    if (pieces <= 1) return body(0, n);
    dispatch(*pool, n, pieces, body);
}

}  // namespace tarnwick::core
