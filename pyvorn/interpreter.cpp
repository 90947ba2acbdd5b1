// The per-thread Python thread state and waits that answer signals.
#include "pyvorn/interpreter.hpp"

#include <pybind11/pybind11.h>

namespace pyvorn {

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
