// The paced producer of the benchmarks: one loop, shared by the paced benchmark plugin, the ctypes
// peer (native_callbacks.cpp) and the native queue benchmark, so that every contender is fed alike.
//
// Every 1/rate seconds (absolute deadlines from the start: chunk n, counted from 1, at n/rate, so
// a late chunk does not delay the following ones and N chunks take N/rate seconds) it allocates a
// chunk, fills it, writes the CLOCK_MONOTONIC time in ns of the hand-over into its first 8 bytes
// (little-endian; Python's time.monotonic_ns() reads the same clock) and hands it over; the
// receiver owns the chunk and frees it with delete[].
#pragma once

#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <stop_token>

namespace vorn_bench {

// Chunks carry their stamp in the first bytes, so they are never smaller than this.
inline constexpr std::uint64_t min_paced_chunk = 8;

inline std::int64_t monotonic_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// The stamp a chunk carries; the host is little-endian (x86-64), like the stamp's format.
inline std::int64_t chunk_stamp(const std::uint8_t* chunk) {
    std::int64_t stamp;
    std::memcpy(&stamp, chunk, sizeof stamp);
    return stamp;
}

// Hands `count` chunks of `size` bytes (at least min_paced_chunk) to `hand_over(bytes, size)`,
// `rate` per second, on the calling thread, and returns how many it handed over before `stop`
// was requested. A `count` of 0 means until `stop`; a `rate` of 0 hands over nothing and waits
// for `stop`. The sleep is a condition-variable wait with the stop token, so stop() is prompt.
template <typename HandOver>
std::uint64_t produce_paced(std::stop_token stop, double rate, std::uint64_t size,
                            std::uint64_t count, HandOver&& hand_over) {
    using Clock = std::chrono::steady_clock;
    // Sleep until the deadline, not the default 50 us past it: the rates go up to 100,000/s.
    prctl(PR_SET_TIMERSLACK, 1UL);
    size = std::max(size, min_paced_chunk);
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    if (rate <= 0) {
        wake.wait(lock, stop, [] { return false; });
        return 0;
    }
    const auto period =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
    const auto start = Clock::now();
    std::uint64_t n = 0;
    for (; count == 0 || n < count; ++n) {
        const auto deadline = start + (n + 1) * period;
        if (Clock::now() < deadline) {  // when behind schedule, it hands over at once
            wake.wait_until(lock, stop, deadline, [] { return false; });
        }
        if (stop.stop_requested()) {
            break;
        }
        auto* chunk = new std::uint8_t[size];
        std::memset(chunk, static_cast<int>(n), size);
        const std::int64_t stamp = monotonic_ns();
        std::memcpy(chunk, &stamp, sizeof stamp);
        hand_over(chunk, size);
    }
    return n;
}

}  // namespace vorn_bench
