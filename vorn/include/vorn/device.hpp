// The device interface that plugins and Python subclasses implement.
//
// Plugins are built separately and the module calls their devices through the dispatch table, so
// the declaration order of the virtual operations below is part of the binary interface. Never
// reorder, insert or remove them.
//
// The interface takes no locks and promises no thread safety: calls from Python arrive with the
// interpreter lock held, and only the stream callback may be called from the device's own threads.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "vorn/config.hpp"
#include "vorn/events.hpp"
#include "vorn/status.hpp"

namespace vorn {

template <typename Address, typename Value, typename Status>
class VORN_API BasicDevice {
  public:
    using address_type = Address;
    using value_type = Value;
    using status_type = Status;

    // Handle of a running stream, owned by the caller of start_read_stream; destroying it ends the
    // stream. stop() may be called any number of times (also never) and without the interpreter
    // lock; the handle may be destroyed at any time, with or without a prior stop().
    class VORN_API DataStream {
      public:
        virtual ~DataStream() = default;
        virtual void stop() = 0;
    };

    virtual ~BasicDevice() = default;

    // Stages value for a register and sends the staged values. The default calls set_register
    // without checking its result, then send_registers, and returns the latter's result.
    virtual Status set_register_sync(Address addr, Value value, Value aux) {
        set_register(addr, value, aux);
        return send_registers();
    }
    // Stages a register value; aux is a second operand whose meaning is the device's.
    virtual Status set_register(Address addr, Value value, Value aux) = 0;
    // Sends the staged register values to the hardware.
    virtual Status send_registers() = 0;
    // Refreshes the readable registers and returns one. The default calls read_registers and,
    // only when that succeeded, get_register; a failure gives an empty result.
    virtual std::optional<Value> get_register_sync(Address addr) {
        if (read_registers() != Status::Success) {
            return std::nullopt;
        }
        return get_register(addr);
    }
    // The device's current copy of one register.
    virtual Value get_register(Address addr) = 0;
    // Refreshes the device's copy of its readable registers from the hardware.
    virtual Status read_registers() = 0;
    // Fires a trigger; selector is a signed value whose meaning is the device's.
    virtual Status trigger(Address addr, std::int32_t selector) = 0;
    // Block transfer of `length` bytes at `data` to the device. The caller keeps the memory valid
    // for the call; the device must not keep the pointer. The count's meaning is the device's.
    virtual std::uint64_t write(Address addr, std::uint64_t length, const std::uint8_t* data) = 0;
    // Block transfer from the device into the `length` writable bytes at `data`.
    virtual std::uint64_t read(Address addr, std::uint64_t length, std::uint8_t* data) = 0;
    // Starts a background read stream. A device that starts one moves the callback into its own
    // state, calls it (from one thread at a time) for every event, and releases it when the stream
    // ends, at the latest when the handle is destroyed. An empty result means no stream was
    // started; the default returns one without touching the callback.
    virtual std::optional<std::unique_ptr<DataStream>> start_read_stream(
        Address addr, vorn::DataStream::EventCallback&& callback, std::uint64_t chunk_size) {
        (void)addr;
        (void)callback;
        (void)chunk_size;
        return std::nullopt;
    }
    // Free-form texts about the device's state and identity; empty when there is nothing to say.
    virtual std::optional<std::string> get_status() { return std::nullopt; }
    virtual std::optional<std::string> get_info() { return std::nullopt; }
};

// The one instantiation the module uses: 32-bit unsigned addresses and register values.
using Device = BasicDevice<unsigned int, unsigned int, BasicDeviceStatus>;

}  // namespace vorn
