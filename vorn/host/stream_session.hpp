// A stream session: one read stream of a device, from the start to the end of its delivery, with
// no interpreter in it. The Python DataStream holds one; so can any native program or test.
//
// Invariants
// - The consumer hears every event the device pushed before the end, then the end, exactly once,
//   on the session's delivery thread; a start that gives no stream delivers nothing at all.
// - The device's stop() is called by one thread at a time.
// Ownership
// - The session owns the device's stream object, the StreamDelivery (the consumer lives on its
//   thread) and a copy of `keep_alive`, released last, which keeps the plugin's code loaded while
//   its stream object lives. The delivery thread holds another copy and releases it when it is
//   done, so the plugin stays loaded for the consumer's and the chunks' sake even after the
//   session, the device and its manager are gone.
// - The device must outlive start(); the stream object it returns may outlive the device.
// Threads
// - Any thread may call any method; none waits for the delivery unless it says so. wait() must not
//   be called on the delivery thread (on_delivery_thread() tells), which cannot wait for itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

#include "vorn/device.hpp"
#include "vorn/host/stream_consumer.hpp"
#include "vorn/host/stream_queue.hpp"

namespace vorn::DataStream {

struct SessionOptions {
    // The device's chunk size (0: its default).
    std::uint64_t chunk_size = 0;
    // The most events the queue holds; at least StreamQueue::init_elements.
    int max_elements = 4096;
    // Brackets the delivery thread's runs of events (for example, to take a lock once per run).
    std::shared_ptr<DeliveryContext> context;
    // What keeps the device's code loaded (the `owner` of its handle); empty when nothing must.
    std::shared_ptr<const void> keep_alive;
    IdleWait idle = IdleWait::adaptive_policy();
};

class StreamSession {
  public:
    using DeviceStream = Device::DataStream;

    // Starts the device's read stream at `addr` with `consumer` behind its queue. The consumer
    // hears nothing until the device's stream exists. Returns null when the device gives no
    // stream; that, and a throw from the device, first tells the context (start_failed()), then
    // cancels the delivery and waits until its thread has ended. Throws what the device throws,
    // std::runtime_error "max_elements must be greater than init_elements", std::bad_alloc and
    // std::system_error (no thread).
    static std::unique_ptr<StreamSession> start(Device& device, unsigned int addr,
                                                std::unique_ptr<Consumer> consumer,
                                                SessionOptions options);

    // Destroys the device's stream, then ends the delivery there: what the device pushed before
    // is still delivered, with the end, on the delivery thread, which is not waited for.
    ~StreamSession();
    StreamSession(const StreamSession&) = delete;
    StreamSession& operator=(const StreamSession&) = delete;

    // Stops the device's stream and ends the delivery after what it pushed before. Does not wait.
    void stop();
    // The device's stop() alone (at exit, to stop every plugin thread before the process ends).
    void stop_device();
    // Ends the delivery after what was pushed until now; later pushes are discarded.
    void seal() noexcept { delivery_->seal(); }
    // Waits until delivery is over or `timeout` has passed (negative: without limit); true when
    // it is over.
    bool wait(std::chrono::nanoseconds timeout) const noexcept { return delivery_->wait(timeout); }
    bool finished() const noexcept { return delivery_->finished(); }
    bool on_delivery_thread() const noexcept { return delivery_->on_delivery_thread(); }
    // Events that came after the end and were discarded.
    Dropped discarded() const noexcept { return delivery_->discarded(); }

  private:
    StreamSession(std::unique_ptr<StreamDelivery> delivery, std::unique_ptr<DeviceStream> stream,
                  std::shared_ptr<const void> keep_alive) noexcept;

    // Declared first, released last: the stream's code stays loaded while anything below lives.
    std::shared_ptr<const void> keep_alive_;
    std::unique_ptr<StreamDelivery> delivery_;
    std::mutex stop_mutex_;
    std::unique_ptr<DeviceStream> stream_;
};

}  // namespace vorn::DataStream
