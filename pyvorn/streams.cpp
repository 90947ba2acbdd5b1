// Read streams: the chain from the device to the Python callable, and the DataStream handle.
//
//   plain:   device thread -> StreamQueue -> delivery thread -> ManagedBufferAdapter -> callable
//   aligned: device thread -> StreamQueue -> delivery thread -> Rechunker -> ViewAdapter ->
//   callable
//
// Each stage owns the next. The StreamQueue, moved into an EventCallback, is handed to the device,
// which keeps it while its stream runs; when the device releases it, the queue stops and joins its
// delivery thread, which needs the interpreter lock on the way out. So every place that may destroy
// a queue (a stream start the device did not take, DataStream.stop, the destruction of a
// DataStream or a Device) releases the lock first.
//
// Lifetimes: the Python DataStream owns a LiveStream, which owns the device's stream object and a
// copy of the device handle's `owner`, so the plugin's code stays loaded while the stream object
// exists even when the Device and the DeviceManager are gone. ManagedBuffers hold the same owner.
#include "pyvorn/streams.hpp"

#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <utility>

#include <pybind11/stl.h>

#include "pyvorn/adapters.hpp"
#include "pyvorn/interpreter.hpp"
#include "pyvorn/uninitialized.hpp"
#include "vorn/device_manager.hpp"
#include "vorn/host/rechunker.hpp"
#include "vorn/host/stream_queue.hpp"

namespace py = pybind11;

namespace pyvorn {

namespace {

using vorn::DataStream::EventCallback;

// The stream object a Python DataStream owns: the device's stream plus what must outlive it.
// Every live one is known to the exit hook, which stops them all before the interpreter finalizes.
class LiveStream final : public vorn::Device::DataStream {
  public:
    LiveStream(StreamHandle stream, std::shared_ptr<const void> owner)
        : owner_(std::move(owner)), stream_(std::move(stream)) {
        std::lock_guard lock(registry_mutex());
        registry().insert(this);
    }

    // Destroys the device's stream (which may wait for the delivery thread) without the
    // interpreter lock, then releases the plugin.
    ~LiveStream() override {
        std::optional<py::gil_scoped_release> unlocked;
        if (PyGILState_Check()) {
            unlocked.emplace();
        }
        {
            std::lock_guard lock(registry_mutex());
            registry().erase(this);
        }
        stream_.reset();
    }

    // Called without the interpreter lock. Calls from several threads are serialised.
    void stop() override {
        std::lock_guard lock(stop_mutex_);
        stream_->stop();
    }

    // The exit hook: with the interpreter gate closed and the lock released, stops every stream.
    static void stop_all() {
        std::lock_guard lock(registry_mutex());
        for (LiveStream* stream : registry()) {
            try {
                stream->stop();
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
    std::mutex stop_mutex_;
    StreamHandle stream_;
};

void stop_streams_at_exit() {
    InterpreterGate::close();
    py::gil_scoped_release unlocked;
    LiveStream::stop_all();
}

// What keeps the plugin of `device` loaded: the `owner` of the handle that the Python Device
// holds (empty for devices implemented in Python).
std::shared_ptr<const void> device_owner(vorn::Device& device) {
    auto* type = py::detail::get_type_info(typeid(vorn::Device));
    auto self = py::reinterpret_steal<py::object>(
        py::detail::find_registered_python_instance(&device, type));
    if (!self) {
        return {};
    }
    auto* instance = reinterpret_cast<py::detail::instance*>(self.ptr());
    return instance->get_value_and_holder(type).holder<vorn::DeviceHandle>().get_deleter().owner;
}

int queue_limit(std::uint64_t max_queue_elements) {
    if (max_queue_elements > static_cast<std::uint64_t>(std::numeric_limits<int>::max())) {
        throw py::value_error("max_queue_elements must be at most " +
                              std::to_string(std::numeric_limits<int>::max()) + ", got " +
                              std::to_string(max_queue_elements));
    }
    return static_cast<int>(max_queue_elements);
}

// Puts a StreamQueue in front of `consumer`, hands it to the device and wraps what comes back.
// Runs on a Python thread with the interpreter lock held.
std::optional<StreamHandle> start_stream(vorn::Device& device, unsigned int addr,
                                         EventCallback consumer, std::uint64_t chunk_size,
                                         int max_elements, std::shared_ptr<const void> owner) {
    EventCallback queue{vorn::DataStream::EventStreamQueue(std::move(consumer), max_elements)};
    // A queue the device did not take is destroyed here, which joins its delivery thread.
    auto drop_untaken_queue = [&queue] {
        if (queue) {
            py::gil_scoped_release unlocked;
            queue = EventCallback{};
        }
    };
    std::optional<StreamHandle> stream;
    try {
        stream = device.start_read_stream(addr, std::move(queue), chunk_size);
    } catch (...) {
        drop_untaken_queue();
        throw;
    }
    drop_untaken_queue();
    if (!stream || !*stream) {
        return std::nullopt;
    }
    return StreamHandle(new LiveStream(std::move(*stream), std::move(owner)));
}

}  // namespace

void PyDataStream::stop() {
    PYBIND11_OVERRIDE_PURE(void, vorn::Device::DataStream, stop, );
}

void register_data_stream(py::module_& m) {
    py::class_<vorn::Device::DataStream, PyDataStream> cls(m, "DataStream");
    refuse_unconstructed_instances<vorn::Device::DataStream>();
    cls.def("stop", &vorn::Device::DataStream::stop, py::call_guard<py::gil_scoped_release>())
        .def(
            "__enter__",
            [](vorn::Device::DataStream& self) -> vorn::Device::DataStream& { return self; },
            py::return_value_policy::reference)
        .def(
            "__exit__",
            [](vorn::Device::DataStream& self, const std::optional<py::type>&,
               const std::optional<py::object>&, const std::optional<py::object>&) { self.stop(); },
            py::call_guard<py::gil_scoped_release>());
    py::module_::import("atexit").attr("register")(py::cpp_function(&stop_streams_at_exit));
}

std::optional<StreamHandle> start_read_stream(vorn::Device& device, unsigned int addr,
                                              StreamCallback<ManagedBuffer> callback,
                                              std::uint64_t chunk_size,
                                              std::uint64_t max_queue_elements) {
    const int max_elements = queue_limit(max_queue_elements);
    auto owner = device_owner(device);
    EventCallback adapter{ManagedBufferAdapter(std::move(callback), owner)};
    return start_stream(device, addr, std::move(adapter), chunk_size, max_elements,
                        std::move(owner));
}

std::optional<StreamHandle> start_aligned_read_stream(vorn::Device& device, unsigned int addr,
                                                      std::uint64_t alignment,
                                                      StreamCallback<DataView> callback,
                                                      std::uint64_t chunk_size,
                                                      std::uint64_t max_queue_elements) {
    if (alignment == 0) {
        throw py::value_error("alignment must be greater than 0");
    }
    const int max_elements = queue_limit(max_queue_elements);
    EventCallback rechunker{
        vorn::DataStream::Rechunker(EventCallback{ViewAdapter(std::move(callback))}, alignment)};
    return start_stream(device, addr, std::move(rechunker), chunk_size, max_elements,
                        device_owner(device));
}

}  // namespace pyvorn
