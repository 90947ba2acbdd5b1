// Re-chunking of a stream's data into blocks aligned to a fixed size, shown in place wherever
// possible.
//
// Invariants
// - Every view it emits starts on the stream's grid (a multiple of `alignment` bytes from the
//   start of the stream, dropped bytes counted) and, except a final short one right before Stop, is
//   a whole multiple of `alignment` long. Its EventInfo says where: the offset of its first byte,
//   and the push time of the chunk that held that byte.
// - A view never joins bytes from both sides of a gap; each gap is reported once, at once.
// Ownership
// - It owns `next`. The incoming chunk stays with the caller (unless a view into it is kept
//   through the ViewKeeper); the gathering buffer is its own until a kept view takes it over.
// Threads
// - The delivery thread only; it calls `next` on that thread. A view is valid only while the call
//   of `next` that receives it runs, unless it is kept through the ViewKeeper.
//
// Spans of a chunk are shown in place; only the bytes of a block that straddles chunk boundaries
// are gathered in its buffer, each such block once. Error events are passed on unchanged and leave
// pending bytes pending; Stop first flushes them.
//
// The buffer grows with the bytes it must hold (at most one block), not with `alignment`; when it
// cannot grow, that block is lost and reported at once (an Error, "aligned stream: A bytes of data
// lost (no memory to gather a block of A bytes)"), and the stream goes on.
//
// Gaps (Consumer::dropped): the queue knows how many bytes it dropped, so the grid is kept: the
// partial block before the gap is dropped, and so are the bytes after it up to the next multiple
// of `alignment`. `next` hears of the gap once, at once, through its dropped() with the whole hole
// in the stream, from the end of the last block delivered to the start of the next one (a whole
// number of blocks; if the stream ends inside that last block, it counts bytes that never came).
// Drops of events without data leave the bytes pending as they are: they are passed on and
// nothing else happens.
//
// Views the consumer wants to keep: while `next` handles a view, the ViewKeeper (when given) is
// offered the memory the view lies in (the incoming chunk, or the buffer), so that the consumer can
// keep it beyond the call; a kept buffer is replaced by a fresh one.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>

#include "vorn/events.hpp"
#include "vorn/host/stream_consumer.hpp"
#include "vorn/host/view_keeper.hpp"

namespace vorn::DataStream {

class Rechunker final : public Consumer {
  public:
    // Throws std::invalid_argument "alignment must be greater than 0" for an alignment of 0.
    Rechunker(std::unique_ptr<Consumer> next, std::uint64_t alignment,
              std::shared_ptr<ViewKeeper> keeper = nullptr);
    // The same, in front of a callable that takes the events only.
    Rechunker(EventCallback&& next, std::uint64_t alignment,
              std::shared_ptr<ViewKeeper> keeper = nullptr)
        : Rechunker(std::make_unique<CallbackConsumer>(std::move(next)), alignment,
                    std::move(keeper)) {}

    Rechunker(Rechunker&&) noexcept = default;
    Rechunker& operator=(Rechunker&&) noexcept = default;
    Rechunker(const Rechunker&) = delete;
    Rechunker& operator=(const Rechunker&) = delete;
    ~Rechunker() override = default;

    // Handles one event. When `next` throws, the event is still handled to its end, so no byte is
    // lost and the alignment of what follows is kept; then the first exception is rethrown (any
    // later one of the same event is logged as "Error in callback: {}" meanwhile). The same holds
    // for dropped().
    void deliver(Event&& event, const EventInfo& at) override;
    // An event that comes right after the bytes seen so far, pushed now.
    void operator()(Event&& event) { deliver(std::move(event), {position_, 0}); }
    // `lost` events (with their bytes) were dropped here: see the design note.
    void dropped(const Dropped& lost, const EventInfo& at) override;

    std::uint64_t alignment() const noexcept { return alignment_; }

  private:
    void take(std::uint8_t* bytes, std::uint64_t size, Events::OwnedData* chunk,
              std::int64_t time_ns);
    bool gather(const std::uint8_t* bytes, std::uint64_t size, const EventInfo& at);
    void lose_block(std::uint64_t incoming);
    void report_lost_block();
    void emit(std::uint8_t* bytes, std::uint64_t size, Events::OwnedData* memory,
              const EventInfo& at);
    template <typename Call>
    void pass(Call&& call);

    std::unique_ptr<Consumer> next_;
    Events::OwnedData buffer_;    // capacity: buffer_.size(); holds the pending bytes
    std::uint64_t filled_ = 0;    // pending bytes at the start of the buffer; < alignment_
    std::uint64_t skip_ = 0;      // bytes still to skip after a gap before the grid resumes
    std::uint64_t position_ = 0;  // the stream position of the next byte to come
    EventInfo pending_at_;        // where the first pending byte sits, while filled_ > 0
    bool lost_block_ = false;     // a block was lost for want of memory, not yet reported
    std::uint64_t alignment_;
    std::shared_ptr<ViewKeeper> keeper_;
    std::exception_ptr failure_;  // first exception from `next` during the current event
};

}  // namespace vorn::DataStream
