// A 32-bit word that threads sleep on until another thread changes it and wakes them (a Linux
// futex), with an optional time limit.
//
// The word carries no data of its own: whoever sleeps re-checks its conditions (atomics) after
// waking, so a spurious or early wake-up is harmless. Wakers change those conditions first, then
// wake. ThreadSanitizer does not see the system calls; every hand-off of data goes through the
// atomics, which it does see.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <ctime>

namespace vorn::DataStream {

class WakeWord {
  public:
    std::atomic<std::uint32_t>& word() noexcept { return word_; }

    // Sleeps while the word holds `expected`, at most `timeout` (negative: without limit).
    // Returns at once when the word holds another value.
    void wait(std::uint32_t expected, std::chrono::nanoseconds timeout) noexcept {
        timespec limit{};
        timespec* limit_ptr = nullptr;
        if (timeout >= std::chrono::nanoseconds::zero()) {
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
            limit.tv_sec = static_cast<time_t>(seconds.count());
            limit.tv_nsec = static_cast<long>((timeout - seconds).count());
            limit_ptr = &limit;
        }
        syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word_), FUTEX_WAIT_PRIVATE, expected,
                limit_ptr, nullptr, 0);
    }

    void wake_one() noexcept { wake(1); }
    void wake_all() noexcept { wake(INT_MAX); }

  private:
    void wake(int count) noexcept {
        syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word_), FUTEX_WAKE_PRIVATE, count,
                nullptr, nullptr, 0);
    }

    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free);
    std::atomic<std::uint32_t> word_{0};
};

}  // namespace vorn::DataStream
