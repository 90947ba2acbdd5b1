// Read streams into Python: the DataStream handle and the two stream-start methods of Device.
//
//   plain:   device thread -> StreamQueue -> delivery thread -> ManagedBufferAdapter -> callable
//   aligned: device thread -> StreamQueue -> delivery thread -> Rechunker -> ViewAdapter ->
//            callable
//
// Invariants
// - However a stream ends (the device's Stop, stop(), leaving a `with` block, dropping the
//   DataStream, the device releasing the callable, the Device or DeviceManager dropped first), the
//   callable gets every event pushed before the end, then the drops not yet reported, then
//   (None, None), exactly once.
// - A stream collected as garbage never calls its callable again; a start that gives no stream
//   never calls it at all; once the interpreter exits, no callable is called.
// Ownership
// - The Python DataStream owns a LiveStream: a StreamSession (the device's stream, the delivery,
//   the plugin keep-alive; vorn/host/stream_session.hpp) and the PythonDelivery (the callable),
//   which the delivery thread shares. Kept ManagedBuffers and views hold the plugin keep-alive too.
// Threads
// - Python threads start, stop and drop streams, holding the interpreter lock; every device call
//   and every wait is made without it. The callable runs on the stream's delivery thread.
//
// stop() and __exit__ stop the device, seal the stream there and wait, without the interpreter
// lock and answering Ctrl-C, until the end was delivered (not when called by the callable itself,
// which cannot wait for its own thread). Dropping a running DataStream destroys the device's
// stream and seals it without waiting.
#include "pyvorn/streams.hpp"

#include <chrono>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include <pybind11/stl.h>

#include "pyvorn/adapters.hpp"
#include "pyvorn/binding_internals.hpp"
#include "pyvorn/closed_device.hpp"
#include "pyvorn/interpreter.hpp"
#include "pyvorn/process_state.hpp"
#include "vorn/device_manager.hpp"
#include "vorn/host/rechunker.hpp"
#include "vorn/host/recording_writer.hpp"
#include "vorn/host/stream_session.hpp"
#include "vorn/host/view_keeper.hpp"

namespace py = pybind11;

namespace pyvorn {

namespace {

using vorn::DataStream::Consumer;
using vorn::DataStream::RecordingStatus;
using vorn::DataStream::StreamSession;

// The stream object a Python DataStream owns. Every live one is in the process's registry (by
// the device it came from), which the exit hook and Device.close() stop.
//
// In the child of a fork, a stream inherited from the parent is dead: its producer and delivery
// threads do not exist there. It never calls plugin code again (no stop(), no destructor of the
// device's stream object, which could wait for a thread that is not there): its session is left
// alone on purpose, and stop() returns at once.
class LiveStream final : public vorn::Device::DataStream {
  public:
    LiveStream(std::shared_ptr<StreamSession> session, std::shared_ptr<PythonDelivery> python,
               std::shared_ptr<const RecordingStatus> status, const void* device)
        : python_(std::move(python)), status_(std::move(status)), session_(std::move(session)) {
        add_live_stream(session_, device);
    }

    // Without the interpreter lock. Ends the device's stream; what it pushed before still reaches
    // the callable, with the end, on the delivery thread, which is not waited for.
    ~LiveStream() override {
        if (inherited()) {
            new std::shared_ptr<StreamSession>(std::move(session_));  // left alone: see above
            return;
        }
        remove_live_stream(*session_);
    }

    // Without the interpreter lock: stops the device's stream and waits until what it pushed
    // before has been delivered, with the end (unless it need not: see end_here()).
    void stop() override {
        if (end_here()) {
            session_->wait(std::chrono::nanoseconds(-1));
        }
    }

    // Without the interpreter lock: stops the device's stream and seals the delivery there. True
    // when the caller is to wait for the end: see stop_session().
    bool end_here() {
        if (inherited()) {
            return false;
        }
        return stop_session(*session_);
    }

    bool inherited() const noexcept { return generation_ != fork_generation(); }
    StreamSession& session() noexcept { return *session_; }
    // The Python side: the callable, or a recording's tap; null for a recording without a tap.
    PythonDelivery* python() noexcept { return python_.get(); }
    // A recording's status; null for a stream into a callable.
    const RecordingStatus* status() const noexcept { return status_.get(); }

  private:
    const std::uint64_t generation_ = fork_generation();
    std::shared_ptr<PythonDelivery> python_;
    std::shared_ptr<const RecordingStatus> status_;
    std::shared_ptr<StreamSession> session_;  // destroyed first: it stops the device's stream
};

}  // namespace

bool stop_session(StreamSession& session) {
    session.stop();
    return !vorn::DataStream::StreamDelivery::on_any_delivery_thread() &&
           !InterpreterGate::closed();
}

namespace {

LiveStream* live_stream(PyObject* self) {
    return dynamic_cast<LiveStream*>(internals::native<vorn::Device::DataStream>(self));
}

// DataStream.stop and __exit__, with the lock held on entry and on return.
void stop_stream(vorn::Device::DataStream& self) {
    auto* live = dynamic_cast<LiveStream*>(&self);
    if (live == nullptr) {
        without_lock([&] { self.stop(); });
        return;
    }
    if (!without_lock([&] { return live->end_here(); })) {
        return;
    }
    wait_answering_signals(
        [live](std::chrono::nanoseconds slice) { return live->session().wait(slice); });
}

// The garbage collector's view of a DataStream: it keeps its callable alive until the end.
int traverse_stream(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    LiveStream* live = live_stream(self);
    if (live != nullptr && live->python() != nullptr) {
        return live->python()->traverse(visit, arg);
    }
    return 0;
}

// Found to be garbage: the callable is released and never called again; the DataStream's
// destruction, which follows once the collector has broken the cycle, stops the device's stream.
// The collector finalizes every object of the garbage before it clears any of them, so this runs
// before any other object of the cycle (the callable's own object, say) is torn down, whatever
// order the collector clears them in. An ordinary destruction does not finalize.
void collect_stream(PyObject* self) {
    if (LiveStream* live = live_stream(self)) {
        if (live->python() != nullptr) {
            live->python()->clear_callable();
        }
        if (!live->inherited()) {
            live->session().seal();
        }
    }
}

int clear_stream(PyObject* self) {
    collect_stream(self);
    return 0;
}

int queue_limit(std::uint64_t max_queue_elements) {
    if (max_queue_elements > static_cast<std::uint64_t>(std::numeric_limits<int>::max())) {
        throw py::value_error("max_queue_elements must be at most " +
                              std::to_string(std::numeric_limits<int>::max()) + ", got " +
                              std::to_string(max_queue_elements));
    }
    return static_cast<int>(max_queue_elements);
}

// What keeps the plugin of `device` loaded: the `owner` of the handle that the Python Device
// holds (empty for devices implemented in Python).
std::shared_ptr<const void> device_owner(vorn::Device& device) {
    return internals::registered_deleter<vorn::DeviceHandle>(device).owner;
}

}  // namespace

std::optional<StreamHandle> start_stream(vorn::Device& device, unsigned int addr,
                                         std::uint64_t chunk_size, std::uint64_t max_queue_elements,
                                         StreamParts parts) {
    throw_if_closed(device);
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        // The callable would run on the main interpreter's thread states, and outlive this one.
        throw std::runtime_error("streams can only be started from the main interpreter");
    }
    vorn::DataStream::SessionOptions options;
    options.chunk_size = chunk_size;
    options.max_elements = queue_limit(max_queue_elements);
    if (parts.python_on_delivery_thread) {
        options.context = parts.python;
    }
    options.keep_alive = device_owner(device);
    std::shared_ptr<StreamSession> session =
        StreamSession::start(device, addr, std::move(parts.consumer), std::move(options));
    if (!session) {
        return std::nullopt;
    }
    return StreamHandle(new LiveStream(std::move(session), std::move(parts.python),
                                       std::move(parts.status), &device));
}

py::object stream_progress(vorn::Device::DataStream& self) {
    const auto* live = dynamic_cast<LiveStream*>(&self);
    if (live == nullptr || live->status() == nullptr) {
        return py::none();
    }
    const auto p = live->status()->progress();
    py::dict progress;
    progress["bytes"] = p.bytes;
    progress["chunks"] = p.chunks;
    progress["samples"] = p.samples;
    progress["dropped_events"] = p.dropped.events;
    progress["dropped_bytes"] = p.dropped.bytes;
    progress["errors"] = p.errors;
    progress["lost_bytes"] = p.lost_bytes;
    progress["cut_bytes"] = p.cut_bytes;
    progress["finished"] = p.finished;
    progress["complete"] = p.complete;
    progress["error_code"] = p.error_code;
    progress["error_text"] = py::reinterpret_steal<py::object>(decode_message(p.error_text));
    progress["device_error"] = py::reinterpret_steal<py::object>(decode_message(p.device_error));
    progress["first_time_ns"] = p.first_time_ns;
    progress["last_time_ns"] = p.last_time_ns;
    return progress;
}

void PyDataStream::stop() {
    PYBIND11_OVERRIDE_PURE(void, vorn::Device::DataStream, stop, );
}

void register_data_stream(py::module_& m) {
    py::class_<vorn::Device::DataStream, PyDataStream> cls(
        m, "DataStream", py::custom_type_setup([](PyHeapTypeObject* heap_type) {
            auto* type = &heap_type->ht_type;
            type->tp_flags |= Py_TPFLAGS_HAVE_GC;
            type->tp_traverse = &traverse_stream;
            type->tp_clear = &clear_stream;
            type->tp_finalize = &collect_stream;
        }));
    // Destroying a stream stops the device's stream, which may wait for the device's threads.
    internals::destroy_without_lock<StreamHandle, vorn::Device::DataStream>();
    internals::refuse_unconstructed_instances<vorn::Device::DataStream>();
    cls.def("stop", &stop_stream)
        .def("progress", &stream_progress)
        .def(
            "__enter__",
            [](vorn::Device::DataStream& self) -> vorn::Device::DataStream& { return self; },
            py::return_value_policy::reference)
        .def("__exit__", [](vorn::Device::DataStream& self, const std::optional<py::type>&,
                            const std::optional<py::object>&,
                            const std::optional<py::object>&) { stop_stream(self); });
}

std::optional<StreamHandle> start_read_stream(vorn::Device& device, unsigned int addr,
                                              StreamCallable<ManagedBuffer> callback,
                                              std::uint64_t chunk_size,
                                              std::uint64_t max_queue_elements) {
    auto python = std::make_shared<PythonDelivery>(callback.callable);
    StreamParts parts;
    parts.consumer = std::make_unique<ManagedBufferAdapter>(python, device_owner(device));
    parts.python = std::move(python);
    return start_stream(device, addr, chunk_size, max_queue_elements, std::move(parts));
}

std::optional<StreamHandle> start_aligned_read_stream(vorn::Device& device, unsigned int addr,
                                                      std::uint64_t alignment,
                                                      StreamCallable<DataView> callback,
                                                      std::uint64_t chunk_size,
                                                      std::uint64_t max_queue_elements) {
    if (alignment == 0) {
        throw py::value_error("alignment must be greater than 0");
    }
    auto python = std::make_shared<PythonDelivery>(callback.callable);
    auto keeper = std::make_shared<vorn::DataStream::ViewKeeper>(device_owner(device));
    StreamParts parts;
    parts.consumer = std::make_unique<vorn::DataStream::Rechunker>(
        std::make_unique<ViewAdapter>(python, keeper), alignment, keeper);
    parts.python = std::move(python);
    return start_stream(device, addr, chunk_size, max_queue_elements, std::move(parts));
}

}  // namespace pyvorn
