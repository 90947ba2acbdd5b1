// Re-chunking of a stream's data into blocks aligned to a fixed size, shown in place wherever
// possible.
//
// Design note: the Rechunker takes the events of a stream and passes views of whole aligned blocks
// to `next`. Spans of a chunk are shown in place; only the bytes of a block that straddles chunk
// boundaries are gathered in its one buffer of `alignment` bytes, each such block once. Every view
// it emits starts at a multiple of `alignment` bytes from the start of the stream and, except a
// final short one right before Stop, is a whole multiple of `alignment` long. Error events are
// passed on unchanged and leave pending bytes pending; Stop first flushes them.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>

#include "vorn/events.hpp"

namespace vorn::DataStream {

// An EventCallback target (move it into one). Thread rules: one thread calls it at a time (the
// stream's delivery thread); it owns `next` and calls it on that thread. A view it emits is valid
// only while the call of `next` that receives it runs: its bytes belong to the incoming chunk or
// to the buffer, which the next event overwrites. The incoming chunk is read in place and stays
// with the caller.
class Rechunker {
  public:
    // Throws std::invalid_argument "alignment must be greater than 0" for an alignment of 0 and
    // std::bad_alloc when the buffer cannot be allocated.
    Rechunker(EventCallback&& next, std::uint64_t alignment);

    Rechunker(Rechunker&&) noexcept = default;
    Rechunker& operator=(Rechunker&&) noexcept = default;
    Rechunker(const Rechunker&) = delete;
    Rechunker& operator=(const Rechunker&) = delete;
    ~Rechunker() = default;

    // Handles one event. When `next` throws, the event is still handled to its end, so no byte is
    // lost and the alignment of what follows is kept; then the first exception is rethrown.
    void operator()(Event&& event);

    std::uint64_t alignment() const noexcept { return alignment_; }

  private:
    void take(std::uint8_t* bytes, std::uint64_t size);
    void gather(const std::uint8_t* bytes, std::uint64_t size);
    void emit(std::uint8_t* bytes, std::uint64_t size);
    void pass(Event&& event);

    EventCallback next_;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::uint64_t filled_ = 0;
    std::uint64_t alignment_;
    std::exception_ptr failure_;  // first exception from `next` during the current event
};

}  // namespace vorn::DataStream
