// The thread that produces a read stream's events, with what every such thread must get right.
//
// Design note. start_read_stream returns a stream handle that owns a ProducerThread. The thread
// runs the plugin's body, which pushes chunks (paced or as fast as it can) until its data ends or
// stop() is called; then the thread pushes Stop. Nothing may escape the thread (an exception there
// would end the host's whole process): whatever the body throws, running out of memory included,
// becomes an Error event before the end. The forced unwinding of a cancelled thread is no
// exception: it goes on, and no end is pushed. The handle keeps the host's callback until it is
// destroyed, so that whatever was pushed, Stop included, is delivered: releasing the callback is
// what tells the host that no more events come.
//
// Ownership and threads: the ProducerThread owns its thread and the callback. The body is the
// only code that calls the callback while the thread runs; stop() and the destructor join the
// thread before anything else touches the callback. stop() may be called from any thread, any
// number of times, also concurrently, and it ends a pause of the body at once. After a fork, the
// child has no producer thread: a plugin must not use a stream handle there (see the plugin guide).
//
// Header-only; part of vorn/support.hpp.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>

#include "vorn/events.hpp"
#include "vorn/support/forced_unwind.hpp"
#include "vorn/support/pacer.hpp"

namespace vorn::support {

// What the body of a ProducerThread works with, on its thread.
class Producer {
  public:
    using clock = std::chrono::steady_clock;

    // Hands an event to the host.
    void push(vorn::DataStream::Event&& event) { callback_(std::move(event)); }

    // Whether stop() was called: the body should return soon.
    bool stopping() const noexcept { return stop_.stop_requested(); }

    // Sets the pace from now on: chunk n is due n periods after this call, at `chunks_per_second`
    // (0: as fast as possible). A late chunk does not delay the next ones.
    void start_pacing(double chunks_per_second) {
        start_ = clock::now();
        // Slower than one chunk a day counts as one a day: deadlines stay far within the clock's
        // range for any chunk count a stream reaches.
        chunks_per_second = chunks_per_second > 0 ? std::max(chunks_per_second, 1.0 / 86400) : 0;
        period_ = chunks_per_second <= 0
                      ? clock::duration::zero()
                      : std::chrono::duration_cast<clock::duration>(
                            std::chrono::duration<double>(1.0 / chunks_per_second));
    }

    // Waits until chunk `n` is due. False, at once, when stop() was called before or during the
    // wait: the body should return.
    bool pace(std::uint64_t n) noexcept {
        if (stopping()) {
            return false;
        }
        return period_ == clock::duration::zero() || pacer_.sleep_until(start_ + n * period_);
    }

    // Sleeps until `deadline` (for a wait of the body's own); false, at once, when stopped.
    bool sleep_until(clock::time_point deadline) noexcept {
        return !stopping() && pacer_.sleep_until(deadline);
    }

  private:
    friend class ProducerThread;
    Producer(vorn::DataStream::EventCallback callback, std::stop_token stop)
        : callback_(std::move(callback)), stop_(std::move(stop)) {}

    vorn::DataStream::EventCallback callback_;
    std::stop_token stop_;
    Pacer pacer_;
    clock::time_point start_ = clock::now();
    clock::duration period_ = clock::duration::zero();
};

class ProducerThread {
  public:
    using Body = std::function<void(Producer&)>;

    // Starts the thread: it runs `body`, then pushes Stop. An exception from the body is pushed
    // as an Error event, "<failure_prefix><what it says>", before Stop. An empty callback or body
    // is refused (std::invalid_argument) before any thread starts.
    ProducerThread(vorn::DataStream::EventCallback callback, std::string failure_prefix, Body body)
        : producer_(checked(std::move(callback)), stop_.get_token()),
          failure_prefix_(std::move(failure_prefix)),
          body_(std::move(body)),
          thread_(body_ ? std::thread([this] { run(); })
                        : throw std::invalid_argument("a producer thread needs a body")) {}

    // Stops and joins the thread, then releases the callback: the host stops delivering there.
    ~ProducerThread() {
        stop();
        producer_.callback_ = vorn::DataStream::EventCallback{};
    }

    ProducerThread(const ProducerThread&) = delete;
    ProducerThread& operator=(const ProducerThread&) = delete;

    // Asks the body to return, ends its pause at once, and waits for the thread (which pushes
    // Stop before it ends). Any thread; again: nothing.
    void stop() {
        std::lock_guard lock(stop_mutex_);
        if (thread_.joinable()) {
            stop_.request_stop();
            thread_.join();
        }
    }

  private:
    void run() {
        Pacer::exact_wake_ups();
        // A stop request ends the pause between chunks at once. Registered once for the thread's
        // life, not per pause; it runs at once when the stop was requested before.
        const std::stop_callback end_pauses(stop_.get_token(),
                                            [this]() noexcept { producer_.pacer_.stop(); });
        try {
            body_(producer_);
        } catch (...) {
            if (is_forced_unwind()) {
                throw;
            }
            push_failure();
        }
        try {
            producer_.push(vorn::DataStream::Events::Stop{});
        } catch (...) {
            if (is_forced_unwind()) {
                throw;
            }
            // The host's callback does not throw; should another one, the thread ends all the same.
        }
    }

    static vorn::DataStream::EventCallback checked(vorn::DataStream::EventCallback callback) {
        if (!callback) {
            throw std::invalid_argument("a producer thread needs a callback");
        }
        return callback;
    }

    // Pushes the exception being handled as an Error event; in a handler only.
    void push_failure() {
        vorn::DataStream::Events::Error error;
        try {
            try {
                throw;
            } catch (const std::exception& failure) {
                error.message = failure_prefix_ + failure.what();
            } catch (...) {
                error.message = failure_prefix_ + "unknown exception";
            }
        } catch (const std::exception&) {
            // Building the text ran out of memory. This one fits the string's own buffer (up to
            // 15 characters), so it needs none.
            error.message = "out of memory";
        }
        try {
            producer_.push(std::move(error));
        } catch (...) {
            if (is_forced_unwind()) {
                throw;
            }
        }
    }

    std::stop_source stop_;
    Producer producer_;
    const std::string failure_prefix_;
    Body body_;
    std::mutex stop_mutex_;  // serialises stop() and the destructor
    std::thread thread_;     // last: starts when everything above exists
};

}  // namespace vorn::support
