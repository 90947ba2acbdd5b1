// A plugin whose texts are not valid UTF-8: every text operation of the manager and the device,
// and a location with bytes that are not valid in the file-system encoding.
#include "test_plugin.hpp"

namespace {

class BadTextDevice final : public vorn_test::QuietDevice {
  public:
    std::optional<std::string> get_status() override { return "status \xff"; }
    std::optional<std::string> get_info() override { return "info \xc3("; }
};

class BadTextManager final : public vorn_test::QuietManager {
  public:
    std::string info() override { return "info \xff\xfe"; }
    // A valid name ("café") followed by two bytes that are no UTF-8.
    std::filesystem::path location() override { return "/nonexistent/caf\xc3\xa9-\xff\xfe"; }
    std::string list_devices() override { return "device \xc3("; }
    // An encoded surrogate: well-formed in appearance, invalid in strict UTF-8.
    std::string get_device_options() override { return "options \xed\xa0\x80"; }
    vorn::DeviceHandle create_device(const std::string&) override {
        return vorn::DeviceHandle(new BadTextDevice(), vorn::device_deleter{shared_from_this()});
    }
};

vorn::DeviceManager* make_manager() {
    return new BadTextManager();
}

}  // namespace

VORN_EXPORT_MANAGER_FACTORY(make_manager)
