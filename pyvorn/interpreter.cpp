// The interpreter gate and the per-thread Python thread state.
#include "pyvorn/interpreter.hpp"

#include <chrono>
#include <thread>

namespace pyvorn {

std::atomic<bool> InterpreterGate::closing_{false};
std::atomic<long> InterpreterGate::inside_{0};

// The entry counts itself in before it looks at the flag, and close() sets the flag before it
// looks at the count (both sequentially consistent), so either the entry sees the gate closed or
// close() sees the entry and waits for it.
InterpreterGate::Entry::Entry() noexcept {
    inside_.fetch_add(1);
    admitted_ = !closing_.load();
    if (!admitted_) {
        inside_.fetch_sub(1);
    }
}

InterpreterGate::Entry::~Entry() {
    if (admitted_) {
        inside_.fetch_sub(1);
    }
}

void InterpreterGate::close() {
    closing_.store(true);
    if (inside_.load() == 0) {
        return;
    }
    // Entries in progress may be waiting for the lock: let them have it.
    Py_BEGIN_ALLOW_THREADS;
    while (inside_.load() != 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    Py_END_ALLOW_THREADS;
}

void PythonThread::acquire() {
    if (state_ == nullptr) {
        // First use on this native thread: create its thread state (and take the lock). The
        // state stays registered for the thread until finish().
        PyGILState_Ensure();
        state_ = PyThreadState_Get();
        return;
    }
    PyEval_RestoreThread(state_);
}

void PythonThread::release() noexcept {
    PyEval_SaveThread();
}

void PythonThread::finish() noexcept {
    if (state_ != nullptr) {
        // Balances the PyGILState_Ensure of the first acquire(): clears and deletes the thread
        // state and drops the lock.
        PyGILState_Release(PyGILState_UNLOCKED);
        state_ = nullptr;
    }
}

}  // namespace pyvorn
