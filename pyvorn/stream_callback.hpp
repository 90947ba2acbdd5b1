// StreamCallback: the Python callable of a read stream, called on the stream's delivery thread.
//
// Thread rules: constructed on a Python thread holding the interpreter lock; called and destroyed
// on the delivery thread only, which takes the lock itself (through a PythonThread kept for the
// thread's life) and never while it is held by the thread already. Every call passes the
// interpreter gate, so after the gate closed at exit, calls are dropped without touching Python
// and the reference to the callable is leaked instead of released.
#pragma once

#include <Python.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "pyvorn/chunks.hpp"
#include "pyvorn/interpreter.hpp"

namespace pyvorn {

// The text of the Python error being raised ("ValueError: message"), which is then cleared.
// Requires the interpreter lock.
std::string take_python_error();

// Decodes an error message for the callable. Invalid UTF-8 is replaced, never refused: an error
// text must always reach the callable.
PyObject* decode_message(const std::string& message);

template <typename Chunk>
class StreamCallback {
  public:
    // Takes a new reference to `callable`; the interpreter lock must be held.
    explicit StreamCallback(pybind11::object callable) : callable_(callable.release().ptr()) {}

    // Moves happen only before the first call, on the Python thread that built the callback.
    StreamCallback(StreamCallback&& other) noexcept
        : callable_(std::exchange(other.callable_, nullptr)) {}
    StreamCallback& operator=(StreamCallback&&) = delete;
    StreamCallback(const StreamCallback&) = delete;
    StreamCallback& operator=(const StreamCallback&) = delete;

    ~StreamCallback() {
        if (callable_ == nullptr) {
            return;
        }
        if (PyGILState_Check()) {
            // Destroyed on a Python thread (the stream never reached its delivery thread).
            Py_DECREF(callable_);
            python_.finish();
            return;
        }
        InterpreterGate::Entry entry;
        if (!entry) {
            return;  // the interpreter is shutting down: leak the reference and the thread state
        }
        python_.acquire();
        Py_DECREF(callable_);
        python_.finish();
    }

    // Calls the callable with (data, error). A Python exception becomes a std::runtime_error
    // with its text, thrown after the lock has been dropped.
    void operator()(std::optional<Chunk> data, std::optional<std::string> error) {
        InterpreterGate::Entry entry;
        if (!entry) {
            return;  // shutting down: the chunk is freed natively
        }
        PythonLock lock(python_);
        PyObject* args[2] = {nullptr, nullptr};
        PyObject* result = nullptr;
        try {
            args[0] = data ? new_chunk_object(std::move(*data)).release().ptr()
                           : pybind11::none().release().ptr();
        } catch (pybind11::error_already_set& failure) {
            failure.restore();
        }
        if (args[0] != nullptr) {
            args[1] = error ? decode_message(*error) : pybind11::none().release().ptr();
        }
        if (args[1] != nullptr) {
            result = PyObject_Vectorcall(callable_, args, 2, nullptr);
        }
        Py_XDECREF(args[0]);
        Py_XDECREF(args[1]);
        if (result != nullptr) {
            Py_DECREF(result);
            return;
        }
        std::string what = take_python_error();
        lock.unlock();
        throw std::runtime_error(what);
    }

  private:
    PyObject* callable_;
    PythonThread python_;
};

}  // namespace pyvorn

namespace pybind11::detail {

// Loads any callable (but not None: a stream without a callable could only fail on every event)
// and shows the parameter as Callable[[Optional[Chunk], Optional[str]], None] in signatures.
template <typename Chunk>
struct type_caster<pyvorn::StreamCallback<Chunk>> {
    using SignatureType = std::function<void(std::optional<Chunk>, std::optional<std::string>)>;

  public:
    static constexpr auto name = make_caster<SignatureType>::name;

    bool load(handle src, bool) {
        if (src.is_none() || !PyCallable_Check(src.ptr())) {
            return false;
        }
        value.emplace(reinterpret_borrow<object>(src));
        return true;
    }

    explicit operator pyvorn::StreamCallback<Chunk>&&() && { return std::move(*value); }
    template <typename T>
    using cast_op_type = pyvorn::StreamCallback<Chunk>&&;

  private:
    std::optional<pyvorn::StreamCallback<Chunk>> value;
};

}  // namespace pybind11::detail
