// Test plugin: a device that is nothing but a block of memory, for the block-transfer tests.
//
// Device options: "" (4096 bytes) or "size=<bytes>". The memory starts with the pattern
// byte[i] = (i * 31 + 7) mod 256. write/read copy between the caller's memory and the device
// memory at `addr` and return the number of bytes actually transferred: min(length, size - addr),
// so 0 at or beyond the end. Address 0xFFFFFFFF makes write and read throw std::runtime_error
// ("memory device: transfer refused"), to exercise the error path. get_status() reports the last
// transfer as "<write|read> addr=<addr> length=<length> data=0x<hex pointer>", which lets tests
// check that the device was handed the caller's own memory. Registers: set_register stages,
// send_registers commits, get_register returns the committed value (0 when never set).
//
// Thread rules: like every device, not thread-safe; the module calls it with the interpreter lock.
#include <algorithm>
#include <charconv>
#include <cstring>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <vector>

#include <vorn/vorn.hpp>

namespace {

constexpr unsigned int kRefusedAddress = 0xFFFFFFFFu;
constexpr std::size_t kDefaultSize = 4096;

class MemoryDevice final : public vorn::Device {
  public:
    using Status = vorn::BasicDeviceStatus;

    explicit MemoryDevice(std::size_t size) : memory_(size) {
        for (std::size_t i = 0; i < size; ++i) {
            memory_[i] = static_cast<std::uint8_t>(i * 31 + 7);
        }
    }

    Status set_register(unsigned int addr, unsigned int value, unsigned int) override {
        staged_[addr] = value;
        return Status::Success;
    }
    Status send_registers() override {
        for (const auto& [addr, value] : staged_) {
            registers_[addr] = value;
        }
        staged_.clear();
        return Status::Success;
    }
    unsigned int get_register(unsigned int addr) override {
        const auto it = registers_.find(addr);
        return it == registers_.end() ? 0 : it->second;
    }
    Status read_registers() override { return Status::Success; }
    Status trigger(unsigned int, std::int32_t) override { return Status::Success; }

    std::uint64_t write(unsigned int addr, std::uint64_t length,
                        const std::uint8_t* data) override {
        const std::uint64_t count = transfer("write", addr, length, data);
        if (count > 0) {
            std::memcpy(memory_.data() + addr, data, count);
        }
        return count;
    }

    std::uint64_t read(unsigned int addr, std::uint64_t length, std::uint8_t* data) override {
        const std::uint64_t count = transfer("read", addr, length, data);
        if (count > 0) {
            std::memcpy(data, memory_.data() + addr, count);
        }
        return count;
    }

    std::optional<std::string> get_status() override { return last_transfer_; }
    std::optional<std::string> get_info() override {
        return "memory device of " + std::to_string(memory_.size()) + " bytes";
    }

  private:
    // Records the transfer and returns how many bytes of it fit into the memory.
    std::uint64_t transfer(const char* op, unsigned int addr, std::uint64_t length,
                           const void* data) {
        std::ostringstream text;
        text << op << " addr=" << addr << " length=" << length << " data=" << data;
        last_transfer_ = text.str();
        if (addr == kRefusedAddress) {
            throw std::runtime_error("memory device: transfer refused");
        }
        if (addr >= memory_.size()) {
            return 0;
        }
        return std::min<std::uint64_t>(length, memory_.size() - addr);
    }

    std::vector<std::uint8_t> memory_;
    std::map<unsigned int, unsigned int> staged_;
    std::map<unsigned int, unsigned int> registers_;
    std::optional<std::string> last_transfer_;
};

// "" or "size=<decimal bytes>"; anything else is not a valid option text.
std::optional<std::size_t> parse_size(const std::string& options) {
    if (options.empty()) {
        return kDefaultSize;
    }
    constexpr std::string_view prefix = "size=";
    if (!options.starts_with(prefix)) {
        return std::nullopt;
    }
    std::size_t size = 0;
    const char* first = options.data() + prefix.size();
    const char* last = options.data() + options.size();
    const auto [end, error] = std::from_chars(first, last, size);
    if (error != std::errc() || end != last || first == last) {
        return std::nullopt;
    }
    return size;
}

class MemoryManager final : public vorn::DeviceManager {
  public:
    std::string info() override { return "memory test devices"; }
    std::filesystem::path location() override { return "memory"; }
    std::string list_devices() override { return "mem0"; }
    std::string get_device_options() override { return "size=<bytes>"; }
    vorn::DeviceHandle create_device(const std::string& options) override {
        const auto size = parse_size(options);
        if (!size) {
            return vorn::DeviceHandle(nullptr, vorn::device_deleter{});
        }
        return vorn::DeviceHandle(new MemoryDevice(*size),
                                  vorn::device_deleter{shared_from_this()});
    }
};

vorn::DeviceManager* make_manager() {
    return new MemoryManager();
}

}  // namespace

VORN_EXPORT_MANAGER_FACTORY(make_manager)
