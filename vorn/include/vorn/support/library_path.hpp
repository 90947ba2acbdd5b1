// The file a plugin was loaded from, for DeviceManager::location().
//
// Header-only; part of vorn/support.hpp. Call it from the factory (right after the library was
// loaded, while the working directory is still the one a relative path was given against).
#pragma once

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

namespace vorn::support {

// The absolute path (symbolic links kept) of the loaded library that holds `anchor`, an address
// in it such as that of a static variable of the plugin; empty when the loader cannot tell. The
// dynamic loader knows the path as it was given, perhaps relative to the working directory.
inline std::filesystem::path library_path(const void* anchor) {
    Dl_info info{};
    if (dladdr(anchor, &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    std::error_code error;
    std::filesystem::path path = std::filesystem::absolute(info.dli_fname, error);
    return error ? std::filesystem::path(info.dli_fname) : path;
}

}  // namespace vorn::support
