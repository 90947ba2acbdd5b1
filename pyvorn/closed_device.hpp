// Closing a device: Device.close(), and what a closed Device holds in place of its native device.
#pragma once

#include <pybind11/pybind11.h>

#include "vorn/device.hpp"

namespace pyvorn {

// Throws std::runtime_error "this Device is closed" for a closed device.
void throw_if_closed(const vorn::Device& device);

// Whether Device.close() was called on `device`.
bool is_closed(const vorn::Device& device);

// Device.close(), on a Python thread holding the interpreter lock. Stops the streams started from
// the device that still run (each callable hears what was pushed before, then its end), then
// destroys the native device at once; its plugin is released when nothing else holds it. Again:
// nothing. On a Python subclass of Device, it only marks the device closed.
void close_device(vorn::Device& device);

}  // namespace pyvorn
