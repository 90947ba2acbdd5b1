// Everything a device-manager plugin needs: the device interface, stream events, the manager
// interface with the device handle, and the factory export.
#pragma once

#include "vorn/config.hpp"
#include "vorn/device.hpp"
#include "vorn/device_manager.hpp"
#include "vorn/events.hpp"
#include "vorn/plugin.hpp"
#include "vorn/status.hpp"
