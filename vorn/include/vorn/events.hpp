// Stream events and the move-only callable through which a device delivers them.
//
// Events are built on a device thread and may be consumed on another thread, so the deleter of
// an OwnedData chunk must be callable from any thread. Events are passed by rvalue reference: a
// receiver may move the payload out and the sender destroys whatever is left.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "vorn/config.hpp"

namespace vorn::DataStream {

namespace Events {

// The stream has ended; the last event a consumer handles.
struct Stop {};

// A condition the consumer should hear about; the stream goes on. The message is UTF-8 text.
struct Error {
    std::string message;
};

// A chunk whose bytes travel with the event. Move-only; destroying it calls the deleter on the
// pointer when the pointer is not null. The deleter is chosen by whoever builds the event, so a
// device may hand over memory from any allocator.
class OwnedData {
  public:
    using Deleter = void (*)(std::uint8_t*);

    OwnedData() noexcept = default;
    OwnedData(std::uint8_t* bytes, std::uint64_t count, Deleter free_bytes) noexcept
        : deleter_(free_bytes), data_(bytes), size_(count) {}

    // A fresh array of `size` bytes (not initialised) released with array delete.
    static OwnedData allocate(std::uint64_t count) {
        return OwnedData(new std::uint8_t[count], count, &delete_array);
    }
    // The deleter that matches allocate(): array delete.
    static void delete_array(std::uint8_t* bytes) { delete[] bytes; }

    OwnedData(OwnedData&& other) noexcept
        : deleter_(other.deleter_),
          data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)) {}
    OwnedData& operator=(OwnedData&& other) noexcept {
        if (this != &other) {
            reset();
            deleter_ = other.deleter_;
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    OwnedData(const OwnedData&) = delete;
    OwnedData& operator=(const OwnedData&) = delete;
    ~OwnedData() { reset(); }

    std::uint8_t* data() const noexcept { return data_; }
    std::uint64_t size() const noexcept { return size_; }
    Deleter deleter() const noexcept { return deleter_; }
    std::span<std::uint8_t> bytes() const noexcept {
        return {data_, static_cast<std::size_t>(size_)};
    }

    // Frees the bytes now (when there are any) and leaves a null pointer.
    void reset() noexcept {
        if (data_ != nullptr && deleter_ != nullptr) {
            deleter_(data_);
        }
        data_ = nullptr;
        size_ = 0;
    }

  private:
    Deleter deleter_ = nullptr;
    std::uint8_t* data_ = nullptr;
    std::uint64_t size_ = 0;
};

// A chunk that lives in the producer's memory. Its bytes are valid only for the duration of the
// call in which it is handed over; whoever needs them later copies them.
struct DataView {
    std::uint8_t* data = nullptr;
    std::uint64_t size = 0;

    std::span<std::uint8_t> bytes() const noexcept {
        return {data, static_cast<std::size_t>(size)};
    }
};

}  // namespace Events

// The order of the alternatives is part of the plugin interface; consumers switch on the index.
// A default-constructed event holds Stop.
using Event = std::variant<Events::Stop, Events::Error, Events::OwnedData, Events::DataView>;

// Move-only callable taking an Event by rvalue reference. A moved-from or default-constructed
// callback holds no target; calling it throws std::bad_function_call and destroying it does
// nothing.
class EventCallback {
  public:
    EventCallback() noexcept = default;

    template <typename F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, EventCallback> &&
             std::is_invocable_v<std::decay_t<F>&, Event&&>)
        EventCallback(F&& f)  // NOLINT(google-explicit-constructor): a callable converts implicitly
        : target_(std::make_unique<Target<std::decay_t<F>>>(std::forward<F>(f))) {}

    EventCallback(EventCallback&& other) noexcept = default;
    EventCallback& operator=(EventCallback&& other) noexcept = default;
    EventCallback(const EventCallback&) = delete;
    EventCallback& operator=(const EventCallback&) = delete;
    ~EventCallback() = default;

    void operator()(Event&& event) {
        if (!target_) {
            throw std::bad_function_call();
        }
        target_->call(std::move(event));
    }

    explicit operator bool() const noexcept { return static_cast<bool>(target_); }

    // The stored callable when it is of type F, else null.
    template <typename F>
    F* target() noexcept {
        auto* typed = dynamic_cast<Target<F>*>(target_.get());
        return typed != nullptr ? &typed->function : nullptr;
    }

  private:
    struct VORN_API Callable {
        virtual ~Callable() = default;
        virtual void call(Event&& event) = 0;
    };
    template <typename F>
    struct Target final : Callable {
        explicit Target(F&& f) : function(std::move(f)) {}
        explicit Target(const F& f) : function(f) {}
        void call(Event&& event) override { std::invoke(function, std::move(event)); }
        F function;
    };

    std::unique_ptr<Callable> target_;
};

}  // namespace vorn::DataStream
