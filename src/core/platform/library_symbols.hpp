// Which C library a function the module calls comes from. The exact exponentials may evaluate
// the library's own algorithm only when the calls really reach that library.
#pragma once

#include <compare>
#include <initializer_list>
#include <optional>

namespace tarnwick::core::platform {

struct LibraryVersion {
    int major;
    int minor;
    friend auto operator<=>(LibraryVersion, LibraryVersion) = default;
};

// The running glibc's version (gnu_get_libc_version), or nullopt under any other C library.
std::optional<LibraryVersion> glibc_version() noexcept;

// Whether `address` is glibc's own definition of `name` in one of `versions` (symbol versions
// such as "GLIBC_2.29"): it lies in libm.so.6 beside the running glibc's libc.so.6, not in a
// preloaded or other object, and equals that libm's symbol of one of those versions. False
// wherever that cannot be told.
bool is_glibc_libm_symbol(const void* address, const char* name,
                          std::initializer_list<const char*> versions) noexcept;

}  // namespace tarnwick::core::platform
