// The Python side of a stream's delivery thread, error texts and message decoding.
#include "pyvorn/stream_callback.hpp"

#include <chrono>
#include <mutex>
#include <thread>

namespace pyvorn {

namespace {

// Long enough for a thread waiting for the interpreter lock to wake and take it.
constexpr auto lock_hand_over = std::chrono::microseconds(100);

std::mutex& lock_queue() {
    static std::mutex queue;
    return queue;
}

}  // namespace

bool PythonDelivery::begin_run() {
    if (!InterpreterGate::enter()) {
        return false;  // the interpreter is exiting: nothing more is delivered
    }
    // Delivery threads queue here, so that at most one of them waits for the interpreter lock at a
    // time: a Python thread that waits for it then competes with one of them, not with every
    // stream. The token is held only while waiting, never during a call.
    const std::lock_guard token(lock_queue());
    thread_.acquire();
    return true;
}

void PythonDelivery::end_run(bool cut_short) {
    thread_.release();
    InterpreterGate::leave();
    if (cut_short) {
        // Events are still queued and this thread would take the lock back at once, before any
        // other thread woken by its release could: wait long enough for one to take it, so that
        // other Python threads (and other streams) run at least once per run of ours.
        std::this_thread::sleep_for(lock_hand_over);
    }
}

void PythonDelivery::finish() {
    if (callable_ == nullptr && !thread_.started()) {
        return;
    }
    if (!InterpreterGate::enter()) {
        return;  // exiting: leak the reference and the thread state
    }
    thread_.acquire();
    clear_callable();
    thread_.finish();
    InterpreterGate::leave();
}

void PythonDelivery::abandon() noexcept {
    thread_.abandon();
}

std::string take_python_error() {
    PyObject* exception = PyErr_GetRaisedException();
    if (exception == nullptr) {
        return "Unknown Python error";
    }
    std::string text = Py_TYPE(exception)->tp_name;
    if (PyObject* message = PyObject_Str(exception); message != nullptr) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(message, &size); utf8 != nullptr) {
            if (size > 0) {
                text.append(": ").append(utf8, static_cast<std::size_t>(size));
            }
        }
        Py_DECREF(message);
    }
    PyErr_Clear();  // a failure of str() itself is not worth more than the type name
    Py_DECREF(exception);
    return text;
}

PyObject* decode_message(const std::string& message) {
    return PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
}

}  // namespace pyvorn
