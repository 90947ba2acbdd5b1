// The interpreter gate, the per-thread Python thread state and waits that answer signals.
#include "pyvorn/interpreter.hpp"

#include <thread>

#include <pybind11/pybind11.h>

namespace pyvorn {

std::atomic<bool> InterpreterGate::closing_{false};
std::atomic<long> InterpreterGate::inside_{0};

// An entry counts itself in before it looks at the flag, and close() sets the flag before it looks
// at the count (both sequentially consistent), so either the entry sees the gate closed or close()
// sees the entry.
bool InterpreterGate::enter() noexcept {
    inside_.fetch_add(1);
    if (closing_.load()) {
        inside_.fetch_sub(1);
        return false;
    }
    return true;
}

void InterpreterGate::leave() noexcept {
    inside_.fetch_sub(1);
}

void InterpreterGate::close(std::chrono::nanoseconds grace) {
    closing_.store(true);
    if (inside_.load() == 0) {
        return;
    }
    // Entries in progress may be waiting for the lock: let them have it.
    const auto deadline = std::chrono::steady_clock::now() + grace;
    without_lock([&] {
        while (inside_.load() != 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
}

void PythonThread::acquire() {
    if (state_ == nullptr) {
        // First use on this native thread: a thread state of its own, in the main interpreter
        // (the module is single-phase, so the streams' callables live there).
        state_ = PyThreadState_New(PyInterpreterState_Main());
        if (state_ == nullptr) {
            throw std::bad_alloc();
        }
    }
    PyEval_RestoreThread(state_);
}

void PythonThread::release() noexcept {
    PyEval_SaveThread();
}

void PythonThread::finish() noexcept {
    if (state_ != nullptr) {
        PyThreadState_Clear(state_);
        PyThreadState_DeleteCurrent();  // also drops the lock
        state_ = nullptr;
    }
}

void wait_answering_signals(const std::function<bool(std::chrono::nanoseconds)>& wait_for) {
    constexpr auto slice = std::chrono::milliseconds(50);
    while (!without_lock([&] { return wait_for(slice); })) {
        if (PyErr_CheckSignals() != 0) {
            throw pybind11::error_already_set();
        }
    }
}

}  // namespace pyvorn
