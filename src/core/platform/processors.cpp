#include "core/platform/processors.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <string_view>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>

#include <cerrno>
#elif defined(__APPLE__)
#include <sys/sysctl.h>
#include <sys/types.h>
#endif

#if defined(__unix__) || defined(__APPLE__)
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace tarnwick::core::platform {

namespace {

std::vector<std::string_view> split(std::string_view text, char by) {
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        const std::size_t stop = text.find(by, start);
        parts.push_back(text.substr(start, stop - start));
        if (stop == std::string_view::npos) return parts;
        start = stop + 1;
    }
}

template <class T>
std::optional<T> number(std::string_view text) {
    T value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// The first line of a file, without its newline; nullopt if it cannot be read.
std::optional<std::string> first_line(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) return std::nullopt;
    return line;
}

std::string under(const std::string& root, std::string_view absolute) {
    std::string_view base = root;
    while (!base.empty() && base.back() == '/') base.remove_suffix(1);
    return std::string(base) + std::string(absolute);
}

// mountinfo writes space, tab, newline and backslash in paths as a backslash and three octal
// digits.
std::string unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::string_view digits = text.substr(i + 1, 3);
        const bool octal =
            text[i] == '\\' && digits.size() == 3 &&
            std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '7'; });
        if (!octal) {
            out.push_back(text[i]);
            continue;
        }
        out.push_back(
            static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 + (digits[2] - '0')));
        i += 3;
    }
    return out;
}

bool lists(std::string_view comma_separated, std::string_view item) {
    const auto items = split(comma_separated, ',');
    return std::find(items.begin(), items.end(), item) != items.end();
}

// One control-group hierarchy that may carry a CPU or task limit.
struct Hierarchy {
    std::string mount_point;  // where it is mounted, e.g. /sys/fs/cgroup
    std::string group;        // our group below the mount point, e.g. /docker/1f2e or ""
};

// The hierarchy this process's group is in, for cgroup v2 (`v2`) or for v1's `controller`.
// The group path in /proc/self/cgroup is relative to the hierarchy's root; the mount may show
// only a subtree of it (its mountinfo root), which is cut off the front.
std::optional<Hierarchy> find_hierarchy(const std::string& root, bool v2,
                                        std::string_view controller) {
    std::optional<std::string> group;
    {
        std::ifstream in(under(root, "/proc/self/cgroup"));
        for (std::string line; std::getline(in, line);) {
            // "id:controllers:path"; the path may itself hold colons.
            const std::size_t a = line.find(':'), b = line.find(':', a + 1);
            if (a == std::string::npos || b == std::string::npos) continue;
            const std::string_view controllers = std::string_view(line).substr(a + 1, b - a - 1);
            const bool match = v2 ? line.compare(0, a, "0") == 0 && controllers.empty()
                                  : lists(controllers, controller);
            if (match) {
                group = line.substr(b + 1);
                break;
            }
        }
    }
    if (!group) return std::nullopt;

    std::ifstream in(under(root, "/proc/self/mountinfo"));
    for (std::string line; std::getline(in, line);) {
        // id parent dev root mount-point options [optional...] - type source super-options
        const auto fields = split(line, ' ');
        const auto dash = std::find(fields.begin(), fields.end(), "-");
        if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 4) continue;
        const std::string_view type = dash[1], super = dash[3];
        if (v2 ? type != "cgroup2" : type != "cgroup" || !lists(super, controller)) continue;
        const std::string mount_root = unescape(fields[3]);
        std::string relative = *group;
        if (mount_root != "/") {
            // Only a group inside the mounted subtree can be reached through this mount.
            if (relative.compare(0, mount_root.size(), mount_root) != 0) continue;
            relative.erase(0, mount_root.size());
            if (!relative.empty() && relative[0] != '/') continue;
        }
        if (relative == "/") relative.clear();
        return Hierarchy{unescape(fields[4]), relative};
    }
    return std::nullopt;
}

// The limit set in one group's directory, in processors.
std::optional<double> limit_in(const std::string& dir, bool v2) {
    if (v2) {
        const auto line = first_line(dir + "/cpu.max");  // "max 100000" or "150000 100000"
        if (!line) return std::nullopt;
        const auto parts = split(*line, ' ');
        const auto quota = number<double>(parts[0]);
        const auto period = parts.size() > 1 ? number<double>(parts[1]) : 100000.0;
        if (!quota || !period || *quota <= 0 || *period <= 0) return std::nullopt;
        return *quota / *period;
    }
    const auto quota_line = first_line(dir + "/cpu.cfs_quota_us");  // -1: no limit
    const auto period_line = first_line(dir + "/cpu.cfs_period_us");
    if (!quota_line || !period_line) return std::nullopt;
    const auto quota = number<double>(*quota_line), period = number<double>(*period_line);
    if (!quota || !period || *quota <= 0 || *period <= 0) return std::nullopt;
    return *quota / *period;
}

// A group's task limit: `pids.max`, a number or "max" (none).
std::optional<std::size_t> tasks_in(const std::string& dir) {
    const auto line = first_line(dir + "/pids.max");
    return line ? number<std::size_t>(*line) : std::nullopt;
}

// The tightest limit from our group up to the hierarchy's root: a parent's limit binds too.
// `limit_in(dir)` reads one group's.
template <class LimitIn>
auto limit_along(const std::string& root, const Hierarchy& h, LimitIn limit_in)
    -> decltype(limit_in(std::string())) {
    decltype(limit_in(std::string())) tightest;
    std::string group = h.group;
    for (;;) {
        if (const auto limit = limit_in(under(root, h.mount_point + group))) {
            tightest = std::min(tightest.value_or(*limit), *limit);
        }
        if (group.empty()) return tightest;
        const std::size_t slash = group.rfind('/');
        group.erase(slash == std::string::npos ? 0 : slash);
    }
}

std::size_t online_processors() {
#if defined(__APPLE__)
    int count = 0;
    std::size_t size = sizeof count;
    if (sysctlbyname("hw.logicalcpu", &count, &size, nullptr, 0) == 0 && count > 0) {
        return static_cast<std::size_t>(count);
    }
#elif defined(_SC_NPROCESSORS_ONLN)
    if (const long count = sysconf(_SC_NPROCESSORS_ONLN); count > 0) {
        return static_cast<std::size_t>(count);
    }
#endif
    return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace

std::size_t allowed_processors() {
#if defined(__linux__)
    // The mask can be larger than a cpu_set_t on very large machines: grow until it fits.
    for (int size = CPU_SETSIZE; size <= (1 << 20); size *= 2) {
        cpu_set_t* set = CPU_ALLOC(size);
        if (set == nullptr) break;
        const std::size_t bytes = CPU_ALLOC_SIZE(size);
        const int got = sched_getaffinity(0, bytes, set);
        const int count = got == 0 ? CPU_COUNT_S(bytes, set) : 0;
        const bool too_small = got != 0 && errno == EINVAL;
        CPU_FREE(set);
        if (count > 0) return static_cast<std::size_t>(count);
        if (!too_small) break;
    }
#endif
    return online_processors();
}

std::optional<double> cgroup_cpu_limit(const std::string& root) {
    std::optional<double> tightest;
    for (const bool v2 : {true, false}) {
        const auto hierarchy = find_hierarchy(root, v2, "cpu");
        if (!hierarchy) continue;
        const auto cpu_limit_in = [v2](const std::string& dir) { return limit_in(dir, v2); };
        if (const auto limit = limit_along(root, *hierarchy, cpu_limit_in)) {
            tightest = std::min(tightest.value_or(*limit), *limit);
        }
    }
    return tightest;
}

std::size_t usable_processors(const std::string& root) {
    std::size_t count = allowed_processors();
    if (const auto limit = cgroup_cpu_limit(root)) {
        const double whole = std::max(1.0, std::ceil(*limit));
        if (whole < static_cast<double>(count)) count = static_cast<std::size_t>(whole);
    }
    return count;
}

std::optional<std::size_t> thread_limit(const std::string& root) {
    std::optional<std::size_t> tightest;
    const auto take = [&tightest](std::optional<std::size_t> limit) {
        if (limit) tightest = std::min(tightest.value_or(*limit), *limit);
    };
#if defined(__unix__) || defined(__APPLE__)
    if (rlimit r{}; getrlimit(RLIMIT_NPROC, &r) == 0 && r.rlim_cur != RLIM_INFINITY) {
        take(static_cast<std::size_t>(r.rlim_cur));
    }
#endif
    if (const auto line = first_line(under(root, "/proc/sys/kernel/threads-max"))) {
        take(number<std::size_t>(*line));
    }
    for (const bool v2 : {true, false}) {
        if (const auto hierarchy = find_hierarchy(root, v2, "pids")) {
            take(limit_along(root, *hierarchy, tasks_in));
        }
    }
    return tightest;
}

}  // namespace tarnwick::core::platform
