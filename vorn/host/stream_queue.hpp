// The stream queue: a bounded hand-off of stream events from a device thread to a delivery thread
// that gives them to the consumer in push order, and the control of that delivery.
//
// Invariants
// - A push (StreamQueue::operator()) never blocks, takes no lock and never throws. It allocates
//   only to copy a DataView and to add a block of slots at a new high-water mark of the backlog.
// - The queue holds at most `max_elements` events whatever the overload: below the limit an event
//   is always stored, at it the event is dropped and counted.
// - The consumer gets every stored event in push order, with where it sits (EventInfo, stamped at
//   the push), each run of drops as one report (Consumer::dropped) just before the next event it
//   gets (or as soon as everything stored before them was handed over), and then the end exactly
//   once, however the stream ended. Events pushed after the end are
//   discarded and counted, never delivered.
// Ownership
// - The events, the counters and the wake words live in a shared state held by the producer end,
//   the delivery thread and the StreamDelivery, so none of them needs another to live.
// - The delivery thread owns the consumer and the context and destroys them on itself when
//   delivery is over; then it releases `keep_alive` last (it may keep the code of the chunks'
//   deleters loaded).
// Threads
// - StreamQueue: one producer thread at a time. StreamDelivery: any thread. Consumer and
//   DeliveryContext: the delivery thread only.
//
// The end is not an event in the queue but a position: `limit`, the number of stored events that
// will be delivered. The device's Stop sets it to what it stored before; so do the owner's seal()
// and the release of the StreamQueue by the device; cancel() sets it to 0. The thread delivers
// every event before that position, then the drops not yet reported, then a Stop. It hands events
// over in runs, inside its DeliveryContext (which may take a lock once per run), bounded by count
// and time; while nothing is queued it waits as its IdlePolicy says.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>

#include "vorn/events.hpp"
#include "vorn/host/idle_policy.hpp"
#include "vorn/host/stream_consumer.hpp"

namespace vorn::DataStream {

class StreamQueue;

// The delivery side of a stream: the delivery thread and the control of what it delivers. Used by
// the owner of the consumer (a StreamSession). Its calls may be made from any thread.
class StreamDelivery {
  public:
    struct Options {
        IdleWait idle = IdleWait::adaptive_policy();
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
    // True on any stream's delivery thread: a wait for the end of a delivery there could wait for
    // a thread that waits in turn (two consumers that stop each other's streams).
    static bool on_any_delivery_thread() noexcept;
    // Events discarded because they came after the end.
    Dropped discarded() const noexcept;

    struct Shared;

  private:
    friend class StreamQueue;
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

// The producer end of a stream's delivery: the callable a device gets (move it into an
// EventCallback). One thread pushes at a time. Releasing it ends the stream there (what was pushed
// is delivered, then the end) and never waits.
class StreamQueue {
  public:
    // The initial capacity of the queue; also the smallest accepted `max_elements`.
    static constexpr int init_elements = 64;
    static constexpr const char* overflow_message_prefix = "Queue Overflow, dropping event";

    StreamQueue(StreamQueue&& other) noexcept;
    StreamQueue& operator=(StreamQueue&&) = delete;
    StreamQueue(const StreamQueue&) = delete;
    StreamQueue& operator=(const StreamQueue&) = delete;
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
    // Producer-local copies of what the producer publishes (or last read).
    std::uint64_t stored_ = 0;
    std::uint64_t taken_ = 0;
    std::uint64_t position_ = 0;  // bytes pushed so far, dropped ones included
    Dropped dropped_;
    bool ended_ = false;
};

}  // namespace vorn::DataStream
