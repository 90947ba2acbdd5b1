// Buffer checks and the zero-copy hand-over of Device.write and Device.read.
#include "pyvorn/block_transfer.hpp"

#include <stdexcept>

namespace pyvorn {

std::uint64_t write_from_buffer(vorn::Device&, unsigned int, const pybind11::buffer&) {
    throw std::runtime_error("Device.write is not implemented yet");
}

std::uint64_t read_into_buffer(vorn::Device&, unsigned int, const pybind11::buffer&) {
    throw std::runtime_error("Device.read is not implemented yet");
}

}  // namespace pyvorn
