// The trampoline's overrides.
#include "pyvorn/py_device.hpp"

#include <pybind11/stl.h>

namespace pyvorn {

PyDevice::Status PyDevice::set_register_sync(unsigned int addr, unsigned int value,
                                             unsigned int aux) {
    PYBIND11_OVERRIDE(Status, Device, set_register_sync, addr, value, aux);
}

PyDevice::Status PyDevice::set_register(unsigned int addr, unsigned int value, unsigned int aux) {
    PYBIND11_OVERRIDE_PURE(Status, Device, set_register, addr, value, aux);
}

PyDevice::Status PyDevice::send_registers() {
    PYBIND11_OVERRIDE_PURE(Status, Device, send_registers, );
}

std::optional<unsigned int> PyDevice::get_register_sync(unsigned int addr) {
    PYBIND11_OVERRIDE(std::optional<unsigned int>, Device, get_register_sync, addr);
}

unsigned int PyDevice::get_register(unsigned int addr) {
    PYBIND11_OVERRIDE_PURE(unsigned int, Device, get_register, addr);
}

PyDevice::Status PyDevice::read_registers() {
    PYBIND11_OVERRIDE_PURE(Status, Device, read_registers, );
}

PyDevice::Status PyDevice::trigger(unsigned int addr, std::int32_t selector) {
    PYBIND11_OVERRIDE_PURE(Status, Device, trigger, addr, selector);
}

std::uint64_t PyDevice::write(unsigned int, std::uint64_t, const std::uint8_t*) {
    pybind11::pybind11_fail("Tried to call pure virtual function \"Device::write\"");
}

std::uint64_t PyDevice::read(unsigned int, std::uint64_t, std::uint8_t*) {
    pybind11::pybind11_fail("Tried to call pure virtual function \"Device::read\"");
}

std::optional<std::string> PyDevice::get_status() {
    PYBIND11_OVERRIDE(std::optional<std::string>, Device, get_status, );
}

std::optional<std::string> PyDevice::get_info() {
    PYBIND11_OVERRIDE(std::optional<std::string>, Device, get_info, );
}

}  // namespace pyvorn
