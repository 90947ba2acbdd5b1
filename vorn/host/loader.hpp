// Loading device-manager plugins: the manager handle and the loader.
#pragma once

#include <filesystem>
#include <memory>

#include "vorn/device_manager.hpp"

namespace boost::dll {
class shared_library;
}  // namespace boost::dll

namespace vorn {

// Deleter of the manager handle. The call deletes the manager; `library` is released only when
// the deleter itself is destroyed, with the handle's control block, so the manager's destructor
// always runs while its code is still loaded. The loader (not the plugin) allocates the control
// block, so the code that runs when the last reference goes belongs to the host.
struct manager_deleter {
    std::shared_ptr<boost::dll::shared_library> library;

    void operator()(DeviceManager* manager) const noexcept { delete manager; }
};

// Loads the plugin at `path`, runs its factory and returns the manager handle, which keeps the
// library loaded for as long as the manager's control block exists. The handle's pointer is null
// (and the handle still holds the library) when the factory returned null.
//
// Errors: std::runtime_error "Device Manager not found: <path>", "Not a regular file: <path>",
// "Device Manager does not have create_manager function: <path>", "Device Manager exports
// create_manager as a function; export the factory's address with VORN_EXPORT_MANAGER_FACTORY
// instead: <path>" (the symbol is a function, not data holding the factory's address; it is
// never called), "Failed to create manager: <path> <what>"; the standard library's
// filesystem_error; the dynamic-loading library's system_error when the loader refuses the file.
// A factory exception that does not derive from std::exception passes through unchanged; the
// library then stays loaded for the rest of the process, because the exception in flight may be
// of a type whose code lives in that library. The path in messages is path.native(), exactly as
// given.
std::shared_ptr<DeviceManager> get_device_manager(const std::filesystem::path& path);

}  // namespace vorn
