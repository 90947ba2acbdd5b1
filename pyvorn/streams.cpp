// Read streams: the chain from the device to the Python callable, and the DataStream handle.
//
//   plain:   device thread -> StreamQueue -> delivery thread -> ManagedBufferAdapter -> callable
//   aligned: device thread -> StreamQueue -> delivery thread -> Rechunker -> ViewAdapter ->
//            callable
//
// Each stage owns the next. The StreamQueue, moved into an EventCallback, is handed to the device,
// which keeps it while its stream runs; releasing it never waits. The StreamDelivery (the thread
// and the control of what it delivers) belongs to the Python DataStream.
//
// How a stream ends, whatever ends it (the device's Stop, stop(), leaving a `with` block, dropping
// the DataStream, the device releasing the callable, the Device or DeviceManager dropped first):
// the delivery thread delivers every event pushed before the end, then the drops not yet reported,
// then (None, None), exactly once. stop() and __exit__ stop the device, seal the stream there and
// wait, without the interpreter lock and answering Ctrl-C, until that is done (not when called by
// the callable itself, which cannot wait for its own thread). Dropping a running DataStream
// destroys the device's stream and seals it without waiting. A stream collected as garbage (its
// callable cleared by the collector) never calls its callable again; a start that gives no stream
// never calls it at all; once the interpreter exits, no callable is called.
//
// Lifetimes: the DataStream owns a LiveStream, which owns the device's stream object, the delivery
// and a copy of the device handle's `owner`; the delivery thread holds another copy and releases
// it last, so the plugin's code (its stream, its chunks' deleters) stays loaded while anything may
// still run it, even when the Device and the DeviceManager are gone. ManagedBuffers and kept views
// hold the same owner.
#include "pyvorn/streams.hpp"

#include <chrono>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <utility>

#include <pybind11/stl.h>

#include "pyvorn/adapters.hpp"
#include "pyvorn/binding_internals.hpp"
#include "pyvorn/interpreter.hpp"
#include "vorn/device_manager.hpp"
#include "vorn/host/rechunker.hpp"
#include "vorn/host/stream_queue.hpp"
#include "vorn/host/view_keeper.hpp"

namespace py = pybind11;

namespace pyvorn {

namespace {

using vorn::DataStream::Consumer;
using vorn::DataStream::EventCallback;
using vorn::DataStream::StreamDelivery;

// How long the exit hook lets callables in progress finish before it abandons them.
constexpr auto exit_grace = std::chrono::milliseconds(250);

// The stream object a Python DataStream owns. Every live one is known to the exit hook.
class LiveStream final : public vorn::Device::DataStream {
  public:
    LiveStream(StreamHandle stream, std::unique_ptr<StreamDelivery> delivery,
               std::shared_ptr<PythonDelivery> python, std::shared_ptr<const void> owner)
        : owner_(std::move(owner)),
          python_(std::move(python)),
          delivery_(std::move(delivery)),
          stream_(std::move(stream)) {
        std::lock_guard lock(registry_mutex());
        registry().insert(this);
    }

    // Without the interpreter lock. Ends the device's stream; what it pushed before still reaches
    // the callable, with the end, on the delivery thread, which is not waited for.
    ~LiveStream() override {
        {
            std::lock_guard lock(registry_mutex());
            registry().erase(this);
        }
        stream_.reset();
        delivery_->seal();
    }

    // Without the interpreter lock: stops the device's stream and waits until what it pushed
    // before has been delivered, with the end (unless it need not: see end_here()).
    void stop() override {
        if (end_here()) {
            delivery_->wait(std::chrono::nanoseconds(-1));
        }
    }

    // Without the interpreter lock: stops the device's stream and seals the delivery there. True
    // when the caller is to wait for the end; not on the delivery thread itself (the rest follows
    // once the callable returns), nor at exit (nothing is delivered any more).
    bool end_here() {
        stop_device();
        delivery_->seal();
        return !delivery_->on_delivery_thread() && !InterpreterGate::closed();
    }

    // The device's stop; calls from several threads are serialised.
    void stop_device() {
        std::lock_guard lock(stop_mutex_);
        stream_->stop();
    }

    StreamDelivery& delivery() noexcept { return *delivery_; }
    PythonDelivery& python() noexcept { return *python_; }

    // The exit hook, without the lock: stops every live device stream, so that no plugin thread
    // still runs while the process ends.
    static void stop_all() {
        std::lock_guard lock(registry_mutex());
        for (LiveStream* stream : registry()) {
            try {
                stream->stop_device();
            } catch (const std::exception& error) {
                vorn::DataStream::log_callback_error(error.what());
            }
        }
    }

  private:
    static std::mutex& registry_mutex() {
        static std::mutex mutex;
        return mutex;
    }
    static std::unordered_set<LiveStream*>& registry() {
        static auto* live = new std::unordered_set<LiveStream*>();  // outlives static destruction
        return *live;
    }

    std::shared_ptr<const void> owner_;  // released last: the stream's code stays loaded
    std::shared_ptr<PythonDelivery> python_;
    std::unique_ptr<StreamDelivery> delivery_;
    std::mutex stop_mutex_;
    StreamHandle stream_;
};

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
        [live](std::chrono::nanoseconds slice) { return live->delivery().wait(slice); });
}

// The garbage collector's view of a DataStream: it keeps its callable alive until the end.
int traverse_stream(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (LiveStream* live = live_stream(self)) {
        return live->python().traverse(visit, arg);
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
        live->python().clear_callable();
        live->delivery().seal();
    }
}

int clear_stream(PyObject* self) {
    collect_stream(self);
    return 0;
}

void stop_streams_at_exit() {
    InterpreterGate::close(exit_grace);
    without_lock([] { LiveStream::stop_all(); });
}

// What keeps the plugin of `device` loaded: the `owner` of the handle that the Python Device
// holds (empty for devices implemented in Python).
std::shared_ptr<const void> device_owner(vorn::Device& device) {
    return internals::registered_deleter<vorn::DeviceHandle>(device).owner;
}

int queue_limit(std::uint64_t max_queue_elements) {
    if (max_queue_elements > static_cast<std::uint64_t>(std::numeric_limits<int>::max())) {
        throw py::value_error("max_queue_elements must be at most " +
                              std::to_string(std::numeric_limits<int>::max()) + ", got " +
                              std::to_string(max_queue_elements));
    }
    return static_cast<int>(max_queue_elements);
}

// A start that gives no stream: nothing is ever delivered, and the delivery thread has ended when
// the start returns. The callable is released here, under the lock.
void abandon_start(StreamDelivery& delivery, PythonDelivery& python) {
    python.clear_callable();
    delivery.cancel();
    without_lock([&] { delivery.wait(std::chrono::nanoseconds(-1)); });
}

// Puts a held delivery in front of `consumer`, hands its queue to the device and wraps what comes
// back. Runs on a Python thread with the interpreter lock held. The delivery starts only once the
// device's stream exists.
std::optional<StreamHandle> start_stream(vorn::Device& device, unsigned int addr,
                                         std::uint64_t chunk_size, int max_elements,
                                         const std::shared_ptr<PythonDelivery>& python,
                                         std::unique_ptr<Consumer> consumer,
                                         const std::shared_ptr<const void>& owner) {
    StreamDelivery::Options options;
    options.context = python;
    options.keep_alive = owner;
    options.held = true;
    auto delivery = std::make_unique<StreamDelivery>(std::move(consumer), max_elements, options);
    std::optional<StreamHandle> stream;
    try {
        EventCallback queue{delivery->queue()};
        stream = device.start_read_stream(addr, std::move(queue), chunk_size);
        // A queue the device did not take is released here: no more events come from it.
    } catch (...) {
        abandon_start(*delivery, *python);
        throw;
    }
    if (!stream || !*stream) {
        abandon_start(*delivery, *python);
        return std::nullopt;
    }
    StreamDelivery& started = *delivery;
    StreamHandle live(new LiveStream(std::move(*stream), std::move(delivery), python, owner));
    started.release();
    return live;
}

}  // namespace

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
        .def(
            "__enter__",
            [](vorn::Device::DataStream& self) -> vorn::Device::DataStream& { return self; },
            py::return_value_policy::reference)
        .def("__exit__", [](vorn::Device::DataStream& self, const std::optional<py::type>&,
                            const std::optional<py::object>&,
                            const std::optional<py::object>&) { stop_stream(self); });
    py::module_::import("atexit").attr("register")(py::cpp_function(&stop_streams_at_exit));
}

std::optional<StreamHandle> start_read_stream(vorn::Device& device, unsigned int addr,
                                              StreamCallable<ManagedBuffer> callback,
                                              std::uint64_t chunk_size,
                                              std::uint64_t max_queue_elements) {
    const int max_elements = queue_limit(max_queue_elements);
    auto owner = device_owner(device);
    auto python = std::make_shared<PythonDelivery>(callback.callable);
    auto consumer = std::make_unique<vorn::DataStream::CallbackConsumer>(
        EventCallback{ManagedBufferAdapter(StreamCallback<ManagedBuffer>(python), owner)});
    return start_stream(device, addr, chunk_size, max_elements, python, std::move(consumer), owner);
}

std::optional<StreamHandle> start_aligned_read_stream(vorn::Device& device, unsigned int addr,
                                                      std::uint64_t alignment,
                                                      StreamCallable<DataView> callback,
                                                      std::uint64_t chunk_size,
                                                      std::uint64_t max_queue_elements) {
    if (alignment == 0) {
        throw py::value_error("alignment must be greater than 0");
    }
    const int max_elements = queue_limit(max_queue_elements);
    auto owner = device_owner(device);
    auto python = std::make_shared<PythonDelivery>(callback.callable);
    auto keeper = std::make_shared<vorn::DataStream::ViewKeeper>(owner);
    auto consumer = std::make_unique<vorn::DataStream::Rechunker>(
        EventCallback{ViewAdapter(StreamCallback<DataView>(python), keeper)}, alignment, keeper);
    return start_stream(device, addr, chunk_size, max_elements, python, std::move(consumer), owner);
}

}  // namespace pyvorn
