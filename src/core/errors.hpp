// The failures a kernel can report. Core code knows nothing of Python; the module layer maps
// each of these to its exception at the entry of the call.
#pragma once

#include <array>
#include <cstddef>
#include <source_location>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::core {

// The list functions' own error kinds; each has a fixed message.
enum class KernelErrorKind { EmptyInput, Overflow, DimensionMismatch };

struct KernelError {
    KernelErrorKind kind;
    // What the caller should fix, when the kernel can say more than the fixed message; shown
    // as a note beside it, never in place of it.
    std::string hint = {};

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

// Which rule the shapes broke; the module words the hint for the caller from it.
enum class ShapeRule {
    InnerDimensions,  // the first operand's columns must equal the second's rows
    BiasLength,       // the bias's length must equal the weights' columns
    SameShape,        // every operand must have the first one's shape
};

// One operand as the caller named it, with the shape it had.
struct ShapedOperand {
    std::string_view name;  // the parameter's name, a literal
    std::size_t ndim = 2;
    std::array<std::size_t, 2> shape{};
};

// Shapes that do not fit together; reaches Python as ValueError with this exact message. The
// operands and the rule travel as data so that the caller can be told what to fix.
struct ShapeError {
    std::string message;
    ShapeRule rule = ShapeRule::SameShape;
    std::vector<ShapedOperand> operands;
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
