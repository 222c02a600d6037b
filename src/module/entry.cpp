#include "module/entry.hpp"

#include <exception>
#include <string>

namespace tarnwick::py {

void raise_current_exception() {
    try {
        throw;
    } catch (PyError& error) {
        std::move(error).restore();
    } catch (const core::KernelError& error) {
        auto type =
            error.kind == core::KernelErrorKind::Overflow ? PyExc_RuntimeError : PyExc_ValueError;
        PyErr_SetString(type, error.message().data());  // the messages are literals
    } catch (const core::ShapeError& error) {
        PyErr_SetString(PyExc_ValueError, error.message.c_str());
    } catch (const core::Fault& fault) {
        raise_panic(fault.message, fault.where);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();  // running out of memory is an ordinary Python error, not a fault
    } catch (const std::exception& error) {
        raise_panic(error.what(), std::source_location::current());
    } catch (...) {
        raise_panic("native code failed without a message", std::source_location::current());
    }
}

}  // namespace tarnwick::py
