// The failures a kernel can report. Core code knows nothing of Python; the module layer maps
// each of these to its exception at the entry of the call.
#pragma once

#include <source_location>
#include <string>
#include <string_view>

namespace tarnwick::core {

// The list functions' own error kinds; each has a fixed message.
enum class KernelErrorKind { EmptyInput, Overflow, DimensionMismatch };

struct KernelError {
    KernelErrorKind kind;

    constexpr std::string_view message() const noexcept {
        switch (kind) {
            case KernelErrorKind::EmptyInput:
                return "Input cannot be empty";
            case KernelErrorKind::Overflow:
                return "Computation resulted in overflow";
            case KernelErrorKind::DimensionMismatch:
                return "Matrix dimensions do not match";
        }
        return {};
    }
};

// Shapes that do not fit together; reaches Python as ValueError with this exact message.
struct ShapeError {
    std::string message;
};

// A condition the call cannot continue from. Reaches Python as PanicException.
struct Fault {
    std::string message;
    std::source_location where;
};

[[noreturn]] inline void fault(std::string message,
                               std::source_location where = std::source_location::current()) {
    throw Fault{std::move(message), where};
}

}  // namespace tarnwick::core
