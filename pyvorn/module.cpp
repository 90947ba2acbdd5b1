// The pyvorn_device module: its entry and the registration of the whole Python surface.
//
// Registration order matters: every type is registered before a later signature mentions it, so
// generated signatures show Python names (pyvorn_device.DataStream) instead of native ones.
#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <fmt/format.h>

#include <filesystem>
#include <memory>
#include <string_view>

#include "pyvorn/binding_internals.hpp"
#include "pyvorn/block_transfer.hpp"
#include "pyvorn/chunks.hpp"
#include "pyvorn/closed_device.hpp"
#include "pyvorn/interpreter.hpp"
#include "pyvorn/process_state.hpp"
#include "pyvorn/py_device.hpp"
#include "pyvorn/recordings.hpp"
#include "pyvorn/streams.hpp"
#include "vorn/device_manager.hpp"
#include "vorn/host/loader.hpp"

namespace py = pybind11;

namespace {

using vorn::Device;
using DeviceHolder = vorn::DeviceHandle;

void register_return_code(py::module_& m) {
    // A scoped enumeration without arithmetic: comparisons are strict, members are not exported.
    py::enum_<vorn::BasicDeviceStatus>(m, "ReturnCode")
        .value("Success", vorn::BasicDeviceStatus::Success)
        .value("Failure", vorn::BasicDeviceStatus::Failure);
}

void register_device(py::module_& m) {
    py::class_<Device, pyvorn::PyDevice, DeviceHolder> cls(m, "Device");
    // A device's destructor may end its stream and wait for the delivery thread.
    // Its streams' registry entries forget its address, which a later device may get.
    pyvorn::internals::destroy_without_lock<DeviceHolder, Device, &pyvorn::forget_device>();
    pyvorn::internals::refuse_unconstructed_instances<Device>();
    cls.def(py::init<>())
        .def("__repr__",
             [](const Device& self) {
                 return fmt::format("<pyvorn_device.Device at {}>", fmt::ptr(&self));
             })
        .def("set_register_sync", &Device::set_register_sync)
        .def("set_register", &Device::set_register)
        .def("send_registers", &Device::send_registers)
        .def("get_register_sync", &Device::get_register_sync)
        .def("get_register", &Device::get_register)
        .def("read_registers", &Device::read_registers)
        .def("trigger", &Device::trigger)
        .def("write", &pyvorn::write_from_buffer)
        .def("read", &pyvorn::read_into_buffer)
        .def("start_read_stream", &pyvorn::start_read_stream, py::arg("addr"), py::arg("callback"),
             py::arg("chunk_size") = 0, py::arg("max_queue_elements") = 4096,
             py::return_value_policy::move)
        .def("start_aligned_read_stream", &pyvorn::start_aligned_read_stream, py::arg("addr"),
             py::arg("alignment"), py::arg("callback"), py::arg("chunk_size") = 0,
             py::arg("max_queue_elements") = 4096, py::return_value_policy::move)
        .def("get_status", &Device::get_status)
        .def("get_info", &Device::get_info)
        .def(
            "start_recording",
            [](Device& self, unsigned int addr, std::filesystem::path path, std::string format,
               std::string dtype, std::uint64_t chunk_size, std::uint64_t max_queue_elements,
               std::optional<double> sample_rate, std::string description,
               std::optional<py::object> tap, double tap_interval,
               std::optional<std::uint64_t> max_bytes, std::optional<std::uint64_t> max_chunks,
               std::optional<int> fd) {
                return pyvorn::start_recording(
                    self, addr,
                    {std::move(path), std::move(format), std::move(dtype), chunk_size,
                     max_queue_elements, sample_rate, std::move(description), std::move(tap),
                     tap_interval, max_bytes, max_chunks, fd});
            },
            py::arg("addr"), py::arg("path"), py::arg("format") = "raw", py::arg("dtype") = "|u1",
            py::arg("chunk_size") = 0, py::arg("max_queue_elements") = 4096,
            py::arg("sample_rate") = py::none(), py::arg("description") = "",
            py::arg("tap") = py::none(), py::arg("tap_interval") = 0.1,
            py::arg("max_bytes") = py::none(), py::arg("max_chunks") = py::none(),
            py::arg("fd") = py::none(), py::return_value_policy::move)
        .def("close", &pyvorn::close_device)
        .def_property_readonly("closed", &pyvorn::is_closed)
        .def(
            "__enter__",
            [](Device& self) -> Device& {
                pyvorn::throw_if_closed(self);
                return self;
            },
            py::return_value_policy::reference)
        .def("__exit__",
             [](Device& self, const std::optional<py::type>&, const std::optional<py::object>&,
                const std::optional<py::object>&) { pyvorn::close_device(self); });
}

// The loader's messages carry the path's bytes exactly as given. When those are not valid UTF-8,
// the binding library's translation would fail to build the RuntimeError's message and raise a
// UnicodeDecodeError in its place, hiding what went wrong. Such messages are raised as
// RuntimeError with the undecodable bytes shown as \xNN; every other error passes unchanged.
std::shared_ptr<vorn::DeviceManager> get_device_manager(const std::filesystem::path& path) {
    try {
        return vorn::get_device_manager(path);
    } catch (const std::exception& error) {
        const std::string_view text = error.what();
        const auto size = static_cast<py::ssize_t>(text.size());
        auto message =
            py::reinterpret_steal<py::object>(PyUnicode_DecodeUTF8(text.data(), size, "strict"));
        if (message) {
            throw;
        }
        PyErr_Clear();
        message = py::reinterpret_steal<py::object>(
            PyUnicode_DecodeUTF8(text.data(), size, "backslashreplace"));
        PyErr_SetObject(PyExc_RuntimeError, message.ptr());
        throw py::error_already_set();
    }
}

void register_device_manager(py::module_& m) {
    py::class_<vorn::DeviceManager, std::shared_ptr<vorn::DeviceManager>> cls(m, "DeviceManager");
    pyvorn::internals::refuse_unconstructed_instances<vorn::DeviceManager>();
    cls.def("info", &vorn::DeviceManager::info)
        .def("location", &vorn::DeviceManager::location)
        .def("list_devices", &vorn::DeviceManager::list_devices)
        .def("get_device_options", &vorn::DeviceManager::get_device_options)
        // The plugin may take its time: other Python threads run meanwhile. The lock is taken back
        // before the handle is converted (and, when null, destroyed).
        .def("create_device", [](vorn::DeviceManager& self, const std::string& options) {
            return pyvorn::without_lock([&] { return self.create_device(options); });
        });
}

}  // namespace

PYBIND11_MODULE(pyvorn_device, m) {
    m.doc() = "Python binding for VORN Device";
    register_return_code(m);
    pyvorn::register_data_stream(m);
    pyvorn::register_chunks(m);
    register_device(m);
    register_device_manager(m);
    m.def("get_device_manager", &get_device_manager);
    pyvorn::install_process_hooks(m);
}
