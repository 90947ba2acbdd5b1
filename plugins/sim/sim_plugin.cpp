// The simulated device plugin (placeholder while the plugin is being built).
#include <vorn/vorn.hpp>

namespace {

class SimDevice final : public vorn::Device {
public:
    using Status = vorn::BasicDeviceStatus;
    Status set_register(unsigned int, unsigned int, unsigned int) override { return Status::Success; }
    Status send_registers() override { return Status::Success; }
    unsigned int get_register(unsigned int) override { return 0; }
    Status read_registers() override { return Status::Success; }
    Status trigger(unsigned int, std::int32_t) override { return Status::Success; }
    std::uint64_t write(unsigned int, std::uint64_t, const std::uint8_t*) override { return 0; }
    std::uint64_t read(unsigned int, std::uint64_t, std::uint8_t*) override { return 0; }
};

class SimManager final : public vorn::DeviceManager {
public:
    std::string info() override { return "simulated devices"; }
    std::filesystem::path location() override { return "sim"; }
    std::string list_devices() override { return "sim0"; }
    std::string get_device_options() override { return ""; }
    vorn::DeviceHandle create_device(const std::string&) override {
        return vorn::DeviceHandle(new SimDevice(), vorn::device_deleter{shared_from_this()});
    }
};

vorn::DeviceManager* make_manager() { return new SimManager(); }

}  // namespace

VORN_EXPORT_MANAGER_FACTORY(make_manager)
