// Read streams: the chain from the device to the Python callable, and the DataStream handle.
#include "pyvorn/streams.hpp"

#include <pybind11/stl.h>

#include <stdexcept>

namespace py = pybind11;

namespace pyvorn {

void PyDataStream::stop() {
    PYBIND11_OVERRIDE_PURE(void, vorn::Device::DataStream, stop, );
}

void register_data_stream(py::module_& m) {
    py::class_<vorn::Device::DataStream, PyDataStream>(m, "DataStream")
        .def("stop", &vorn::Device::DataStream::stop, py::call_guard<py::gil_scoped_release>())
        .def(
            "__enter__",
            [](vorn::Device::DataStream& self) -> vorn::Device::DataStream& { return self; },
            py::return_value_policy::reference)
        .def(
            "__exit__",
            [](vorn::Device::DataStream& self, const std::optional<py::type>&,
               const std::optional<py::object>&, const std::optional<py::object>&) { self.stop(); },
            py::call_guard<py::gil_scoped_release>());
}

std::optional<StreamHandle> start_read_stream(vorn::Device&, unsigned int, ManagedBufferCallback,
                                              std::uint64_t, std::uint64_t) {
    throw std::runtime_error("read streams are not implemented yet");
}

std::optional<StreamHandle> start_aligned_read_stream(vorn::Device&, unsigned int, std::uint64_t,
                                                      DataViewCallback, std::uint64_t,
                                                      std::uint64_t) {
    throw std::runtime_error("read streams are not implemented yet");
}

}  // namespace pyvorn
