// The pauses of a paced thread: sleeping until a deadline, cut short at once by stop().
//
// Design note. A paced producer pushes its chunks at a fixed rate, so its thread sleeps between
// chunks, up to tens of thousands of times a second, and stop() must end a pause at once. A
// condition variable does both, but every pause then also locks a mutex and, with a stop token,
// registers a stop callback; this pause is one system call instead: a futex wait on the stop word
// with an absolute CLOCK_MONOTONIC deadline (steady_clock's clock), which returns at the deadline,
// or when stop() changes the word and wakes it. A pause whose deadline has passed does not sleep
// at all, so a thread that fell behind catches up.
//
// The sleeping thread asks for a timer slack of 1 ns (prctl PR_SET_TIMERSLACK): with Linux's
// default of 50 us it would wake up to 50 us late, which at 20,000 chunks/s pushes chunks in
// bursts instead of one every 50 us.
//
// A real device's thread waits for its hardware (an interrupt, a DMA completion) instead of a
// clock; what carries over is that stop() must cut any such wait short.
//
// Threads: one thread sleeps (sleep_until); stop() may be called from any thread, any number of
// times, also before or during a pause. The stop word is an atomic: the futex only blocks and
// wakes, the atomic carries the stop between threads. Header-only (Linux); part of
// vorn/support.hpp.
#pragma once

#include <linux/futex.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>

namespace vorn::support {

class Pacer {
  public:
    // Lowers the calling thread's timer slack; call it on the thread that sleeps, once.
    static void exact_wake_ups() noexcept {
        prctl(PR_SET_TIMERSLACK, 1UL);  // 1 ns: 0 would mean "back to the default"
    }

    // Sleeps until `deadline`, or not at all when it has passed. False when stop() was called
    // before or during the pause (it then returns at once). The sleeping thread only.
    bool sleep_until(std::chrono::steady_clock::time_point deadline) noexcept {
        using namespace std::chrono;
        // steady_clock is CLOCK_MONOTONIC, the clock of FUTEX_WAIT_BITSET's absolute time-out.
        const auto since_epoch = deadline.time_since_epoch();
        const auto whole_seconds = duration_cast<seconds>(since_epoch);
        const timespec until{
            static_cast<time_t>(whole_seconds.count()),
            static_cast<long>(duration_cast<nanoseconds>(since_epoch - whole_seconds).count())};
        while (stopped_.load(std::memory_order_acquire) == 0) {
            if (steady_clock::now() >= deadline) {
                return true;
            }
            // Sleeps only while the word is still 0 (the kernel checks it), so a stop() between
            // the load above and the call is not missed. Wake-ups by stop(), signals and spurious
            // ones all go round the loop.
            if (syscall(SYS_futex, &stopped_, FUTEX_WAIT_BITSET_PRIVATE, 0, &until, nullptr,
                        FUTEX_BITSET_MATCH_ANY) != 0 &&
                errno == ETIMEDOUT) {
                return stopped_.load(std::memory_order_acquire) == 0;
            }
        }
        return false;
    }

    // Ends the current pause, if any, and makes every later one return false at once.
    void stop() noexcept {
        stopped_.store(1, std::memory_order_release);
        syscall(SYS_futex, &stopped_, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
    }

  private:
    // The kernel reads the word as a 32-bit int; the atomic must be exactly that, with no lock.
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free);

    std::atomic<std::uint32_t> stopped_{0};  // the futex word: 0 running, 1 stopped
};

}  // namespace vorn::support
