// A live tap on a stream: the newest chunk, at most once per interval, handed from the delivery
// thread to a reader that may be slow, without ever making the delivery thread wait.
//
// Invariants
// - offer() never blocks: it takes the chunk only when `interval` has passed since the last one
//   it took (by the chunks' push times) and the slot's mutex is free at once (try_lock); a reader
//   busy taking means the chunk is skipped. It copies into a buffer that is reused, so it
//   allocates only when a chunk is larger than any before.
// - A reader gets each taken chunk at most once, and only the newest: one not yet read when a
//   newer one is taken is replaced.
// - After close() nothing more is taken; take() hands over what is still unread, then returns
//   nothing at once, for good.
// Ownership
// - Shared (std::shared_ptr) by the producer (a RecordingWriter) and the reader; it owns the copy.
// Threads
// - offer(): one thread at a time (the delivery thread). take(): any thread, usually one reader.
//   close(): any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "vorn/host/stream_consumer.hpp"

namespace vorn::DataStream {

class TapSlot {
  public:
    struct Tapped {
        std::vector<std::uint8_t> bytes;
        EventInfo at;
    };

    // `interval`: the least time between two taken chunks, by their push times (0: every chunk
    // the reader is not busy for).
    explicit TapSlot(std::chrono::nanoseconds interval) : interval_ns_(interval.count()) {}
    TapSlot(const TapSlot&) = delete;
    TapSlot& operator=(const TapSlot&) = delete;

    // On the delivery thread: the chunk at `at`, to copy or skip.
    void offer(const std::uint8_t* bytes, std::uint64_t size, const EventInfo& at) noexcept;
    // Waits up to `timeout` (negative: without limit) for a chunk not read yet and returns a copy
    // of it; nothing when the time is up or the slot is closed.
    std::optional<Tapped> take(std::chrono::nanoseconds timeout);
    // Takes nothing more and wakes every reader for good.
    void close() noexcept;
    bool closed() const noexcept;

  private:
    const std::int64_t interval_ns_;
    // Delivery thread only: the push time of the last chunk taken.
    std::optional<std::int64_t> last_taken_ns_;

    mutable std::mutex mutex_;
    std::condition_variable fresh_;
    std::vector<std::uint8_t> buffer_;  // capacity kept across chunks
    EventInfo at_;
    bool unread_ = false;
    bool closed_ = false;
};

}  // namespace vorn::DataStream
