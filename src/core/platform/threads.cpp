#include "core/platform/threads.hpp"

#if defined(__linux__) || defined(__APPLE__)
#include <pthread.h>
#endif
#if defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#endif

namespace tarnwick::core::platform {

#if defined(__linux__)

// The initial thread's id is the process id.
bool on_main_thread() noexcept { return syscall(SYS_gettid) == getpid(); }

void name_current_thread(const char* name) noexcept {
    char kept[16] = {};  // the kernel refuses longer names rather than cutting them
    std::strncpy(kept, name, sizeof kept - 1);
    pthread_setname_np(pthread_self(), kept);
}

#elif defined(__APPLE__)

bool on_main_thread() noexcept { return pthread_main_np() != 0; }

void name_current_thread(const char* name) noexcept { pthread_setname_np(name); }

#else

bool on_main_thread() noexcept { return false; }

void name_current_thread(const char*) noexcept {}

#endif

std::string current_thread_name() {
#if defined(__linux__) || defined(__APPLE__)
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) == 0) return name;
#endif
    return {};
}

}  // namespace tarnwick::core::platform
