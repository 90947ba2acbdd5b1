// Threads and the interpreter: a Python thread state kept for a native thread's life, the gate that
// keeps native threads out of an interpreter that is exiting, and waits without the lock.
//
// Design note. At exit the interpreter ends any thread that tries to take the lock once
// finalization has begun: the thread is unwound (forced unwinding) from inside the call that takes
// the lock. So the lock is only ever taken in ordinary code here, never in a destructor (unwinding
// out of a destructor ends the process) and never under a catch-all that could swallow the unwind.
// Every entry of a native thread into Python passes the InterpreterGate. The exit hook closes it
// before finalization: new entries are refused, and entries in progress get a short grace to
// leave; an entry still inside after that (a callable blocked for ever) is abandoned: its thread
// never touches the interpreter again, whatever happens to it later.
#pragma once

#include <Python.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <type_traits>
#include <utility>

#include "vorn/host/callback_errors.hpp"

namespace pyvorn {

class InterpreterGate {
  public:
    // Counts an entry in; false (and nothing counted) once the gate is closed: the caller must then
    // not touch any Python object, not even to drop a reference.
    static bool enter() noexcept;
    static void leave() noexcept;

    // Closes the gate for good and waits up to `grace` for the entries in progress. Called on a
    // Python thread holding the interpreter lock; the lock is released while waiting.
    static void close(std::chrono::nanoseconds grace);

    static bool closed() noexcept { return closing_.load(std::memory_order_acquire); }

  private:
    static std::atomic<bool> closing_;
    static std::atomic<long> inside_;
};

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
