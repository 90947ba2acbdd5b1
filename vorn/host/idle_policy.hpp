// How a delivery thread waits while its queue is empty: poll, nap or sleep until woken.
//
// - Threads: an IdlePolicy belongs to one delivery thread and is used on it only. Wakers (the
//   producer, the owner) see only the sleep word, through wake() below.
// - Sleeping: the thread announces that it sleeps (the word = asleep or napping), then re-checks
//   for work; a waker publishes its work, then looks at the word. All of it is sequentially
//   consistent, so either the thread sees the work or the waker sees the sleeper.
//
// The adaptive policy was chosen by measurement (bench/stream_queue_bench, bench/paced_streams): a
// sleep and a wake-up cost the delivery thread (and the producer that wakes it) some tens of
// microseconds of CPU on a virtual machine, far more than handing over an event.
// - Poll only when the queue ran empty for less than `adaptive_poll` last time: a saturated stream
//   that the consumer just caught up with; then poll at most twice that long.
// - While events come faster than one per `coalesce_below`, nap `coalesce_nap` at a time, not woken
//   by pushes: one wake-up hands over a run of several events (and takes a consumer's lock once)
//   and the producer makes no system call; the wait adds half a nap to the latency on average.
// - Otherwise sleep until the producer wakes the thread: one wake-up per event, at once.
#pragma once

#include <sched.h>

#include <atomic>
#include <chrono>
#include <cstdint>

#include "vorn/host/wake_word.hpp"

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

    static constexpr IdleWait adaptive_policy() noexcept { return {{}, {}, true}; }
    // Naps of `nap` at a time; zero or negative polls without pause.
    static constexpr IdleWait timed(std::chrono::nanoseconds nap) noexcept {
        if (nap <= std::chrono::nanoseconds::zero()) {
            return {std::chrono::nanoseconds::max(), {}, false};
        }
        return {{}, nap, false};
    }
};

// The states of the sleep word.
namespace sleep_state {
constexpr std::uint32_t awake = 0;
constexpr std::uint32_t asleep = 1;   // wants a wake-up from the producer or the owner
constexpr std::uint32_t napping = 2;  // wakes by itself; only the owner wakes it earlier
}  // namespace sleep_state

// Wakes the thread sleeping on `sleep` if it sleeps; `always` also ends a nap. Any thread.
inline void wake(WakeWord& sleep, bool always) noexcept {
    std::atomic<std::uint32_t>& word = sleep.word();
    const std::uint32_t state = word.load(std::memory_order_seq_cst);
    if ((state == sleep_state::asleep || (always && state == sleep_state::napping)) &&
        word.exchange(sleep_state::awake, std::memory_order_seq_cst) != sleep_state::awake) {
        sleep.wake_one();
    }
}

class IdlePolicy {
  public:
    using Clock = std::chrono::steady_clock;
    using nanoseconds = std::chrono::nanoseconds;

    static constexpr nanoseconds adaptive_poll{std::chrono::microseconds(5)};
    static constexpr nanoseconds coalesce_below{std::chrono::microseconds(40)};
    static constexpr nanoseconds coalesce_nap{std::chrono::microseconds(50)};

    IdlePolicy(IdleWait wait, WakeWord& sleep) noexcept : wait_(wait), sleep_(sleep) {}

    // Returns once `ready()` holds (work queued, or the end set).
    template <typename Ready>
    void idle(Ready ready) {
        if (ready()) {
            return;
        }
        const auto empty_since = Clock::now();
        if (wait_.adaptive) {
            idle_adaptively(ready, empty_since);
        } else if (wait_.poll <= nanoseconds::zero() || !poll(ready, empty_since, wait_.poll)) {
            sleep_until(ready, wait_.nap);
        }
        last_idle_ = Clock::now() - empty_since;
    }

    // Sleeps until `ready()`; with a positive `length`, in naps that pushes do not cut short.
    template <typename Ready>
    void sleep_until(Ready ready, nanoseconds length) {
        const bool naps = length > nanoseconds::zero();
        while (!ready()) {
            sleep_once(ready, naps ? sleep_state::napping : sleep_state::asleep,
                       naps ? length : nanoseconds(-1));
        }
    }

    // After a run of `events` events: the stream's recent pace, an average of the time per event.
    void note_run(std::uint64_t events) noexcept {
        const auto now = Clock::now();
        if (events > 0 && last_run_ != Clock::time_point{}) {
            const nanoseconds per_event = (now - last_run_) / static_cast<std::int64_t>(events);
            gap_ = gap_ == nanoseconds::max() ? per_event : (3 * gap_ + per_event) / 4;
        }
        last_run_ = now;
    }

  private:
    template <typename Ready>
    void idle_adaptively(Ready ready, Clock::time_point empty_since) {
        if (last_idle_ < adaptive_poll && poll(ready, empty_since, 2 * adaptive_poll)) {
            return;
        }
        if (gap_ < coalesce_below) {
            sleep_once(ready, sleep_state::napping, coalesce_nap);  // pushes do not cut it short
            if (ready()) {
                return;
            }
            gap_ = nanoseconds::max();  // the stream paused: wake at once for what comes next
        }
        sleep_until(ready, nanoseconds::zero());
    }

    // Polls (yielding) until `ready()` or `limit` has passed since `since` (nanoseconds::max():
    // for ever). True when ready.
    template <typename Ready>
    bool poll(Ready ready, Clock::time_point since, nanoseconds limit) {
        const bool forever = limit == nanoseconds::max();
        while (forever || Clock::now() - since < limit) {
            sched_yield();
            if (ready()) {
                return true;
            }
        }
        return false;
    }

    // Announces the sleep, then sleeps unless `ready()` (see the note at the top).
    template <typename Ready>
    void sleep_once(Ready ready, std::uint32_t state, nanoseconds timeout) {
        std::atomic<std::uint32_t>& word = sleep_.word();
        word.store(state, std::memory_order_seq_cst);
        if (!ready()) {
            sleep_.wait(state, timeout);
        }
        word.store(sleep_state::awake, std::memory_order_relaxed);
    }

    const IdleWait wait_;
    WakeWord& sleep_;
    nanoseconds last_idle_ = nanoseconds::max();  // how long the queue was last empty
    nanoseconds gap_ = nanoseconds::max();        // recent time per event
    Clock::time_point last_run_{};
};

}  // namespace vorn::DataStream
