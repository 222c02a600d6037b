// Facts about the calling thread and its name, as far as the operating system tells them.
#pragma once

#include <string>

namespace tarnwick::core::platform {

// Whether the caller is the process's initial thread; false where that cannot be told.
bool on_main_thread() noexcept;

// The calling thread's name, or "" when it has none or the system keeps no names.
std::string current_thread_name();

// Names the calling thread for debuggers and process listings (Linux keeps 15 characters).
void name_current_thread(const char* name) noexcept;

}  // namespace tarnwick::core::platform
