// A stream queue that owns its delivery: the simple form for native tests, benchmarks and programs
// that hand a device a queue in front of a callable and need nothing of a stream session.
//
// - Ownership: it owns the StreamDelivery (the thread) and the producer end. It is itself the
//   callable a device gets (move it into an EventCallback).
// - Threads: pushes on one producer thread at a time. Its destruction ends the stream there (what
//   was pushed is delivered, then the end) and waits for the delivery thread, unless it runs on
//   that thread (a consumer that drops its own queue), which cannot wait for itself: the rest then
//   follows once the consumer's call returns.
#pragma once

#include <chrono>
#include <memory>
#include <utility>

#include "vorn/host/stream_queue.hpp"

namespace vorn::DataStream {

class OwnedStreamQueue {
  public:
    // Starts delivering to `consumer` at once. Throws as StreamDelivery's constructor.
    OwnedStreamQueue(EventCallback&& consumer, int max_elements,
                     IdleWait idle = IdleWait::adaptive_policy())
        : delivery_(make_delivery(std::move(consumer), max_elements, idle)),
          queue_(delivery_->queue()) {}
    // The timed form: the thread naps for `idle_sleep` at a time while nothing is queued; with
    // `idle_sleep` zero or negative it polls without pause.
    OwnedStreamQueue(EventCallback&& consumer, int max_elements,
                     std::chrono::nanoseconds idle_sleep)
        : OwnedStreamQueue(std::move(consumer), max_elements, IdleWait::timed(idle_sleep)) {}

    OwnedStreamQueue(OwnedStreamQueue&&) noexcept = default;
    OwnedStreamQueue& operator=(OwnedStreamQueue&&) = delete;
    OwnedStreamQueue(const OwnedStreamQueue&) = delete;
    OwnedStreamQueue& operator=(const OwnedStreamQueue&) = delete;

    ~OwnedStreamQueue() {
        if (!delivery_) {
            return;  // moved from
        }
        delivery_->seal();
        if (!delivery_->on_delivery_thread()) {
            delivery_->wait(std::chrono::nanoseconds(-1));
        }
    }

    // Push, on the producer's thread. Never blocks and never throws.
    void operator()(Event&& event) noexcept { queue_(std::move(event)); }

    StreamDelivery& delivery() noexcept { return *delivery_; }

  private:
    static std::unique_ptr<StreamDelivery> make_delivery(EventCallback&& consumer, int max_elements,
                                                         IdleWait idle) {
        StreamDelivery::Options options;
        options.idle = idle;
        return std::make_unique<StreamDelivery>(
            std::make_unique<CallbackConsumer>(std::move(consumer)), max_elements,
            std::move(options));
    }

    std::unique_ptr<StreamDelivery> delivery_;
    StreamQueue queue_;
};

}  // namespace vorn::DataStream
