// Device.write and Device.read: block transfers between Python buffers and a device, zero-copy.
#pragma once

#include <cstdint>

#include <pybind11/pybind11.h>

#include "vorn/device.hpp"

namespace pyvorn {

// Hands the memory of `data` to the device's write operation without copying and returns the
// device's count. The interpreter lock stays held for the whole transfer.
std::uint64_t write_from_buffer(vorn::Device& device, unsigned int addr,
                                const pybind11::buffer& data);

// Lets the device's read operation fill the writable memory of `data` in place.
std::uint64_t read_into_buffer(vorn::Device& device, unsigned int addr,
                               const pybind11::buffer& data);

}  // namespace pyvorn
