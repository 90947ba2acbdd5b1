// Exporting a plugin's factory.
//
// A plugin exports, under the unmangled name `create_manager`, a data symbol whose value is the
// address of its factory (not a function of that name, which the loader refuses): the loader reads
// the pointer stored there and calls it. Use the macro once, at namespace scope, in one source
// file of the plugin:
//
//     vorn::DeviceManager* make_manager() { return new MyManager(); }
//     VORN_EXPORT_MANAGER_FACTORY(make_manager)
#pragma once

#include "vorn/config.hpp"
#include "vorn/device_manager.hpp"

#define VORN_EXPORT_MANAGER_FACTORY(factory)                                           \
    extern "C" {                                                                       \
    VORN_API extern const void* const create_manager;                                  \
    const void* const create_manager =                                                 \
        reinterpret_cast<const void*>(static_cast<::vorn::ManagerFactory*>(&factory)); \
    }
