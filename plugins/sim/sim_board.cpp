// The simulated acquisition board: register file, trigger counter, device memory and link state.
#include "sim_board.hpp"

#include <algorithm>

namespace sim {

std::optional<std::size_t> find_register(std::uint32_t address) {
    for (std::size_t i = 0; i < register_map.size(); ++i) {
        if (register_map[i].address == address) {
            return i;
        }
    }
    return std::nullopt;
}

SimBoard::SimBoard(std::uint8_t number, std::size_t memory_bytes)
    : number_(number), memory_size_(memory_bytes), memory_(memory_bytes) {
    reset_registers();
}

// Only called with mutex_ held (or from the constructor). `address` must be mapped.
std::uint32_t& SimBoard::value_of(std::uint32_t address) {
    return registers_[*find_register(address)];
}

void SimBoard::reset_registers() {
    for (std::size_t i = 0; i < register_map.size(); ++i) {
        registers_[i] = register_map[i].reset_value;
    }
    value_of(reg::id) = board_id(number_);
    value_of(reg::memory_size) = static_cast<std::uint32_t>(memory_size_);
    if (acquisitions_ > 0) {
        value_of(reg::status) |= status_acquiring;  // a reset does not stop running streams
    }
}

bool SimBoard::write_registers(std::span<const RegisterWrite> writes) {
    std::lock_guard lock(mutex_);
    if (!link_up_) {
        return false;
    }
    for (const RegisterWrite& write : writes) {
        // The device only queues writes to writable registers; the mask keeps the read-only bits.
        const auto index = find_register(write.address);
        if (!index) {
            continue;
        }
        const std::uint32_t mask = write.mask & register_map[*index].writable_bits;
        std::uint32_t& value = registers_[*index];
        value = (value & ~mask) | (write.value & mask);
    }
    return true;
}

bool SimBoard::read_registers(RegisterFile& out) const {
    std::lock_guard lock(mutex_);
    if (!link_up_) {
        return false;
    }
    out = registers_;
    return true;
}

std::uint64_t SimBoard::write_memory(std::uint64_t address, std::span<const std::uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    if (!link_up_ || address >= memory_size_) {
        return 0;
    }
    const std::size_t count = std::min<std::uint64_t>(bytes.size(), memory_size_ - address);
    std::copy_n(bytes.begin(), count, memory_.begin() + static_cast<std::ptrdiff_t>(address));
    return count;
}

std::uint64_t SimBoard::read_memory(std::uint64_t address, std::span<std::uint8_t> bytes) const {
    std::lock_guard lock(mutex_);
    if (!link_up_ || address >= memory_size_) {
        return 0;
    }
    const std::size_t count = std::min<std::uint64_t>(bytes.size(), memory_size_ - address);
    std::copy_n(memory_.begin() + static_cast<std::ptrdiff_t>(address), count, bytes.begin());
    return count;
}

bool SimBoard::pulse(std::uint32_t count) {
    std::lock_guard lock(mutex_);
    if (!link_up_) {
        return false;
    }
    value_of(reg::trigger_count) += count;  // wraps around modulo 2^32, like a hardware counter
    return true;
}

bool SimBoard::reset(bool clear_memory) {
    std::lock_guard lock(mutex_);
    if (!link_up_) {
        return false;
    }
    reset_registers();
    if (clear_memory) {
        std::fill(memory_.begin(), memory_.end(), std::uint8_t{0});
    }
    return true;
}

void SimBoard::set_link(bool up) {
    std::lock_guard lock(mutex_);
    link_up_ = up;
}

AcquisitionSettings SimBoard::acquisition_settings() const {
    std::lock_guard lock(mutex_);
    const auto get = [this](std::uint32_t address) { return registers_[*find_register(address)]; };
    return {get(reg::acq_waveform),    get(reg::acq_chunk_size),    get(reg::acq_chunk_rate),
            get(reg::acq_chunk_count), get(reg::acq_period),        get(reg::acq_amplitude),
            get(reg::acq_mode),        get(reg::acq_error_interval)};
}

void SimBoard::acquisition_started() {
    std::lock_guard lock(mutex_);
    ++acquisitions_;
    value_of(reg::status) |= status_acquiring;
}

void SimBoard::acquisition_ended() {
    std::lock_guard lock(mutex_);
    if (--acquisitions_ == 0) {
        value_of(reg::status) &= ~status_acquiring;
    }
}

void SimBoard::chunk_produced() {
    std::lock_guard lock(mutex_);
    ++value_of(reg::acq_chunks);  // wraps around modulo 2^32, like a hardware counter
}

SimBoard::State SimBoard::state() const {
    std::lock_guard lock(mutex_);
    return {link_up_, registers_[*find_register(reg::trigger_count)], acquisitions_,
            registers_[*find_register(reg::acq_chunks)]};
}

}  // namespace sim
