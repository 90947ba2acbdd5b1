// The Python end of a read stream: the callable as an argument, and the Python side of the
// stream's delivery thread, which calls it.
//
// - Ownership: the reference to the callable lives in PythonDelivery, shared by the delivery
//   thread and the Python DataStream. The DataStream reports it to the garbage collector, which
//   may clear it (a stream in a reference cycle); the delivery thread drops it once the callable
//   has heard the end; a start that gives no stream drops it at once. Either way it is released
//   under the lock, in ordinary code: nothing here takes the lock in a destructor. After the
//   interpreter began to exit, no callable is called and references still held are leaked.
// - Threads: the delivery thread hands events over in runs; PythonDelivery takes the interpreter
//   lock (and a gate entry) once per run, through a thread state kept for the thread's life, and
//   the adapters call the callable through call() inside the run.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
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
#include "pyvorn/process_state.hpp"
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
    // On the starting thread, which holds the lock: the start gave no stream.
    void start_failed() noexcept override { clear_callable(); }

    // Inside a run: calls the callable with (`data`, `error`), new references that the call
    // consumes (null: None), then `after(data)` while `data` is still alive. Nothing when the
    // callable was cleared. A Python exception becomes a std::runtime_error with its text.
    void call(PyObject* data, PyObject* error, void (*after)(PyObject*) noexcept = nullptr);
    // The same with one argument, `data` (not null).
    void call_one(PyObject* data, void (*after)(PyObject*) noexcept = nullptr);
    // Inside a run: calls the callable with (None, None), the end, then drops it for good.
    void end();

    // With the lock held, on any thread. The callable, or null once it was cleared.
    PyObject* callable() const noexcept { return callable_; }
    void clear_callable() noexcept {
        Py_CLEAR(callable_);
        cleared_.store(true, std::memory_order_release);
    }
    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(callable_);
        return 0;
    }

  private:
    void call_with(PyObject** args, std::size_t count, void (*after)(PyObject*) noexcept);
    // In the child of a fork made inside the callable (this thread is the child's only one).
    bool forked() const noexcept { return generation_ != fork_generation(); }

    PyObject* callable_;
    std::atomic<bool> cleared_{false};  // callable_ is null for good (read without the lock)
    bool refused_ = false;              // no thread state could be had (delivery thread only)
    const std::uint64_t generation_ = fork_generation();
    PythonThread thread_;
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
