// The event adapters: turn a stream event into the (data, error) call of a read stream's target.
//
// Both run on the delivery thread. A failure of the target never leaves an adapter: it becomes one
// log line "Error in callback: {}" at level error and the stream goes on (a ManagedBuffer the
// target did not take is freed). That holds for data chunks, error messages and the end alike.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "pyvorn/chunks.hpp"
#include "vorn/events.hpp"
#include "vorn/host/callback_errors.hpp"
#include "vorn/host/view_keeper.hpp"

namespace pyvorn {

namespace events = vorn::DataStream::Events;

// The calls both adapters make for the end of the stream, (no data, no error), and for an error
// message, (no data, message). Returns false for a data event, which is left to the adapter.
template <typename Target>
bool deliver_end_or_error(Target& target, vorn::DataStream::Event& event) {
    if (std::holds_alternative<events::Stop>(event)) {
        target(std::nullopt, std::nullopt);
        return true;
    }
    if (auto* error = std::get_if<events::Error>(&event)) {
        target(std::nullopt, std::move(error->message));
        return true;
    }
    return false;
}

// Plain read streams: owned chunks become ManagedBuffers that take over the bytes.
// Target: callable(std::optional<ManagedBuffer>, std::optional<std::string>).
template <typename Target>
class ManagedBufferAdapter {
  public:
    // `owner` keeps the plugin loaded for as long as a ManagedBuffer holds one of its chunks.
    ManagedBufferAdapter(Target target, std::shared_ptr<const void> owner)
        : target_(std::move(target)), owner_(std::move(owner)) {}

    void operator()(vorn::DataStream::Event&& event) {
        vorn::DataStream::guard_callback([&] {
            if (deliver_end_or_error(target_, event)) {
                return;
            }
            if (auto* chunk = std::get_if<events::OwnedData>(&event)) {
                target_(ManagedBuffer(std::move(*chunk), &owner_), std::nullopt);
            } else {
                target_(std::nullopt, std::string("Unsupported data type: DataView"));
            }
        });
    }

  private:
    Target target_;
    std::shared_ptr<const void> owner_;
};

// Aligned read streams: every chunk is shown as a DataView, valid only during the call unless the
// target keeps its bytes through `keeper`. The Rechunker in front offers the memory of the views it
// emits to the same keeper; an OwnedData event is offered here.
// Target: callable(std::optional<DataView>, std::optional<std::string>).
template <typename Target>
class ViewAdapter {
  public:
    ViewAdapter(Target target, std::shared_ptr<vorn::DataStream::ViewKeeper> keeper)
        : target_(std::move(target)), keeper_(std::move(keeper)) {}

    void operator()(vorn::DataStream::Event&& event) {
        vorn::DataStream::guard_callback([&] {
            if (deliver_end_or_error(target_, event)) {
                return;
            }
            if (auto* chunk = std::get_if<events::OwnedData>(&event)) {
                keeper_->offer(*chunk);
                std::uint8_t* const data = chunk->data();
                const std::uint64_t size = chunk->size();
                struct Withdraw {
                    vorn::DataStream::ViewKeeper& keeper;
                    ~Withdraw() { keeper.withdraw(); }
                } withdraw{*keeper_};
                target_(DataView(data, size, keeper_.get()), std::nullopt);
            } else {
                const auto& view = std::get<events::DataView>(event);
                target_(DataView(view.data, view.size, keeper_.get()), std::nullopt);
            }
        });
    }

  private:
    Target target_;
    std::shared_ptr<vorn::DataStream::ViewKeeper> keeper_;
};

}  // namespace pyvorn
