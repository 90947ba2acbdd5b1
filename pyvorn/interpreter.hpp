// Threads and the interpreter lock: a Python thread state kept for a native thread's life, and
// waits without the lock.
//
// Design note. At exit the interpreter ends any thread that tries to take the lock once
// finalization has begun: the thread is unwound (forced unwinding) from inside the call that takes
// the lock. So the lock is only ever taken in ordinary code here, never in a destructor (unwinding
// out of a destructor ends the process) and never under a catch-all that could swallow the unwind.
// Every entry of a native thread into Python also passes the InterpreterGate (process_state.hpp).
#pragma once

#include <Python.h>

#include <chrono>
#include <exception>
#include <functional>
#include <type_traits>
#include <utility>

#include "vorn/host/callback_errors.hpp"

namespace pyvorn {

// The Python thread state of one native thread, created (in the main interpreter) on first use and
// kept until finish(). Only the thread it belongs to uses it. A state that was not finished is left
// to the interpreter: destroying it here could happen on the wrong thread or after exit began.
class PythonThread {
  public:
    PythonThread() = default;
    PythonThread(const PythonThread&) = delete;
    PythonThread& operator=(const PythonThread&) = delete;

    // Takes the interpreter lock for the calling thread, which must not hold it. Inside a gate
    // entry only.
    void acquire();
    // Drops the lock taken by acquire(), keeping the thread state.
    void release() noexcept;
    // With the lock held (taken by acquire()): deletes the thread state and drops the lock.
    void finish() noexcept;
    // The thread was unwound out of the interpreter: the state is lost to it, never use it again.
    void abandon() noexcept { state_ = nullptr; }

    bool started() const noexcept { return state_ != nullptr; }

  private:
    PyThreadState* state_ = nullptr;
};

// Whether the calling thread holds the interpreter lock. Unlike PyGILState_Check(), this stays
// right once subinterpreters have been created.
inline bool holds_lock() noexcept {
    return PyThreadState_GetUnchecked() != nullptr;
}

// Runs `work` with the interpreter lock released (the caller holds it) and takes it back in
// ordinary control flow, also when `work` throws, so that a thread ended at exit unwinds cleanly.
template <typename Work>
decltype(auto) without_lock(Work&& work) {
    PyThreadState* state = PyEval_SaveThread();
    try {
        if constexpr (std::is_void_v<std::invoke_result_t<Work&>>) {
            work();
            PyEval_RestoreThread(state);
        } else {
            decltype(auto) result = work();
            PyEval_RestoreThread(state);
            return result;
        }
    } catch (...) {
        if (!vorn::DataStream::is_forced_unwind()) {
            PyEval_RestoreThread(state);
        }
        throw;
    }
}

// Waits with the lock released until `wait_for(slice)` returns true, calling it in slices so that
// signals are handled meanwhile (Ctrl-C raises KeyboardInterrupt out of the wait). The caller
// holds the lock. Throws pybind11::error_already_set when a signal handler raised.
void wait_answering_signals(const std::function<bool(std::chrono::nanoseconds)>& wait_for);

}  // namespace pyvorn
