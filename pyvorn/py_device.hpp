// pyvorn::PyDevice: the trampoline through which native callers reach a Python subclass of Device.
//
// Every operation except start_read_stream is looked up on the Python object and, when the class
// overrides it, called with the interpreter lock taken on whatever thread the caller is on. Without
// an override the interface default runs (with the lock released) or the operation's
// "Tried to call pure virtual function" error is raised. The trampoline holds no reference to its
// Python object; the binding library finds it by the native object's address. The Python Device
// object owns its PyDevice (unique handle, empty owner); the PyDevice adds no state of its own but
// whether close() was called.
//
// Thread rules: any operation may be called on any thread, with or without the interpreter lock.
// A write/read override gets its data as a memoryview over a private copy, released on return
// (see py_device.cpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <pybind11/pybind11.h>

#include "vorn/device.hpp"

namespace pyvorn {

// Short for the interface the trampoline implements.
using Device = vorn::Device;

class PyDevice : public Device {
  public:
    using Status = vorn::BasicDeviceStatus;

    PyDevice() = default;
    ~PyDevice() override = default;

    Status set_register_sync(unsigned int addr, unsigned int value, unsigned int aux) override;
    Status set_register(unsigned int addr, unsigned int value, unsigned int aux) override;
    Status send_registers() override;
    std::optional<unsigned int> get_register_sync(unsigned int addr) override;
    unsigned int get_register(unsigned int addr) override;
    Status read_registers() override;
    Status trigger(unsigned int addr, std::int32_t selector) override;
    std::uint64_t write(unsigned int addr, std::uint64_t length, const std::uint8_t* data) override;
    std::uint64_t read(unsigned int addr, std::uint64_t length, std::uint8_t* data) override;
    std::optional<std::string> get_status() override;
    std::optional<std::string> get_info() override;

    // Device.close() on a Python subclass only marks it closed (with the interpreter lock held).
    void mark_closed() noexcept { closed_ = true; }
    bool closed() const noexcept { return closed_; }

  private:
    bool closed_ = false;
};

}  // namespace pyvorn
