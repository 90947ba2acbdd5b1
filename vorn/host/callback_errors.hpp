// The barrier between a stream's consumer and the delivery thread: a failure of the consumer is
// logged and the stream goes on.
#pragma once

#include <exception>
#include <string_view>

#include <spdlog/spdlog.h>

#include "vorn/support/forced_unwind.hpp"

namespace vorn::DataStream {

// Writes the one error line of a failed consumer call through the default logger.
inline void log_callback_error(std::string_view what) {
    spdlog::error("Error in callback: {}", what);
}

// Inside a catch-all handler: whether what is being handled is the forced unwinding that ends a
// thread, which must always be rethrown (the same test plugins use).
using vorn::support::is_forced_unwind;

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
