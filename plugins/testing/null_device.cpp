// A plugin whose create_device returns a null handle. The handle's deleter still carries a
// reference to the manager, which the caller must release at once.
#include "counters.hpp"
#include "test_plugin.hpp"

namespace {

class NullDeviceManager final : public vorn_test::QuietManager {
  public:
    vorn::DeviceHandle create_device(const std::string&) override {
        return vorn::DeviceHandle(nullptr, vorn::device_deleter{shared_from_this()});
    }

  private:
    vorn_test::LiveCount live_{"null_device.managers"};
};

vorn::DeviceManager* make_manager() {
    return new NullDeviceManager();
}

}  // namespace

VORN_EXPORT_MANAGER_FACTORY(make_manager)
