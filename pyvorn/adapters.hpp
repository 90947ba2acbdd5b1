// The event adapters: the consumers of a read stream's delivery thread that turn each event into
// the (data, error) call of the Python callable.
//
// - Threads: the delivery thread only, inside a run (the interpreter lock held).
// - Failures: a failure of the callable (or of making its arguments) leaves deliver() as a
//   std::runtime_error with the Python error's text; the delivery thread, the one barrier, logs it
//   as "Error in callback: {}" and the stream goes on. A ManagedBuffer the callable did not keep
//   is freed when its object goes.
// - Two types are called DataView: vorn::DataStream::Events::DataView, the event (a pointer and a
//   size, valid during the call), and pyvorn::DataView, the Python object shown to the callable.
//   Both are named in full below.
#pragma once

#include <memory>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <variant>

#include "pyvorn/chunks.hpp"
#include "pyvorn/python_delivery.hpp"
#include "vorn/events.hpp"
#include "vorn/host/stream_consumer.hpp"
#include "vorn/host/view_keeper.hpp"

namespace pyvorn {

// A new chunk object for a callable (a new reference), inside a run. A Python failure to make one
// becomes a std::runtime_error with its text.
template <typename Chunk>
PyObject* chunk_for_call(Chunk&& chunk) {
    try {
        return new_chunk_object(std::forward<Chunk>(chunk)).release().ptr();
    } catch (pybind11::error_already_set& failure) {
        failure.restore();
        throw std::runtime_error(take_python_error());
    }
}

// What both adapters share: the end, error messages and the call.
class PythonConsumer : public vorn::DataStream::Consumer {
  public:
    explicit PythonConsumer(std::shared_ptr<PythonDelivery> python) : python_(std::move(python)) {}

  protected:
    // (None, None) for the end, (None, message) for an error. False for a data event, which is
    // left to the adapter.
    bool deliver_end_or_error(vorn::DataStream::Event& event) {
        if (std::holds_alternative<vorn::DataStream::Events::Stop>(event)) {
            python_->end();
            return true;
        }
        if (auto* error = std::get_if<vorn::DataStream::Events::Error>(&event)) {
            if (python_->callable() != nullptr) {
                PyObject* message = decode_message(error->message);
                if (message == nullptr) {
                    throw std::runtime_error(take_python_error());
                }
                python_->call(nullptr, message);
            }
            return true;
        }
        return false;
    }

    // (chunk, None); `chunk` expires (or keeps what it needs) when the call has returned.
    template <typename Chunk>
    void deliver_chunk(Chunk&& chunk) {
        if (python_->callable() == nullptr) {
            return;  // collected as garbage: the stream is not to call it again
        }
        python_->call(
            chunk_for_call(std::forward<Chunk>(chunk)), nullptr, [](PyObject* delivered) noexcept {
                end_of_callback(delivered, static_cast<const std::decay_t<Chunk>*>(nullptr));
            });
    }

  private:
    std::shared_ptr<PythonDelivery> python_;
};

// Plain read streams: owned chunks become ManagedBuffers that take over the bytes. (The queue
// stores every view a device pushes as an owned copy, so only owned chunks come here.)
class ManagedBufferAdapter final : public PythonConsumer {
  public:
    // `owner` keeps the plugin loaded for as long as a ManagedBuffer holds one of its chunks.
    ManagedBufferAdapter(std::shared_ptr<PythonDelivery> python, std::shared_ptr<const void> owner)
        : PythonConsumer(std::move(python)), owner_(std::move(owner)) {}

    void deliver(vorn::DataStream::Event&& event, const vorn::DataStream::EventInfo& at) override {
        if (!deliver_end_or_error(event)) {
            auto& chunk = std::get<vorn::DataStream::Events::OwnedData>(event);
            deliver_chunk(ManagedBuffer(std::move(chunk), &owner_, {at.offset, at.time_ns}));
        }
    }

  private:
    std::shared_ptr<const void> owner_;
};

// Aligned read streams: every block is shown as a pyvorn::DataView, valid only during the call
// unless the callable keeps its bytes through `keeper`. (The Rechunker in front emits only
// vorn::DataStream::Events::DataView events, and offers the memory they lie in to the same
// keeper.)
class ViewAdapter final : public PythonConsumer {
  public:
    ViewAdapter(std::shared_ptr<PythonDelivery> python,
                std::shared_ptr<vorn::DataStream::ViewKeeper> keeper)
        : PythonConsumer(std::move(python)), keeper_(std::move(keeper)) {}

    void deliver(vorn::DataStream::Event&& event, const vorn::DataStream::EventInfo& at) override {
        if (!deliver_end_or_error(event)) {
            const auto& view = std::get<vorn::DataStream::Events::DataView>(event);
            deliver_chunk(
                pyvorn::DataView(view.data, view.size, keeper_.get(), {at.offset, at.time_ns}));
        }
    }

  private:
    std::shared_ptr<vorn::DataStream::ViewKeeper> keeper_;
};

}  // namespace pyvorn
