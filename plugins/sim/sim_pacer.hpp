// The pauses of a paced thread: sleeping until a deadline, cut short at once by stop().
//
// Design note. The simulated acquisition produces its chunks at a fixed rate, so its thread
// sleeps between chunks, up to tens of thousands of times a second, and stop() must end a pause at
// once. A condition variable does both, but every pause then also locks a mutex and, with a stop
// token, registers a stop callback; this pause is one system call instead: a futex wait on the
// stop word with an absolute CLOCK_MONOTONIC deadline (steady_clock's clock), which returns at
// the deadline, or when stop() changes the word and wakes it. A pause whose deadline has passed
// does not sleep at all, so a thread that fell behind catches up.
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
// wakes, the atomic carries the stop between threads.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace sim {

class Pacer {
  public:
    // Lowers the calling thread's timer slack; call it on the thread that sleeps, once.
    static void exact_wake_ups() noexcept;

    // Sleeps until `deadline`, or not at all when it has passed. False when stop() was called
    // before or during the pause (it then returns at once). The sleeping thread only.
    bool sleep_until(std::chrono::steady_clock::time_point deadline) noexcept;

    // Ends the current pause, if any, and makes every later one return false at once.
    void stop() noexcept;

  private:
    std::atomic<std::uint32_t> stopped_{0};  // the futex word: 0 running, 1 stopped
};

}  // namespace sim
