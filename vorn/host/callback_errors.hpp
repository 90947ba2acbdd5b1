// The barrier between a stream's consumer and the delivery thread: a failure of the consumer is
// logged and the stream goes on.
#pragma once

#include <cxxabi.h>

#include <exception>
#include <string_view>

#include <spdlog/spdlog.h>

namespace vorn::DataStream {

// Writes the one error line of a failed consumer call through the default logger.
inline void log_callback_error(std::string_view what) {
    spdlog::error("Error in callback: {}", what);
}

// Inside a catch-all handler: whether what is being handled is the forced unwinding that ends a
// thread (pthread_exit, or the interpreter ending a thread at exit), which must always be rethrown.
// It is no C++ exception, so it has no type; asking that, rather than binding a reference to
// abi::__forced_unwind (an object that does not exist), keeps the handler free of undefined
// behaviour.
inline bool is_forced_unwind() noexcept {
    return abi::__cxa_current_exception_type() == nullptr;
}

// Inside a catch handler, for what is not forced unwinding: logs the exception being handled as a
// consumer failure.
inline void log_current_exception() noexcept {
    try {
        throw;
    } catch (const std::exception& error) {
        log_callback_error(error.what());
    } catch (...) {
        log_callback_error("unknown exception");
    }
}

// Runs `call`; an exception it throws is logged ("Error in callback: {}") and swallowed.
// Forced unwinding is never swallowed.
template <typename Call>
void guard_callback(Call&& call) noexcept(false) {
    try {
        call();
    } catch (const std::exception& error) {
        log_callback_error(error.what());
    } catch (...) {
        if (is_forced_unwind()) {
            throw;
        }
        log_callback_error("unknown exception");
    }
}

}  // namespace vorn::DataStream
