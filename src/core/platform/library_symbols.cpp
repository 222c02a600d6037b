#include "core/platform/library_symbols.hpp"

#if defined(__linux__) && defined(__GLIBC__)
#include <dlfcn.h>
#include <gnu/libc-version.h>
#include <limits.h>
#include <stdlib.h>

#include <charconv>
#include <cstring>
#include <string>
#include <string_view>
#endif

namespace tarnwick::core::platform {

#if defined(__linux__) && defined(__GLIBC__)

namespace {

// The directory an object was loaded from, with every link resolved, or "" if unknown.
std::string resolved_directory(const char* path) {
    const char* slash = path ? std::strrchr(path, '/') : nullptr;
    if (slash == nullptr) return {};
    const std::string directory(path, slash);
    char resolved[PATH_MAX];
    return realpath(directory.c_str(), resolved) ? std::string(resolved) : std::string();
}

std::string_view file_name(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// dlopen's handle of an object that is loaded already; closed with the scope.
class LoadedObject {
public:
    explicit LoadedObject(const char* path) noexcept
        : handle_(dlopen(path, RTLD_LAZY | RTLD_NOLOAD)) {}
    ~LoadedObject() {
        if (handle_) dlclose(handle_);
    }
    LoadedObject(const LoadedObject&) = delete;
    LoadedObject& operator=(const LoadedObject&) = delete;
    void* handle() const noexcept { return handle_; }

private:
    void* handle_;
};

}  // namespace

std::optional<LibraryVersion> glibc_version() noexcept {
    const std::string_view text = gnu_get_libc_version();  // "2.36"
    LibraryVersion v{};
    const char* end = text.data() + text.size();
    auto [dot, e1] = std::from_chars(text.data(), end, v.major);
    if (e1 != std::errc{} || dot == end || *dot != '.') return std::nullopt;
    auto [rest, e2] = std::from_chars(dot + 1, end, v.minor);
    if (e2 != std::errc{}) return std::nullopt;
    return v;
}

bool is_glibc_libm_symbol(const void* address, const char* name,
                          std::initializer_list<const char*> versions) noexcept {
    try {
        Dl_info symbol{}, libc{};
        if (dladdr(address, &symbol) == 0 || symbol.dli_fname == nullptr) return false;
        if (dladdr(reinterpret_cast<const void*>(&gnu_get_libc_version), &libc) == 0) return false;
        if (file_name(symbol.dli_fname) != "libm.so.6") return false;
        const std::string directory = resolved_directory(symbol.dli_fname);
        if (directory.empty() || directory != resolved_directory(libc.dli_fname)) return false;
        const LoadedObject libm(symbol.dli_fname);
        if (libm.handle() == nullptr) return false;
        for (const char* version : versions) {
            if (dlvsym(libm.handle(), name, version) == address) return true;
        }
        return false;
    } catch (...) {  // no memory for a path: nothing proven
        return false;
    }
}

#else  // macOS and other C libraries: their exp is not the algorithm the kernels follow

std::optional<LibraryVersion> glibc_version() noexcept { return std::nullopt; }

bool is_glibc_libm_symbol(const void*, const char*, std::initializer_list<const char*>) noexcept {
    return false;
}

#endif

}  // namespace tarnwick::core::platform
