// Building blocks of the test plugins: a device and a manager that answer every operation with a
// fixed, harmless result. Each test plugin overrides only what its test is about.
#pragma once

#include <filesystem>
#include <string>

#include <vorn/vorn.hpp>

namespace vorn_test {

class QuietDevice : public vorn::Device {
  public:
    using Status = vorn::BasicDeviceStatus;

    Status set_register(unsigned int, unsigned int, unsigned int) override {
        return Status::Success;
    }
    Status send_registers() override { return Status::Success; }
    unsigned int get_register(unsigned int) override { return 0; }
    Status read_registers() override { return Status::Success; }
    Status trigger(unsigned int, std::int32_t) override { return Status::Success; }
    std::uint64_t write(unsigned int, std::uint64_t, const std::uint8_t*) override { return 0; }
    std::uint64_t read(unsigned int, std::uint64_t, std::uint8_t*) override { return 0; }
};

// create_device gives a null handle unless a plugin overrides it.
class QuietManager : public vorn::DeviceManager {
  public:
    std::string info() override { return "test manager"; }
    std::filesystem::path location() override { return {}; }
    std::string list_devices() override { return ""; }
    std::string get_device_options() override { return ""; }
    vorn::DeviceHandle create_device(const std::string&) override { return {}; }
};

}  // namespace vorn_test
