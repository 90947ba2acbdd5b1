// The pauses of a paced thread (see sim_pacer.hpp): a futex wait with an absolute deadline.
#include "sim_pacer.hpp"

#include <linux/futex.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace sim {

// The kernel reads the word as a 32-bit int; the atomic must be exactly that, with no lock.
static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

void Pacer::exact_wake_ups() noexcept {
    prctl(PR_SET_TIMERSLACK, 1UL);  // 1 ns: 0 would mean "back to the default"
}

bool Pacer::sleep_until(std::chrono::steady_clock::time_point deadline) noexcept {
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
        // Sleeps only while the word is still 0 (the kernel checks it), so a stop() between the
        // load above and the call is not missed. Wake-ups by stop(), signals and spurious ones
        // all go round the loop.
        if (syscall(SYS_futex, &stopped_, FUTEX_WAIT_BITSET_PRIVATE, 0, &until, nullptr,
                    FUTEX_BITSET_MATCH_ANY) != 0 &&
            errno == ETIMEDOUT) {
            return stopped_.load(std::memory_order_acquire) == 0;
        }
    }
    return false;
}

void Pacer::stop() noexcept {
    stopped_.store(1, std::memory_order_release);
    syscall(SYS_futex, &stopped_, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace sim
