// A plugin whose device records every call it gets (a spy), for tests of what reaches a device.
//
// The device echoes: get_register(addr) gives addr, write/read report the full length. get_status
// gives the calls so far, "; "-separated (for example "set_register(1, 2, 3); send_registers()").
// get_info gives "address=<the device's address> options=<the option text>". Option words:
// "silent" makes get_status and get_info give no result, "fail-read" makes read_registers fail.
// Live managers and devices are counted as spy.managers and spy.devices, factory calls
// as spy.factory_calls.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "counters.hpp"
#include "test_plugin.hpp"

namespace {

using Status = vorn::BasicDeviceStatus;

class SpyDevice final : public vorn::Device {
  public:
    explicit SpyDevice(std::string options)
        : options_(std::move(options)),
          silent_(options_.find("silent") != std::string::npos),
          fail_read_(options_.find("fail-read") != std::string::npos) {}

    Status set_register(unsigned int addr, unsigned int value, unsigned int aux) override {
        record("set_register(" + std::to_string(addr) + ", " + std::to_string(value) + ", " +
               std::to_string(aux) + ")");
        return Status::Success;
    }
    Status send_registers() override {
        record("send_registers()");
        return Status::Success;
    }
    unsigned int get_register(unsigned int addr) override {
        record("get_register(" + std::to_string(addr) + ")");
        return addr;
    }
    Status read_registers() override {
        record("read_registers()");
        return fail_read_ ? Status::Failure : Status::Success;
    }
    Status trigger(unsigned int addr, std::int32_t selector) override {
        record("trigger(" + std::to_string(addr) + ", " + std::to_string(selector) + ")");
        return Status::Success;
    }
    std::uint64_t write(unsigned int addr, std::uint64_t length, const std::uint8_t*) override {
        record("write(" + std::to_string(addr) + ", " + std::to_string(length) + ")");
        return length;
    }
    std::uint64_t read(unsigned int addr, std::uint64_t length, std::uint8_t*) override {
        record("read(" + std::to_string(addr) + ", " + std::to_string(length) + ")");
        return length;
    }
    std::optional<std::string> get_status() override {
        if (silent_) {
            return std::nullopt;
        }
        std::string text;
        for (const std::string& call : calls_) {
            text += (text.empty() ? "" : "; ") + call;
        }
        return text;
    }
    std::optional<std::string> get_info() override {
        if (silent_) {
            return std::nullopt;
        }
        char address[32];
        std::snprintf(address, sizeof address, "%p", static_cast<void*>(this));
        return "address=" + std::string(address) + " options=" + options_;
    }

  private:
    void record(std::string call) { calls_.push_back(std::move(call)); }

    vorn_test::LiveCount live_{"spy.devices"};
    std::string options_;
    bool silent_;
    bool fail_read_;
    std::vector<std::string> calls_;
};

class SpyManager final : public vorn_test::QuietManager {
  public:
    std::string info() override { return "spy"; }
    std::filesystem::path location() override { return "/spy/location"; }
    std::string list_devices() override { return "spy"; }
    std::string get_device_options() override { return "silent, fail-read"; }
    vorn::DeviceHandle create_device(const std::string& options) override {
        if (options.find("wait-for-go") != std::string::npos) {
            wait_for_go();
        }
        return vorn::DeviceHandle(new SpyDevice(options), vorn::device_deleter{shared_from_this()});
    }

  private:
    // A Python thread can only set the counter while the caller has released the interpreter lock.
    static void wait_for_go() {
        for (int i = 0; i < 10000 && vorn_test_counter_get("spy.go") == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        vorn_test_counter_add("spy.saw_go", vorn_test_counter_get("spy.go") > 0 ? 1 : 0);
    }

    vorn_test::LiveCount live_{"spy.managers"};
};

vorn::DeviceManager* make_manager() {
    vorn_test_counter_add("spy.factory_calls", 1);
    return new SpyManager();
}

}  // namespace

VORN_EXPORT_MANAGER_FACTORY(make_manager)
