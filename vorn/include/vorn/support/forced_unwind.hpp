// Telling the forced unwinding that ends a thread from a C++ exception, inside a catch-all
// handler: a plugin thread (or the host) must rethrow it, never report it.
//
// Header-only; part of vorn/support.hpp.
#pragma once

#include <cxxabi.h>

namespace vorn::support {

// Inside a catch-all handler: whether what is being handled is the forced unwinding that ends a
// thread (pthread_exit, pthread_cancel, or an interpreter ending a thread at exit), which must
// always be rethrown. It is no C++ exception, so it has no type; asking that, rather than binding
// a reference to abi::__forced_unwind (an object that does not exist), keeps the handler free of
// undefined behaviour.
inline bool is_forced_unwind() noexcept {
    return abi::__cxa_current_exception_type() == nullptr;
}

}  // namespace vorn::support
