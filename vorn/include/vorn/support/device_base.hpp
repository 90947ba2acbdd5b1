// A starting point for a plugin's device: every operation that vorn::Device leaves to the plugin
// answers "not supported" (Failure, 0, or an unmapped register) until the plugin overrides it.
//
// Header-only; part of vorn/support.hpp. A device that has no registers, triggers or device memory
// overrides only what it has, typically start_read_stream, get_status and get_info.
#pragma once

#include <cstdint>

#include "vorn/device.hpp"

namespace vorn::support {

class DeviceBase : public vorn::Device {
  public:
    using Status = vorn::BasicDeviceStatus;

    // The value of a register the device does not have.
    static constexpr unsigned int unmapped_value = 0xFFFF'FFFFu;

    Status set_register(unsigned int, unsigned int, unsigned int) override {
        return Status::Failure;
    }
    Status send_registers() override { return Status::Failure; }
    unsigned int get_register(unsigned int) override { return unmapped_value; }
    Status read_registers() override { return Status::Failure; }
    Status trigger(unsigned int, std::int32_t) override { return Status::Failure; }
    // Block transfers move nothing.
    std::uint64_t write(unsigned int, std::uint64_t, const std::uint8_t*) override { return 0; }
    std::uint64_t read(unsigned int, std::uint64_t, std::uint8_t*) override { return 0; }
};

}  // namespace vorn::support
