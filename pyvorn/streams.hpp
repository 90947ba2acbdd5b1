// Read streams: DataStream and the two stream-start methods of Device.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include <pybind11/pybind11.h>

#include "pyvorn/chunks.hpp"
#include "pyvorn/python_delivery.hpp"
#include "vorn/device.hpp"
#include "vorn/host/recording_writer.hpp"
#include "vorn/host/stream_session.hpp"

namespace pyvorn {

using StreamHandle = std::unique_ptr<vorn::Device::DataStream>;

// Alias class of DataStream. Never instantiated: DataStream has no Python constructor.
class PyDataStream : public vorn::Device::DataStream {
  public:
    void stop() override;
};

// What a stream started for Python is made of.
struct StreamParts {
    // What the delivery thread hands the events to.
    std::unique_ptr<vorn::DataStream::Consumer> consumer;
    // The Python side the DataStream keeps (and shows the garbage collector): the callable, or a
    // recording's tap; may be null.
    std::shared_ptr<PythonDelivery> python;
    // Whether the delivery thread enters Python (through `python`, once per run of events).
    bool python_on_delivery_thread = true;
    // A recording's status, for DataStream.progress(); null for a stream into a callable.
    std::shared_ptr<const vorn::DataStream::RecordingStatus> status;
};

// Starts the device's read stream into `parts` (any Python thread, holding the lock): checks the
// queue limit, refuses closed devices and subinterpreters, keeps the plugin loaded. None when the
// device started no stream.
std::optional<StreamHandle> start_stream(vorn::Device& device, unsigned int addr,
                                         std::uint64_t chunk_size, std::uint64_t max_queue_elements,
                                         StreamParts parts);

// Stops a stream session started for Python (without the interpreter lock) and ends its delivery
// there. True when the caller is to wait for the end: not on any stream's delivery thread (its own
// cannot wait for itself, and two callables that stop each other's streams would wait for each
// other for ever: the end follows once the callables return), nor at exit (nothing is delivered
// any more).
bool stop_session(vorn::DataStream::StreamSession& session);

// Registers DataStream with stop, __enter__ and __exit__ (it takes part in garbage collection).
void register_data_stream(pybind11::module_& m);

// Device.start_read_stream: delivers the device's chunks as ManagedBuffers.
std::optional<StreamHandle> start_read_stream(vorn::Device& device, unsigned int addr,
                                              StreamCallable<ManagedBuffer> callback,
                                              std::uint64_t chunk_size,
                                              std::uint64_t max_queue_elements);

// Device.start_aligned_read_stream: delivers DataViews of whole blocks of `alignment` bytes.
std::optional<StreamHandle> start_aligned_read_stream(vorn::Device& device, unsigned int addr,
                                                      std::uint64_t alignment,
                                                      StreamCallable<DataView> callback,
                                                      std::uint64_t chunk_size,
                                                      std::uint64_t max_queue_elements);

}  // namespace pyvorn
