// Facts about the calling thread, as far as the operating system tells them.
#pragma once

#include <string>

namespace tarnwick::core::platform {

// Whether the caller is the process's initial thread; false where that cannot be told.
bool on_main_thread() noexcept;

// The calling thread's name, or "" when it has none or the system keeps no names.
std::string current_thread_name();

}  // namespace tarnwick::core::platform
