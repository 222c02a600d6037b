// Checks the exact vector exponentials against the C library far beyond the run-time guard,
// and times them. Built and run by run.sh:
//   verify which               the variant chosen here, and the guard's verdict on each
//   verify doubles N           exp on N random doubles (half random bit patterns, so every
//                              binade, half uniform over the table-driven range), every variant
//   verify floats [STRIDE]     expf on every STRIDE-th float bit pattern (default 1: all 2^32),
//                              every variant
//   verify bench               values per second per thread: vector exp against ::exp
//   verify guard               the guard rejects variants that differ from the library in a
//                              way a different build or algorithm would
#include <math.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/dispatch/cpu.hpp"
#include "core/exp/kernels.hpp"

namespace {

using tarnwick::core::exact_exp::Kernels;
namespace exact_exp = tarnwick::core::exact_exp;
namespace cpu = tarnwick::core::cpu;

std::vector<const Kernels*> runnable_variants() {
    std::vector<const Kernels*> out;
#if TARNWICK_X86_VARIANTS
    if (cpu::level() >= cpu::Level::avx2) out.push_back(&exact_exp::avx2::vector);
    if (cpu::level() >= cpu::Level::avx512) out.push_back(&exact_exp::avx512::vector);
#endif
    return out;
}

std::uint64_t mix(std::uint64_t z) {  // splitmix64
    z += 0x9e3779b97f4a7c15u;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
}

unsigned thread_count() { return std::max(1u, std::thread::hardware_concurrency()); }

// Runs body(begin, end) over [0, n) in blocks on every processor.
template <class Body>
void in_parallel(std::uint64_t n, std::uint64_t block, Body body) {
    std::atomic<std::uint64_t> next{0};
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < thread_count(); ++t) {
        threads.emplace_back([&] {
            for (std::uint64_t b; (b = next.fetch_add(block)) < n;) body(b, std::min(n, b + block));
        });
    }
    for (auto& t : threads) t.join();
}

int check_doubles(std::uint64_t n) {
    int failures = 0;
    for (const Kernels* v : runnable_variants()) {
        std::atomic<std::uint64_t> bad{0}, special{0};
        in_parallel(n, 1 << 16, [&](std::uint64_t begin, std::uint64_t end) {
            const std::size_t len = end - begin;
            std::vector<double> x(len), got(len);
            for (std::size_t i = 0; i < len; ++i) {
                const std::uint64_t r = mix(begin + i);
                x[i] = (r & 1) ? std::bit_cast<double>(mix(r))
                               : -746.0 + 1456.0 * static_cast<double>(r >> 11) * 0x1p-53;
            }
            v->exp(x.data(), got.data(), len);
            std::uint64_t b = 0, s = 0;
            for (std::size_t i = 0; i < len; ++i) {
                const double want = ::exp(x[i]);
                if (std::bit_cast<std::uint64_t>(want) != std::bit_cast<std::uint64_t>(got[i])) {
                    if (b++ < 3)
                        std::printf("  %s exp(%a): %a, library %a\n", v->name, x[i], got[i], want);
                }
                s += !(std::fabs(x[i]) < 512.0 && std::fabs(x[i]) >= 0x1p-54);
            }
            bad += b;
            special += s;
        });
        std::printf("exp %s: %llu doubles, %llu outside the table-driven range, %llu differ\n",
                    v->name, static_cast<unsigned long long>(n),
                    static_cast<unsigned long long>(special.load()),
                    static_cast<unsigned long long>(bad.load()));
        failures += bad != 0;
    }
    return failures;
}

int check_floats(std::uint64_t stride) {
    int failures = 0;
    const std::uint64_t n = ((std::uint64_t{1} << 32) + stride - 1) / stride;
    for (const Kernels* v : runnable_variants()) {
        std::atomic<std::uint64_t> bad{0};
        in_parallel(n, 1 << 16, [&](std::uint64_t begin, std::uint64_t end) {
            const std::size_t len = end - begin;
            std::vector<float> x(len), got(len);
            for (std::size_t i = 0; i < len; ++i)
                x[i] = std::bit_cast<float>(static_cast<std::uint32_t>((begin + i) * stride));
            v->expf(x.data(), got.data(), len);
            std::uint64_t b = 0;
            for (std::size_t i = 0; i < len; ++i) {
                const float want = ::expf(x[i]);
                if (std::bit_cast<std::uint32_t>(want) != std::bit_cast<std::uint32_t>(got[i])) {
                    if (b++ < 3)
                        std::printf("  %s expf(%a): %a, library %a\n", v->name, x[i], got[i], want);
                }
            }
            bad += b;
        });
        std::printf("expf %s: %llu float bit patterns, %llu differ\n", v->name,
                    static_cast<unsigned long long>(n),
                    static_cast<unsigned long long>(bad.load()));
        failures += bad != 0;
    }
    return failures;
}

template <class T, class F>
double ns_per_value(F run, const std::vector<T>& x, std::vector<T>& y) {
    std::vector<double> times;
    for (int rep = 0; rep < 15; ++rep) {
        const auto start = std::chrono::steady_clock::now();
        run(x.data(), y.data(), x.size());
        times.push_back(
            std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2] / static_cast<double>(x.size());
}

constexpr std::size_t kRows = exact_exp::kRowGroup;

void bench() {
    constexpr std::size_t n = 1 << 14;  // in the first-level cache with its result
    std::vector<double> x(n), y(n);
    std::vector<float> xf(n), yf(n);
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = -10.0 + 20.0 * static_cast<double>(mix(i) >> 11) * 0x1p-53;
        xf[i] = static_cast<float>(x[i]);
    }
    // Alternate the variants so that a burst of other load hits them alike.
    for (int round = 0; round < 3; ++round) {
        const Kernels& lib = exact_exp::portable;
        for (const Kernels* v : runnable_variants()) {
            auto line = [&](const char* what, double vec, double scalar) {
                std::printf("round %d %s %-9s %5.2f ns per value (library calls %5.2f, %.1fx)\n",
                            round, v->name, what, vec, scalar, scalar / vec);
            };
            line("exp", ns_per_value<double>(v->exp, x, y), ns_per_value<double>(lib.exp, x, y));
            line("expf", ns_per_value<float>(v->expf, xf, yf),
                 ns_per_value<float>(lib.expf, xf, yf));
            line("sigmoid", ns_per_value<double>(v->sigmoid, x, y),
                 ns_per_value<double>(lib.sigmoid, x, y));
            line("sigmoidf", ns_per_value<float>(v->sigmoidf, xf, yf),
                 ns_per_value<float>(lib.sigmoidf, xf, yf));
            // Softmax rows of 1024 values: a group's sums side by side, and one row at a time.
            auto rows = [&](const Kernels& k, bool grouped) {
                return [&k, grouped](const double* in, double* out, std::size_t len) {
                    constexpr std::size_t kCols = 1024;
                    for (std::size_t i = 0; i + kRows * kCols <= len; i += kRows * kCols) {
                        const double* row_in[kRows];
                        double* row_out[kRows];
                        double m[kRows], sums[kRows];
                        for (std::size_t r = 0; r < kRows; ++r) {
                            row_in[r] = in + i + r * kCols;
                            row_out[r] = out + i + r * kCols;
                            m[r] = 1.0;
                            sums[r] = -0.0;
                        }
                        if (grouped) {
                            k.exp_shifted_sums(row_in, m, row_out, kCols, sums, kRows);
                        } else {
                            for (std::size_t r = 0; r < kRows; ++r)
                                sums[r] =
                                    k.exp_shifted_sum(row_in[r], m[r], row_out[r], kCols, sums[r]);
                        }
                    }
                };
            };
            line("rows", ns_per_value<double>(rows(*v, true), x, y),
                 ns_per_value<double>(rows(lib, true), x, y));
            line("row each", ns_per_value<double>(rows(*v, false), x, y),
                 ns_per_value<double>(rows(lib, false), x, y));
        }
    }
}

// Variants that differ from the library: rounded from a wider exp (as a correctly rounded
// library would be), one ulp off in a single binade, or off in the last lane of a vector.
void exp_from_long_double(const double* x, double* y, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) y[i] = static_cast<double>(::expl(x[i]));
}
void exp_off_in_one_binade(const double* x, double* y, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        y[i] = ::exp(x[i]);
        if (std::fabs(x[i]) >= 64.0 && std::fabs(x[i]) < 128.0) y[i] = std::nextafter(y[i], 0.0);
    }
}
void expf_off_in_last_lane(const float* x, float* y, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) y[i] = ::expf(x[i]) * (i % 8 == 7 ? 1.0000001f : 1.0f);
}
void sigmoidf_widened(const float* x, float* y, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        y[i] = static_cast<float>(1.0 / (1.0 + ::exp(-double{x[i]})));
}

int check_guard() {
    int failures = 0;
    auto expect = [&](const char* what, Kernels k, bool want) {
        const bool got = exact_exp::agrees_with_library(k);
        std::printf("guard on %s: %s\n", what, got ? "agrees" : "differs");
        failures += got != want;
    };
    expect("the library", exact_exp::portable, true);
    Kernels k = exact_exp::portable;
    k.exp = exp_from_long_double;
    expect("exp rounded from long double", k, false);
    k = exact_exp::portable;
    k.exp = exp_off_in_one_binade;
    expect("exp one ulp off in [64, 128)", k, false);
    k = exact_exp::portable;
    k.expf = expf_off_in_last_lane;
    expect("expf off in every eighth value", k, false);
    k = exact_exp::portable;
    k.sigmoidf = sigmoidf_widened;
    expect("sigmoidf through double", k, false);
    return failures;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "which";
    if (mode == "which") {
        std::printf("level %s, chosen %s\n", cpu::name(cpu::level()), exact_exp::kernels().name);
        for (const Kernels* v : runnable_variants()) {
            std::printf("guard on %s: %s\n", v->name,
                        exact_exp::agrees_with_library(*v) ? "agrees" : "DIFFERS");
        }
        return 0;
    }
    if (mode == "doubles")
        return check_doubles(argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000000000) != 0;
    if (mode == "floats") {
        const std::uint64_t stride = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
        return check_floats(stride == 0 ? 1 : stride) != 0;
    }
    if (mode == "guard") return check_guard() != 0;
    if (mode == "bench") {
        bench();
        return 0;
    }
    std::fprintf(stderr, "usage: verify which | doubles N | floats [STRIDE] | guard | bench\n");
    return 2;
}
