// The device-manager interface a plugin implements, and the handle that owns a device.
//
// The virtual operations are called through the dispatch table; their order is part of the binary
// interface between the module and its plugins.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "vorn/config.hpp"
#include "vorn/device.hpp"

namespace vorn {

// Deleter of a device handle. `owner` keeps the device's code loaded while the device exists:
// a plugin stores a copy of its manager's own handle (shared_from_this()) here. The handle calls
// the deleter before the deleter is destroyed, so the device always goes before its owner.
struct device_deleter {
    std::shared_ptr<const void> owner;

    void operator()(Device* device) const noexcept { delete device; }
};

// Unique owner of a device; null means that no device was created.
using DeviceHandle = std::unique_ptr<Device, device_deleter>;

// A plugin's manager. Only plugins create managers; the loader owns the one a plugin's factory
// returns and sets its shared_from_this() self-reference.
class VORN_API DeviceManager : public std::enable_shared_from_this<DeviceManager> {
  public:
    virtual ~DeviceManager() = default;

    virtual std::string info() = 0;
    virtual std::filesystem::path location() = 0;
    virtual std::string list_devices() = 0;
    virtual std::string get_device_options() = 0;
    // Called without the interpreter lock: it may run at the same time as any other operation
    // of this manager called from another Python thread, another create_device included.
    virtual DeviceHandle create_device(const std::string& options) = 0;
};

// The plugin's factory: returns a new manager that `delete` may destroy, or null. It may throw.
using ManagerFactory = DeviceManager*();

}  // namespace vorn
