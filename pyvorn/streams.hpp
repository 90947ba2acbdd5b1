// Read streams: DataStream and the two stream-start methods of Device.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <pybind11/pybind11.h>

#include "pyvorn/chunks.hpp"
#include "vorn/device.hpp"

namespace pyvorn {

using StreamHandle = std::unique_ptr<vorn::Device::DataStream>;

// Alias class of DataStream. Never instantiated: DataStream has no Python constructor.
class PyDataStream : public vorn::Device::DataStream {
public:
    void stop() override;
};

using ManagedBufferCallback =
    std::function<void(std::optional<ManagedBuffer>, std::optional<std::string>)>;
using DataViewCallback = std::function<void(std::optional<DataView>, std::optional<std::string>)>;

// Registers DataStream with stop, __enter__ and __exit__.
void register_data_stream(pybind11::module_& m);

std::optional<StreamHandle> start_read_stream(vorn::Device& device, unsigned int addr,
                                              ManagedBufferCallback callback,
                                              std::uint64_t chunk_size,
                                              std::uint64_t max_queue_elements);

std::optional<StreamHandle> start_aligned_read_stream(vorn::Device& device, unsigned int addr,
                                                      std::uint64_t alignment,
                                                      DataViewCallback callback,
                                                      std::uint64_t chunk_size,
                                                      std::uint64_t max_queue_elements);

}  // namespace pyvorn
