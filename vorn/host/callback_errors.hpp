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

// Runs `call`; an exception it throws is logged ("Error in callback: {}") and swallowed.
// Forced unwinding (a thread being ended by the runtime, e.g. by the interpreter at shutdown) is
// never swallowed.
template <typename Call>
void guard_callback(Call&& call) noexcept(false) {
    try {
        call();
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (const std::exception& error) {
        log_callback_error(error.what());
    } catch (...) {
        log_callback_error("unknown exception");
    }
}

}  // namespace vorn::DataStream
