// The Python side of a stream's delivery thread, error texts and message decoding.
#include "pyvorn/python_delivery.hpp"

#include <chrono>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>

namespace pyvorn {

namespace {

// Long enough for a thread waiting for the interpreter lock to wake and take it.
constexpr auto lock_hand_over = std::chrono::microseconds(100);

}  // namespace

bool PythonDelivery::begin_run() {
    if (forked()) {
        // A fork from inside a callable goes on in the child on this thread: nothing of the
        // parent's stream is delivered there after the callable returned.
        return false;
    }
    if (!InterpreterGate::enter()) {
        return false;  // the interpreter is exiting: nothing more is delivered
    }
    // Delivery threads queue here, so that at most one of them waits for the interpreter lock at a
    // time: a Python thread that waits for it then competes with one of them, not with every
    // stream. The token is held only while waiting, never during a call.
    const std::lock_guard token(lock_queue());
    try {
        thread_.acquire();
    } catch (const std::bad_alloc&) {
        // Without a thread state nothing can reach the callable: the failure is logged, and the
        // stream ends here (what is queued is discarded; stop() and `with` return).
        InterpreterGate::leave();
        refused_ = true;
        vorn::DataStream::log_callback_error(
            "no memory for the delivery thread's Python thread state: the stream ends");
        return false;
    }
    return true;
}

void PythonDelivery::end_run(bool cut_short) {
    thread_.release();
    if (!forked()) {
        InterpreterGate::leave();  // a child's gate never counted this entry
    }
    if (cut_short) {
        // Events are still queued and this thread would take the lock back at once, before any
        // other thread woken by its release could: wait long enough for one to take it, so that
        // other Python threads (and other streams) run at least once per run of ours.
        std::this_thread::sleep_for(lock_hand_over);
    }
}

void PythonDelivery::finish() {
    if ((!thread_.started() && (cleared_.load(std::memory_order_acquire) || refused_)) ||
        forked()) {
        return;  // nothing to release; or no thread state can be had (the reference leaks)
    }
    if (!InterpreterGate::enter()) {
        return;  // exiting: leak the reference and the thread state
    }
    try {
        thread_.acquire();
    } catch (const std::bad_alloc&) {
        InterpreterGate::leave();  // no thread state: the reference leaks
        return;
    }
    clear_callable();
    thread_.finish();
    InterpreterGate::leave();
}

void PythonDelivery::call(PyObject* data, PyObject* error, void (*after)(PyObject*) noexcept) {
    PyObject* args[2] = {data != nullptr ? data : Py_NewRef(Py_None),
                         error != nullptr ? error : Py_NewRef(Py_None)};
    call_with(args, 2, data != nullptr ? after : nullptr);
}

void PythonDelivery::call_one(PyObject* data, void (*after)(PyObject*) noexcept) {
    PyObject* args[1] = {data};
    call_with(args, 1, after);
}

void PythonDelivery::call_with(PyObject** args, std::size_t count,
                               void (*after)(PyObject*) noexcept) {
    // Held for the call: the collector or the stream's end may clear callable_ meanwhile.
    PyObject* callable = Py_XNewRef(callable_);
    PyObject* result = nullptr;
    if (callable != nullptr) {
        try {
            result = PyObject_Vectorcall(callable, args, count, nullptr);
        } catch (...) {
            // Only the forced unwinding of a thread the interpreter ended at exit gets here: the
            // thread state is lost to this thread, and so are the references.
            thread_.abandon();
            throw;
        }
        if (after != nullptr) {
            after(args[0]);
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        Py_DECREF(args[i]);
    }
    if (callable == nullptr) {
        return;
    }
    Py_DECREF(callable);
    if (result == nullptr) {
        throw std::runtime_error(take_python_error());
    }
    Py_DECREF(result);
}

void PythonDelivery::end() {
    // The end was delivered, even when the callable raised: it is never called again. (Not on the
    // forced unwinding of a thread ended at exit, which must not touch the interpreter.)
    try {
        call(nullptr, nullptr);
    } catch (const std::runtime_error&) {
        clear_callable();
        throw;
    }
    clear_callable();
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
