#include "core/platform/threads.hpp"

#if defined(__linux__) || defined(__APPLE__)
#include <pthread.h>
#endif
#if defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace tarnwick::core::platform {

bool on_main_thread() noexcept {
#if defined(__linux__)
    return syscall(SYS_gettid) == getpid();  // the initial thread's id is the process id
#elif defined(__APPLE__)
    return pthread_main_np() != 0;
#else
    return false;
#endif
}

std::string current_thread_name() {
#if defined(__linux__) || defined(__APPLE__)
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) == 0) return name;
#endif
    return {};
}

}  // namespace tarnwick::core::platform
