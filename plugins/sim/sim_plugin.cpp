// The simulated device plugin: a device manager offering three simulated acquisition devices.
//
// It is the device the demo drives and the template a plugin author copies. A plugin consists of
//   1. a device class implementing vorn::Device (here SimDevice),
//   2. a manager class implementing vorn::DeviceManager (here SimManager), and
//   3. the exported factory (VORN_EXPORT_MANAGER_FACTORY at the end of this file).
// The "hardware" is simulated by SimBoard (sim_board.hpp); a real plugin talks to its driver there.
// README.md beside this file documents the device list, options, register map and triggers.
//
// Threads: the module calls the device's operations from Python threads holding the interpreter
// lock, so they arrive one at a time; SimDevice itself takes no lock. The manager's operations may
// run concurrently (create_device is called without the interpreter lock), so SimManager keeps no
// mutable state at all. SimBoard is internally locked and may be shared with threads of its own.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <vorn/support/library_path.hpp>
#include <vorn/support/options.hpp>
#include <vorn/vorn.hpp>

#include "sim_acquisition.hpp"
#include "sim_board.hpp"

namespace {

using Status = vorn::BasicDeviceStatus;

// ---- The devices this manager offers -----------------------------------------------------------

struct DeviceEntry {
    std::string_view name;
    std::string_view serial;
    std::uint8_t number;  // low byte of the ID register
};

constexpr std::array<DeviceEntry, 3> device_table{{
    {"sim0", "VS-0000", 0},
    {"sim1", "VS-0001", 1},
    {"sim2", "VS-0002", 2},
}};

// ---- Triggers ----------------------------------------------------------------------------------
// trigger(addr, selector): `addr` picks the trigger, `selector` what it does. Any other address
// or selector fails. Addresses 0x10-0x1F are reserved for acquisition control.

namespace trig {
constexpr std::uint32_t pulse = 0x0;  // selector n >= 1: fire n pulses (TRIGGER_COUNT += n)
constexpr std::uint32_t reset = 0x1;  // selector 0: reset registers; 1: registers and memory
constexpr std::uint32_t link = 0x2;   // selector 0: take the link down; 1: bring it up again
}  // namespace trig

// ---- Options -----------------------------------------------------------------------------------
// The option text of create_device: key=value pairs separated by spaces or commas; a bare word
// names the device. Bad options throw std::invalid_argument, which Python sees as ValueError.

constexpr std::uint64_t default_memory = 64 * 1024;
constexpr std::uint64_t max_memory = 64 * 1024 * 1024;

struct Options {
    const DeviceEntry* device = &device_table[0];
    std::uint64_t memory = default_memory;
};

std::string device_names() {
    std::string names;
    for (const DeviceEntry& entry : device_table) {
        names += (names.empty() ? "" : ", ") + std::string(entry.name);
    }
    return names;
}

const DeviceEntry& parse_device(std::string_view name) {
    for (const DeviceEntry& entry : device_table) {
        if (entry.name == name) {
            return entry;
        }
    }
    throw std::invalid_argument("unknown device " + vorn::support::quoted(name) +
                                "; devices: " + device_names());
}

Options parse_options(std::string_view text) {
    Options options;
    vorn::support::OptionWords words(text);
    for (const vorn::support::OptionWord& word : words) {
        const std::string_view key = word.bare ? "device" : word.key;
        if (key == "device") {
            words.once(key);
            options.device = &parse_device(word.value);
        } else if (key == "memory") {
            words.once(key);
            options.memory = vorn::support::parse_size(key, word.value, 1, max_memory);
        } else {
            throw vorn::support::unknown_option(key, "device=NAME, memory=BYTES");
        }
    }
    return options;
}

// ---- The device --------------------------------------------------------------------------------

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

class SimDevice final : public vorn::Device {
  public:
    SimDevice(const DeviceEntry& entry, std::uint64_t memory_bytes)
        : entry_(entry), board_(std::make_shared<sim::SimBoard>(entry.number, memory_bytes)) {
        // Like a driver that reads the registers once when it opens the device, so that
        // get_register answers sensibly before the first read_registers.
        board_->read_registers(readable_);
    }

    // Stages a write; nothing reaches the board before send_registers. aux is a bit mask of the
    // bits to change (0 means all bits). Writes to read-only or unmapped addresses fail, and so
    // does a write when max_staged writes are already waiting.
    Status set_register(unsigned int addr, unsigned int value, unsigned int aux) override {
        const auto index = sim::find_register(addr);
        if (!index || sim::register_map[*index].access != sim::Access::ReadWrite ||
            staged_.size() >= max_staged) {
            return Status::Failure;
        }
        staged_.push_back({addr, value, aux == 0 ? 0xFFFF'FFFFu : aux});
        return Status::Success;
    }

    // Sends the staged writes, in the order they were staged. While the link is down this fails
    // and the writes stay staged, to be sent by a later send_registers.
    Status send_registers() override {
        if (!board_->write_registers(staged_)) {
            return Status::Failure;
        }
        staged_.clear();
        return Status::Success;
    }

    // Refreshes the readable copy from the board; fails (copy unchanged) while the link is down.
    Status read_registers() override {
        return board_->read_registers(readable_) ? Status::Success : Status::Failure;
    }

    // The readable copy of one register, as of the last read_registers; unmapped addresses read
    // as 0xFFFFFFFF.
    unsigned int get_register(unsigned int addr) override {
        const auto index = sim::find_register(addr);
        return index ? readable_[*index] : sim::unmapped_value;
    }

    Status trigger(unsigned int addr, std::int32_t selector) override {
        bool done = false;
        if (addr == trig::pulse && selector >= 1) {
            done = board_->pulse(static_cast<std::uint32_t>(selector));
        } else if (addr == trig::reset && (selector == 0 || selector == 1)) {
            done = board_->reset(selector == 1);
            if (done) {
                staged_.clear();  // a reset starts from a clean slate
            }
        } else if (addr == trig::link && (selector == 0 || selector == 1)) {
            board_->set_link(selector == 1);
            done = true;
        }
        return done ? Status::Success : Status::Failure;
    }

    // Block transfers address the device memory by byte offset and return the count of bytes
    // actually moved (see SimBoard::write_memory).
    std::uint64_t write(unsigned int addr, std::uint64_t length,
                        const std::uint8_t* data) override {
        return board_->write_memory(addr, {data, static_cast<std::size_t>(length)});
    }
    std::uint64_t read(unsigned int addr, std::uint64_t length, std::uint8_t* data) override {
        return board_->read_memory(addr, {data, static_cast<std::size_t>(length)});
    }

    // Starts an acquisition with the settings the board holds now (see sim_acquisition.hpp).
    // `addr` is the sample index the waveform starts at; `chunk_size` the bytes per chunk, 0 for
    // the ACQ_CHUNK_SIZE setting. The acquisition shares the board, not the device: it goes on
    // when the device is destroyed, until its handle is stopped or destroyed.
    std::optional<std::unique_ptr<DataStream>> start_read_stream(
        unsigned int addr, vorn::DataStream::EventCallback&& callback,
        std::uint64_t chunk_size) override {
        return std::make_unique<sim::Acquisition>(board_, board_->acquisition_settings(), addr,
                                                  chunk_size, std::move(callback));
    }

    std::optional<std::string> get_status() override {
        const sim::SimBoard::State state = board_->state();
        return std::string("link: ") + (state.link_up ? "up" : "down") +
               "; staged register writes: " + std::to_string(staged_.size()) +
               "; trigger pulses: " + std::to_string(state.trigger_count) +
               "; acquisitions running: " + std::to_string(state.acquisitions) +
               "; chunks produced: " + std::to_string(state.chunks);
    }

    std::optional<std::string> get_info() override {
        return std::string(entry_.name) + ": simulated acquisition device, serial " +
               std::string(entry_.serial) + ", ID " + hex(sim::board_id(entry_.number)) + ", " +
               std::to_string(board_->memory_size()) + " bytes of device memory";
    }

  private:
    static constexpr std::size_t max_staged = 256;

    const DeviceEntry& entry_;
    // Shared so that an acquisition (a stream) can keep using the board after the device is gone.
    std::shared_ptr<sim::SimBoard> board_;
    // Host-side driver state, touched only by the calls above.
    std::vector<sim::RegisterWrite> staged_;
    sim::RegisterFile readable_{};
};

// ---- The manager -------------------------------------------------------------------------------

class SimManager final : public vorn::DeviceManager {
  public:
    // The factory runs right after the library is loaded, so the working directory is still the
    // one a relative library path was given against.
    SimManager() : location_(vorn::support::library_path(&device_table)) {}

    std::string info() override {
        return "vorn simulated device manager: " + std::to_string(device_table.size()) +
               " simulated acquisition devices with registers, triggers and device memory; "
               "no hardware needed";
    }

    std::filesystem::path location() override { return location_; }

    // One line per device: name and serial number, then a description.
    std::string list_devices() override {
        std::string text;
        for (const DeviceEntry& entry : device_table) {
            text += std::string(entry.name) + "  serial " + std::string(entry.serial) +
                    "  simulated acquisition device\n";
        }
        return text;
    }

    std::string get_device_options() override {
        return "key=value pairs separated by spaces or commas; a bare word names the device\n"
               "  device=NAME   the device to open: " +
               device_names() + " (default " + std::string(device_table[0].name) +
               ")\n"
               "  memory=BYTES  size of the device memory, 1 to " +
               std::to_string(max_memory) + " bytes (default " + std::to_string(default_memory) +
               ");\n"
               "                decimal, 0x-hexadecimal, or with the suffix k (KiB) or M (MiB)\n"
               "examples: \"\" (sim0 with defaults), \"sim1\", \"device=sim2 memory=1M\"\n";
    }

    // Every call creates a new, independent simulated device, also for a name already open.
    // The handle's owner is a reference to this manager: it keeps the manager, and with it this
    // library, alive for as long as the device exists, even after Python dropped the manager.
    vorn::DeviceHandle create_device(const std::string& options) override {
        const Options parsed = parse_options(options);
        auto owner = shared_from_this();
        return vorn::DeviceHandle(new SimDevice(*parsed.device, parsed.memory),
                                  vorn::device_deleter{std::move(owner)});
    }

  private:
    const std::filesystem::path location_;
};

vorn::DeviceManager* make_manager() {
    return new SimManager();
}

}  // namespace

VORN_EXPORT_MANAGER_FACTORY(make_manager)
