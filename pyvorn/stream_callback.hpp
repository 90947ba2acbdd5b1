// The Python end of a read stream: the callable as an argument, the Python side of the stream's
// delivery thread, and the call the adapters make for each event.
//
// Design note. The delivery thread hands events over in runs; PythonDelivery takes the interpreter
// lock (and a gate entry) once per run, through a thread state kept for the thread's life, and
// StreamCallback calls the callable inside the run. The reference to the callable lives in
// PythonDelivery, shared by the delivery thread and the Python DataStream: the DataStream reports
// it to the garbage collector, which may clear it (a stream in a reference cycle); the delivery
// thread drops it once the callable has heard the end. Either way it is released under the lock,
// in ordinary code: nothing here takes the lock in a destructor. After the interpreter began to
// exit, no callable is called and references still held are leaked.
#pragma once

#include <Python.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "pyvorn/chunks.hpp"
#include "pyvorn/interpreter.hpp"
#include "vorn/host/stream_consumer.hpp"

namespace pyvorn {

// The text of the Python error being raised ("ValueError: message"), which is then cleared.
// Requires the interpreter lock.
std::string take_python_error();

// Decodes an error message for the callable. Invalid UTF-8 is replaced, never refused: an error
// text must always reach the callable.
PyObject* decode_message(const std::string& message);

// The callable argument of a stream start: any callable but None. Shown in signatures as
// Callable[[Optional[Chunk], Optional[str]], None].
template <typename Chunk>
struct StreamCallable {
    pybind11::object callable;
};

class PythonDelivery final : public vorn::DataStream::DeliveryContext {
  public:
    // Takes a new reference to `callable`; the interpreter lock must be held.
    explicit PythonDelivery(const pybind11::object& callable)
        : callable_(callable.inc_ref().ptr()) {}
    // Drops a reference still held only when the destroying thread holds the lock (a start that
    // failed); it never takes the lock. Elsewhere (only once exit has begun) the reference leaks.
    ~PythonDelivery() override {
        if (callable_ != nullptr && holds_lock()) {
            Py_DECREF(callable_);
        }
    }
    PythonDelivery(const PythonDelivery&) = delete;
    PythonDelivery& operator=(const PythonDelivery&) = delete;

    // On the delivery thread.
    bool begin_run() override;
    bool proceed() noexcept override { return !InterpreterGate::closed(); }
    void end_run(bool cut_short) override;
    void finish() override;
    // The thread was unwound out of a call into Python (the interpreter ended it at exit).
    void abandon() noexcept;

    // With the lock held, on any thread. The callable, or null once it was cleared.
    PyObject* callable() const noexcept { return callable_; }
    void clear_callable() noexcept { Py_CLEAR(callable_); }
    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(callable_);
        return 0;
    }

  private:
    PyObject* callable_;
    PythonThread thread_;
};

// The target of the adapters: calls the callable with (data, error). Runs on the delivery thread
// inside a run (the lock held). A Python exception becomes a std::runtime_error with its text.
template <typename Chunk>
class StreamCallback {
  public:
    explicit StreamCallback(std::shared_ptr<PythonDelivery> python) : python_(std::move(python)) {}

    void operator()(std::optional<Chunk> data, std::optional<std::string> error) {
        PyObject* callable = python_->callable();
        if (callable == nullptr) {
            return;  // collected as garbage: the stream is not to call it again
        }
        const bool end = !data && !error;
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
            try {
                result = PyObject_Vectorcall(callable, args, 2, nullptr);
            } catch (...) {
                python_->abandon();  // only the forced unwinding of an ended thread gets here
                throw;
            }
            if (data) {
                end_of_callback(args[0], static_cast<const Chunk*>(nullptr));
            }
        }
        Py_XDECREF(args[0]);
        Py_XDECREF(args[1]);
        if (end) {
            python_->clear_callable();  // the end was delivered: it is never called again
        }
        if (result != nullptr) {
            Py_DECREF(result);
            return;
        }
        throw std::runtime_error(take_python_error());
    }

  private:
    std::shared_ptr<PythonDelivery> python_;
};

}  // namespace pyvorn

namespace pybind11::detail {

template <typename Chunk>
struct type_caster<pyvorn::StreamCallable<Chunk>> {
    using SignatureType = std::function<void(std::optional<Chunk>, std::optional<std::string>)>;

  public:
    static constexpr auto name = make_caster<SignatureType>::name;

    // Any callable, but not None: a stream without a callable could only fail on every event.
    bool load(handle src, bool) {
        if (src.is_none() || !PyCallable_Check(src.ptr())) {
            return false;
        }
        value.callable = reinterpret_borrow<object>(src);
        return true;
    }

    explicit operator pyvorn::StreamCallable<Chunk>&&() && { return std::move(value); }
    template <typename T>
    using cast_op_type = pyvorn::StreamCallable<Chunk>&&;

  private:
    pyvorn::StreamCallable<Chunk> value;
};

}  // namespace pybind11::detail
