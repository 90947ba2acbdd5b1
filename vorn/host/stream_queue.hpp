// The stream queue: a bounded hand-off of stream events from a device thread to a delivery thread
// that calls the consumer callback with them in push order.
//
// Design note
// - The producer (a device's stream thread) calls the queue with each event. The call stores the
//   event in a lock-free single-producer single-consumer queue and returns at once: it never
//   blocks and takes no lock. It allocates only to copy a DataView, to store an overflow error,
//   and to add a block when every slot is taken; the queue keeps its blocks, so that last case
//   happens only when the backlog reaches a new high-water mark.
// - `max_elements` is the one bound on the backlog: below it an event is always stored; at or
//   above it the event is dropped and the Error "Queue Overflow, dropping event" is stored in its
//   place, one per dropped event. A Stop is always stored, so the consumer hears of the end.
// - The delivery thread owns the consumer callback and destroys it on its own thread before it
//   ends (a consumer may hold an object that must be released on that thread, e.g. a Python
//   callable dropped under the interpreter lock). While the queue is empty the thread first polls,
//   yielding the processor, for a short while after the last event, then waits on the queue's
//   semaphore: a busy stream keeps the latency of polling, an idle one costs next to no CPU.
// - The destructor requests stop, wakes the delivery thread by storing an empty event (it runs
//   after the producer has let go of the queue, so it may take the producer's side) and joins
//   it. Destroyed on the delivery thread itself (the consumer ended the stream from inside its
//   callback), it must not join: the thread ends once the callback returns and then frees the
//   queue, which it shares.
#pragma once

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <variant>

#include "vorn/events.hpp"
#include "vorn/host/callback_errors.hpp"

// GCC before 14 lacks __has_feature, so the queue library cannot tell that it is built for
// ThreadSanitizer and leaves its fence-based hand-off unannotated (ThreadSanitizer does not model
// fences). Supply the happens-before annotations it uses when it can tell. (Not keyed on
// __has_feature: other headers, spdlog among them, define it as 0.)
#if defined(__SANITIZE_THREAD__) && !defined(__clang__) && __GNUC__ < 14 && \
    !defined(AE_TSAN_ANNOTATE_RELEASE)
extern "C" void AnnotateHappensBefore(const char* file, int line, void* address);
extern "C" void AnnotateHappensAfter(const char* file, int line, void* address);
namespace vorn::detail {
inline int queue_fence_sync;
}  // namespace vorn::detail
#define AE_TSAN_ANNOTATE_RELEASE() \
    AnnotateHappensBefore(__FILE__, __LINE__, &::vorn::detail::queue_fence_sync)
#define AE_TSAN_ANNOTATE_ACQUIRE() \
    AnnotateHappensAfter(__FILE__, __LINE__, &::vorn::detail::queue_fence_sync)
#endif
#include <readerwriterqueue/readerwriterqueue.h>

namespace vorn::DataStream {

// How the delivery thread waits while the queue is empty. After an event it polls for `poll`,
// yielding the processor between tries, so that a steady stream is picked up at once; then it
// waits on the queue's semaphore for up to `wait` at a time (at most one second), waking as soon
// as an event is stored. A `wait` of zero or less never blocks: the thread then polls without
// pause. A `poll` of nanoseconds::max() with no `wait` polls for ever, yielding between tries.
struct IdleWait {
    std::chrono::nanoseconds poll;
    std::chrono::nanoseconds wait;
};

// Bounded event queue with its own delivery thread; itself a callable that takes events, so it
// is handed to a device as an EventCallback.
//
// Thread rules: the call operator runs on the producer's thread, one call at a time (pushes must
// not overlap). The consumer callback runs only on the delivery thread, one event at a time, in
// push order; it is destroyed there too. The destructor must not run while the producer may still
// push, nor while holding a lock that the consumer callback or its destruction waits for.
template <typename Queue>
class StreamQueue {
  public:
    // Initial capacity requested from the queue; also the smallest accepted `max_elements`.
    static constexpr int init_elements = 64;
    // The wait of the first constructor: poll for 250 us after an event, so a stream of 4000 or
    // more events a second is picked up as fast as by polling alone; then block. The wait's
    // timeout only matters if destruction could not wake the thread (no memory for the wake-up).
    // bench/stream_queue_bench measures the trade-off.
    static constexpr IdleWait default_idle_wait{std::chrono::microseconds(250),
                                                std::chrono::milliseconds(100)};
    static constexpr const char* overflow_message = "Queue Overflow, dropping event";

    // Throws std::runtime_error "max_elements must be greater than init_elements" when
    // `max_elements` is below init_elements (nothing is started then), std::bad_alloc when the
    // queue's first block cannot be allocated, std::system_error when no thread can be started.
    StreamQueue(EventCallback&& consumer, int max_elements)
        : StreamQueue(std::move(consumer), max_elements, default_idle_wait) {}

    // Timed form: the delivery thread does not poll but waits up to `idle_sleep` at a time for an
    // event; with `idle_sleep` zero or negative it polls without pause.
    StreamQueue(EventCallback&& consumer, int max_elements, std::chrono::nanoseconds idle_sleep)
        : StreamQueue(std::move(consumer), max_elements,
                      IdleWait{std::chrono::nanoseconds::zero(), idle_sleep}) {}

    StreamQueue(EventCallback&& consumer, int max_elements, IdleWait idle)
        : queue_(make_queue(max_elements)), max_elements_(max_elements) {
        worker_ = std::jthread(&deliver, queue_, std::move(consumer), idle);
    }

    StreamQueue(StreamQueue&&) noexcept = default;
    StreamQueue& operator=(StreamQueue&&) = delete;
    StreamQueue(const StreamQueue&) = delete;
    StreamQueue& operator=(const StreamQueue&) = delete;

    ~StreamQueue() {
        if (!worker_.joinable()) {
            return;  // moved from
        }
        worker_.request_stop();
        if (worker_.get_id() == std::this_thread::get_id()) {
            worker_.detach();
            return;
        }
        // The producer has let go of the queue, so this thread may store into it. If no memory can
        // be had for the wake-up, the thread still sees the stop request when its wait times out.
        enqueue(Event{});
        worker_.join();
    }

    // Push, on the producer's thread. Never blocks and never throws.
    void operator()(Event&& event) {
        if (std::holds_alternative<Events::Stop>(event)) {
            store(std::move(event));
        } else if (queue_->size_approx() >= static_cast<std::size_t>(max_elements_)) {
            store_overflow_error();
        } else if (auto* view = std::get_if<Events::DataView>(&event)) {
            // The viewed bytes are the producer's only for the duration of this call.
            Events::OwnedData copy;
            try {
                copy = Events::OwnedData::allocate(view->size);
            } catch (const std::bad_alloc&) {
                store_overflow_error();
                return;
            }
            if (view->size > 0) {
                std::memcpy(copy.data(), view->data, view->size);
            }
            if (!enqueue(Event{std::move(copy)})) {
                store_overflow_error();
            }
        } else if (!enqueue(std::move(event))) {
            store_overflow_error();  // no memory for another block: the event cannot be kept
        }
    }

  private:
    static std::shared_ptr<Queue> make_queue(int max_elements) {
        if (max_elements < init_elements) {
            throw std::runtime_error("max_elements must be greater than init_elements");
        }
        return std::make_shared<Queue>(init_elements);
    }

    // Every store goes through here. Kept out of line: inlined into a caller that built an event of
    // a known kind, GCC 12 warns falsely that the other kinds' members are used uninitialized.
    [[gnu::noinline]] bool enqueue(Event&& event) { return queue_->enqueue(std::move(event)); }

    // Stores an event that must not be lost, yielding and trying again while no memory can be had
    // for a new block.
    void store(Event&& event) {
        while (!enqueue(std::move(event))) {
            sched_yield();
        }
    }

    void store_overflow_error() {
        for (;;) {
            try {
                store(Event{Events::Error{std::string(overflow_message)}});
                return;
            } catch (const std::bad_alloc&) {
                sched_yield();
            }
        }
    }

    // Takes events out of the queue as the delivery loop asks, waiting as `idle` says.
    // Used by the delivery thread only.
    class Taker {
      public:
        Taker(Queue& queue, IdleWait idle) : queue_(queue), idle_(idle) {}

        // Moves the oldest event into `event` and returns true, or returns false when none came
        // within one wait (or stop was requested while polling).
        bool take(Event& event, const std::stop_token& stop) {
            if (queue_.try_dequeue(event)) {
                return active(true);
            }
            if (active_) {
                const auto start = std::chrono::steady_clock::now();
                while (std::chrono::steady_clock::now() - start < idle_.poll) {
                    if (stop.stop_requested()) {
                        return false;
                    }
                    sched_yield();
                    if (queue_.try_dequeue(event)) {
                        return true;
                    }
                }
                active_ = false;  // poll only after activity, not after every timed-out wait
            }
            if (idle_.wait <= std::chrono::nanoseconds::zero()) {
                return false;
            }
            const auto wait = std::chrono::ceil<std::chrono::microseconds>(
                std::min<std::chrono::nanoseconds>(idle_.wait, std::chrono::seconds(1)));
            return active(queue_.wait_dequeue_timed(event, wait));
        }

      private:
        bool active(bool taken) {
            active_ = active_ || taken;
            return taken;
        }

        Queue& queue_;
        IdleWait idle_;
        bool active_ = true;
    };

    // The delivery thread. `queue` is shared with the StreamQueue, so it outlives this function
    // even when the StreamQueue is destroyed from inside the consumer callback. `consumer` is
    // owned here and destroyed on this thread when the function returns.
    static void deliver(std::stop_token stop, std::shared_ptr<Queue> queue, EventCallback consumer,
                        IdleWait idle) {
        Taker taker(*queue, idle);
        Event event;
        while (!stop.stop_requested()) {
            if (!taker.take(event, stop)) {
                continue;
            }
            if (stop.stop_requested()) {
                break;  // woken for destruction: events still stored are not delivered
            }
            const bool last = std::holds_alternative<Events::Stop>(event);
            // A failing consumer must not end the process nor the stream: it is logged.
            guard_callback([&] { consumer(std::move(event)); });
            event = Event{};  // frees whatever payload the consumer left
            if (last) {
                break;
            }
        }
    }

    std::shared_ptr<Queue> queue_;
    std::jthread worker_;
    int max_elements_;
};

// The queue type of every stream: events in blocks of at most 512.
using EventQueue = moodycamel::BlockingReaderWriterQueue<Event, 512>;
// The stream queue the module uses.
using EventStreamQueue = StreamQueue<EventQueue>;

}  // namespace vorn::DataStream
