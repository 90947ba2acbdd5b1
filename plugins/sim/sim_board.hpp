// The simulated acquisition board: the "hardware" behind the simulated device.
//
// Design note. A real plugin talks to its hardware through a driver or a bus; this plugin talks to
// SimBoard instead. The board holds what lives on the hardware: the register file, the trigger
// counter, the device memory and the state of the link to the host. The device (sim_plugin.cpp)
// holds what lives in the host driver: staged register writes and the readable copy of the
// registers. Keeping the two apart is what lets the acquisition thread (sim_acquisition.hpp) work
// on the board only (it reads its settings, updates its status), never on the device object, and
// share the board with a stream handle that outlives the device. Every public
// member function of SimBoard is therefore safe to call from any thread; one mutex guards the
// whole board.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace sim {

// ---- Register map ------------------------------------------------------------------------------
// Addresses are byte offsets of 32-bit registers (so they are multiples of 4). The range
// 0x100-0x1FC holds the acquisition settings, which a stream reads when it starts.

enum class Access { ReadOnly, ReadWrite };

struct RegisterInfo {
    std::uint32_t address;
    std::string_view name;
    Access access;
    std::uint32_t reset_value;    // value after creation and after a reset trigger
    std::uint32_t writable_bits;  // bits a write can change; the others keep their reset value
};

namespace reg {
inline constexpr std::uint32_t id = 0x000;
inline constexpr std::uint32_t status = 0x004;
inline constexpr std::uint32_t trigger_count = 0x008;
inline constexpr std::uint32_t memory_size = 0x00C;
inline constexpr std::uint32_t scratch0 = 0x010;
inline constexpr std::uint32_t scratch1 = 0x014;
inline constexpr std::uint32_t scratch2 = 0x018;
inline constexpr std::uint32_t scratch3 = 0x01C;
inline constexpr std::uint32_t leds = 0x020;
// Acquisition settings (see sim_acquisition.hpp for their meaning).
inline constexpr std::uint32_t acq_waveform = 0x100;
inline constexpr std::uint32_t acq_chunk_size = 0x104;
inline constexpr std::uint32_t acq_chunk_rate = 0x108;
inline constexpr std::uint32_t acq_chunk_count = 0x10C;
inline constexpr std::uint32_t acq_period = 0x110;
inline constexpr std::uint32_t acq_amplitude = 0x114;
inline constexpr std::uint32_t acq_mode = 0x118;
inline constexpr std::uint32_t acq_error_interval = 0x11C;
inline constexpr std::uint32_t acq_chunks = 0x120;
}  // namespace reg

// ID register: bits 31-16 the signature "VS" (0x5653), bits 15-8 the register-map version,
// bits 7-0 the device number.
inline constexpr std::uint32_t id_signature = 0x5653'0000;
inline constexpr std::uint32_t register_map_version = 1;
constexpr std::uint32_t board_id(std::uint8_t number) {
    return id_signature | (register_map_version << 8) | number;
}
// STATUS register: bit 0 is always set while the board answers; bit 1 is set while at least one
// acquisition runs; bits 2-31 are reserved.
inline constexpr std::uint32_t status_ready = 1u << 0;
inline constexpr std::uint32_t status_acquiring = 1u << 1;
// ACQ_MODE register bits.
inline constexpr std::uint32_t mode_views = 1u << 0;  // deliver chunks as views, not owned data
// The value a read of an unmapped address gives, as on a bus with nothing behind the address.
inline constexpr std::uint32_t unmapped_value = 0xFFFF'FFFF;

// ID and MEMORY_SIZE have per-board reset values, filled in by the board's constructor.
inline constexpr std::array<RegisterInfo, 18> register_map{{
    {reg::id, "ID", Access::ReadOnly, 0, 0},
    {reg::status, "STATUS", Access::ReadOnly, status_ready, 0},
    {reg::trigger_count, "TRIGGER_COUNT", Access::ReadOnly, 0, 0},
    {reg::memory_size, "MEMORY_SIZE", Access::ReadOnly, 0, 0},
    {reg::scratch0, "SCRATCH0", Access::ReadWrite, 0, 0xFFFF'FFFF},
    {reg::scratch1, "SCRATCH1", Access::ReadWrite, 0, 0xFFFF'FFFF},
    {reg::scratch2, "SCRATCH2", Access::ReadWrite, 0, 0xFFFF'FFFF},
    {reg::scratch3, "SCRATCH3", Access::ReadWrite, 0, 0xFFFF'FFFF},
    {reg::leds, "LEDS", Access::ReadWrite, 0, 0x0000'00FF},
    {reg::acq_waveform, "ACQ_WAVEFORM", Access::ReadWrite, 1, 0xFFFF'FFFF},
    {reg::acq_chunk_size, "ACQ_CHUNK_SIZE", Access::ReadWrite, 4096, 0xFFFF'FFFF},
    {reg::acq_chunk_rate, "ACQ_CHUNK_RATE", Access::ReadWrite, 1000, 0xFFFF'FFFF},
    {reg::acq_chunk_count, "ACQ_CHUNK_COUNT", Access::ReadWrite, 0, 0xFFFF'FFFF},
    {reg::acq_period, "ACQ_PERIOD", Access::ReadWrite, 256, 0x000F'FFFF},
    {reg::acq_amplitude, "ACQ_AMPLITUDE", Access::ReadWrite, 16384, 0x0000'7FFF},
    {reg::acq_mode, "ACQ_MODE", Access::ReadWrite, 0, mode_views},
    {reg::acq_error_interval, "ACQ_ERROR_INTERVAL", Access::ReadWrite, 0, 0xFFFF'FFFF},
    {reg::acq_chunks, "ACQ_CHUNKS", Access::ReadOnly, 0, 0},
}};

// Index of the register at `address` in register_map, if one is mapped there.
std::optional<std::size_t> find_register(std::uint32_t address);

// The values of all registers, in the order of register_map.
using RegisterFile = std::array<std::uint32_t, register_map.size()>;

// One register write as the host driver queues it: the bits set in `mask` take the bits of
// `value`, the others keep their current value.
struct RegisterWrite {
    std::uint32_t address;
    std::uint32_t value;
    std::uint32_t mask;
};

// The acquisition settings as the registers hold them when a stream starts.
struct AcquisitionSettings {
    std::uint32_t waveform;
    std::uint32_t chunk_size;
    std::uint32_t chunk_rate;
    std::uint32_t chunk_count;
    std::uint32_t period;
    std::uint32_t amplitude;
    std::uint32_t mode;
    std::uint32_t error_interval;
};

// ---- The board ---------------------------------------------------------------------------------

class SimBoard {
  public:
    SimBoard(std::uint8_t number, std::size_t memory_bytes);

    SimBoard(const SimBoard&) = delete;
    SimBoard& operator=(const SimBoard&) = delete;

    // Register transfers over the link. Both fail (return false, change nothing) while the link
    // is down. write_registers applies all writes in order, as one transaction.
    bool write_registers(std::span<const RegisterWrite> writes);
    bool read_registers(RegisterFile& out) const;

    // Block transfers between host memory and the device memory, starting at byte `address`.
    // They move the bytes that fit before the end of the memory and return that count: short at
    // the end of the memory, 0 from an address at or past the end, and 0 while the link is down.
    std::uint64_t write_memory(std::uint64_t address, std::span<const std::uint8_t> bytes);
    std::uint64_t read_memory(std::uint64_t address, std::span<std::uint8_t> bytes) const;

    // Trigger actions. pulse() and reset() fail while the link is down; set_link() always works,
    // it is the simulator's own switch.
    bool pulse(std::uint32_t count);
    bool reset(bool clear_memory);
    void set_link(bool up);

    // Acquisitions: the settings a new one starts with, and the bookkeeping running ones do
    // (STATUS bit 1 while any runs, ACQ_CHUNKS counts the chunks they produced since reset).
    AcquisitionSettings acquisition_settings() const;
    void acquisition_started();
    void acquisition_ended();
    void chunk_produced();

    // A consistent snapshot for status texts.
    struct State {
        bool link_up;
        std::uint32_t trigger_count;
        std::uint32_t acquisitions;  // running now
        std::uint32_t chunks;        // produced since reset
    };
    State state() const;

    std::size_t memory_size() const noexcept { return memory_size_; }

  private:
    std::uint32_t& value_of(std::uint32_t address);
    void reset_registers();

    const std::uint8_t number_;
    const std::size_t memory_size_;
    mutable std::mutex mutex_;
    // Guarded by mutex_:
    RegisterFile registers_{};
    std::vector<std::uint8_t> memory_;
    bool link_up_ = true;
    std::uint32_t acquisitions_ = 0;
};

}  // namespace sim
