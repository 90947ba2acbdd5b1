// The stream queue: a bounded hand-off of stream events from a device thread to a delivery thread
// that gives them to the consumer in push order, and the control of that delivery.
//
// Design note
// - The producer (a device's stream thread) calls the StreamQueue with each event. The call stores
//   the event in a lock-free single-producer single-consumer queue and returns at once: it never
//   blocks, takes no lock and never throws. It allocates only to copy a DataView and to add a
//   block of slots when the backlog reaches a new high-water mark.
// - `max_elements` bounds the backlog: below it an event is always stored; at it the event is
//   dropped and counted. The queue holds at most `max_elements` events whatever the overload; the
//   consumer learns of the drops, in order, as one report per run of drops (Consumer::dropped)
//   just before the next event it gets.
// - The end is not an event in the queue but a position: `limit`, the number of stored events that
//   will be delivered. The device's Stop sets it to what it stored before; so do the owner's
//   seal() and the release of the StreamQueue by the device; cancel() sets it to 0. The thread
//   delivers every event before that position, then the drops not yet reported, then a Stop: the
//   consumer hears the end exactly once, after everything before it, however the stream ended.
//   Events pushed after the end are discarded and counted, never delivered.
// - The delivery thread hands events over in runs, inside its DeliveryContext (which may take a
//   lock once per run), bounded by count and time. While nothing is queued it polls for a while
//   or sleeps on a futex word that the producer and the owner wake.
// - Ownership: the events, the counters and the wake words live in a shared state held by the
//   producer end, the delivery thread and the StreamDelivery, so none of them needs another to
//   live. The thread owns the consumer and the context and destroys them on itself when delivery
//   is over; then it releases `keep_alive` last, which may keep the code of the chunks' deleters
//   loaded.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>

#include "vorn/events.hpp"
#include "vorn/host/stream_consumer.hpp"

namespace vorn::DataStream {

// How the delivery thread waits while nothing is queued.
struct IdleWait {
    // Poll (yielding the processor) for this long after the queue ran empty;
    // nanoseconds::max() polls for ever.
    std::chrono::nanoseconds poll{0};
    // Then sleep: with a positive `nap`, for that long at a time, without being woken by pushes
    // (the owner's control calls still wake it); otherwise until the producer or the owner wakes
    // it.
    std::chrono::nanoseconds nap{0};
    // Choose between polling and sleeping from the stream's recent pace (poll and nap ignored).
    bool adaptive = false;
};

class StreamQueue;

// The delivery side of a stream: the delivery thread and the control of what it delivers. Used by
// the owner of the consumer (for Python streams: the Python DataStream). Its calls may be made
// from any thread.
class StreamDelivery {
  public:
    static constexpr IdleWait adaptive_idle{{}, {}, true};

    struct Options {
        IdleWait idle = adaptive_idle;
        // Brackets the thread's runs of events; none when null.
        std::shared_ptr<DeliveryContext> context;
        // Released by the thread after it has destroyed the consumer and freed every event.
        std::shared_ptr<const void> keep_alive;
        // Deliver nothing before release() (or never, after cancel()).
        bool held = false;
        // Bounds of one run of events (the time bound usually ends a busy run first).
        std::uint32_t run_events = 4096;
        std::chrono::nanoseconds run_time = std::chrono::milliseconds(1);
    };

    // Throws std::runtime_error "max_elements must be greater than init_elements" when
    // `max_elements` is below StreamQueue::init_elements (nothing is started then), std::bad_alloc,
    // and std::system_error when no thread can be started.
    StreamDelivery(std::unique_ptr<Consumer> consumer, int max_elements, Options options);
    // Never waits: joins a finished thread, and lets an unfinished one finish on its own.
    ~StreamDelivery();
    StreamDelivery(const StreamDelivery&) = delete;
    StreamDelivery& operator=(const StreamDelivery&) = delete;

    // The producer end, to hand to the device. One per delivery.
    StreamQueue queue();

    // Starts delivering a held delivery.
    void release() noexcept;
    // Never delivers anything (more): events are discarded, the consumer hears nothing, not even
    // the end.
    void cancel() noexcept;
    // Ends the stream here: what was stored until now is delivered, then the end. Later pushes are
    // discarded.
    void seal() noexcept;
    // Waits until delivery is over (the end delivered, or delivery cancelled or refused) or
    // `timeout` has passed (negative: without limit). True when it is over.
    bool wait(std::chrono::nanoseconds timeout) const noexcept;
    bool finished() const noexcept;
    // True on the delivery thread itself (for example inside the consumer).
    bool on_delivery_thread() const noexcept;
    // Events discarded because they came after the end.
    Dropped discarded() const noexcept;

    struct Shared;

  private:
    friend class StreamQueue;
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

// The producer end of a stream's delivery: the callable a device gets (move it into an
// EventCallback). One thread pushes at a time.
class StreamQueue {
  public:
    // The initial capacity of the queue; also the smallest accepted `max_elements`.
    static constexpr int init_elements = 64;
    static constexpr const char* overflow_message_prefix = "Queue Overflow, dropping event";
    static constexpr IdleWait default_idle_wait = StreamDelivery::adaptive_idle;

    // A queue with its own delivery thread that hands every event to `consumer`, starting at once.
    // Its destruction ends the stream (what was pushed is delivered, then the end) and waits for
    // the delivery thread, unless it runs on that thread. Throws as StreamDelivery's constructor.
    StreamQueue(EventCallback&& consumer, int max_elements);
    // The timed form: the thread naps for `idle_sleep` at a time while nothing is queued; with
    // `idle_sleep` zero or negative it polls without pause.
    StreamQueue(EventCallback&& consumer, int max_elements, std::chrono::nanoseconds idle_sleep);
    StreamQueue(EventCallback&& consumer, int max_elements, IdleWait idle);

    StreamQueue(StreamQueue&& other) noexcept;
    StreamQueue& operator=(StreamQueue&&) = delete;
    StreamQueue(const StreamQueue&) = delete;
    StreamQueue& operator=(const StreamQueue&) = delete;
    // No more events come: the delivery thread delivers what was stored, then the end. Never
    // waits, except for a queue that owns its delivery (the constructors above).
    ~StreamQueue();

    // Push, on the producer's thread. Never blocks and never throws.
    void operator()(Event&& event) noexcept;

  private:
    friend class StreamDelivery;
    explicit StreamQueue(std::shared_ptr<StreamDelivery::Shared> shared) noexcept;

    void drop(std::uint64_t bytes) noexcept;
    bool full() noexcept;
    void end() noexcept;

    std::shared_ptr<StreamDelivery::Shared> shared_;
    std::unique_ptr<StreamDelivery> owned_;
    // Producer-local copies of what the producer publishes (or last read).
    std::uint64_t stored_ = 0;
    std::uint64_t taken_ = 0;
    Dropped dropped_;
    bool ended_ = false;
};

// The queue the module's streams use.
using EventStreamQueue = StreamQueue;

}  // namespace vorn::DataStream
