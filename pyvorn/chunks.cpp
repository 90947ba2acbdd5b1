// Buffer export of the chunk classes.
#include "pyvorn/chunks.hpp"

namespace py = pybind11;

namespace pyvorn {

namespace {

// One-dimensional, unit-stride, writable unsigned bytes.
py::buffer_info byte_buffer(std::uint8_t* data, std::uint64_t size) {
    return py::buffer_info(data, static_cast<py::ssize_t>(size));
}

}  // namespace

void register_chunks(py::module_& m) {
    py::class_<ManagedBuffer>(m, "ManagedBuffer", py::buffer_protocol())
        .def_buffer([](ManagedBuffer& self) { return byte_buffer(self.data(), self.size()); });
    py::class_<DataView>(m, "DataView", py::buffer_protocol())
        .def_buffer([](DataView& self) { return byte_buffer(self.data(), self.size()); });
}

}  // namespace pyvorn
