// A minimal device-manager plugin: one device that keeps its registers in a map.
#include <map>
#include <optional>
#include <string>

#include <vorn/vorn.hpp>

namespace {

using Status = vorn::BasicDeviceStatus;

class MapDevice final : public vorn::Device {
  public:
    Status set_register(unsigned int addr, unsigned int value, unsigned int) override {
        staged_[addr] = value;
        return Status::Success;
    }
    Status send_registers() override {
        for (const auto& [addr, value] : staged_) {
            sent_[addr] = value;
        }
        staged_.clear();
        return Status::Success;
    }
    unsigned int get_register(unsigned int addr) override { return sent_[addr]; }
    Status read_registers() override { return Status::Success; }
    Status trigger(unsigned int, std::int32_t) override { return Status::Failure; }
    std::uint64_t write(unsigned int, std::uint64_t, const std::uint8_t*) override { return 0; }
    std::uint64_t read(unsigned int, std::uint64_t, std::uint8_t*) override { return 0; }
    std::optional<std::string> get_info() override { return "map device"; }

  private:
    std::map<unsigned int, unsigned int> staged_;
    std::map<unsigned int, unsigned int> sent_;
};

class Manager final : public vorn::DeviceManager {
  public:
    std::string info() override { return "downstream plugin"; }
    std::filesystem::path location() override { return "/downstream"; }
    std::string list_devices() override { return "map"; }
    std::string get_device_options() override { return "none"; }
    vorn::DeviceHandle create_device(const std::string&) override {
        return vorn::DeviceHandle(new MapDevice(), vorn::device_deleter{shared_from_this()});
    }
};

vorn::DeviceManager* make_manager() {
    return new Manager();
}

}  // namespace

VORN_EXPORT_MANAGER_FACTORY(make_manager)
