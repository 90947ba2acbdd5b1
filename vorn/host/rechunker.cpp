// Re-chunking of a stream's data into aligned blocks (see rechunker.hpp).
#include "vorn/host/rechunker.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

#include "vorn/host/callback_errors.hpp"

namespace vorn::DataStream {

namespace {

// The smallest buffer worth allocating; it then doubles up to one block.
constexpr std::uint64_t min_buffer = 256;

}  // namespace

Rechunker::Rechunker(std::unique_ptr<Consumer> next, std::uint64_t alignment,
                     std::shared_ptr<ViewKeeper> keeper)
    : next_(std::move(next)), alignment_(alignment), keeper_(std::move(keeper)) {
    if (alignment == 0) {
        throw std::invalid_argument("alignment must be greater than 0");
    }
}

void Rechunker::deliver(Event&& event, const EventInfo& at) {
    if (auto* owned = std::get_if<Events::OwnedData>(&event)) {
        take(owned->data(), owned->size(), owned, at.time_ns);
    } else if (auto* view = std::get_if<Events::DataView>(&event)) {
        take(view->data, view->size, nullptr, at.time_ns);
    } else {
        if (std::holds_alternative<Events::Stop>(event) && filled_ > 0) {
            // The final, short block.
            emit(buffer_.data(), std::exchange(filled_, 0), &buffer_, pending_at_);
        }
        pass([&] { next_->deliver(std::move(event), {position_, at.time_ns}); });
    }
    if (failure_) {
        std::rethrow_exception(std::exchange(failure_, nullptr));
    }
}

void Rechunker::dropped(const Dropped& lost, const EventInfo& at) {
    if (lost.bytes == 0) {
        pass([&] { next_->dropped(lost, {position_, at.time_ns}); });  // no data lost: no gap
        if (failure_) {
            std::rethrow_exception(std::exchange(failure_, nullptr));
        }
        return;
    }
    // The hole runs from the start of the pending block to the next multiple of alignment_ after
    // the dropped bytes. While still skipping to the grid after an earlier gap, the part up to
    // that grid point was reported already (filled_ is 0 then).
    const EventInfo hole{position_ - filled_ + skip_, at.time_ns};
    const std::uint64_t behind = filled_ + lost.bytes;  // since the last reported grid point
    std::uint64_t newly_lost = 0;
    if (behind > skip_) {
        const std::uint64_t beyond = behind - skip_;
        newly_lost = (beyond + alignment_ - 1) / alignment_ * alignment_;
        skip_ = newly_lost - beyond;
    } else {
        skip_ -= behind;
    }
    filled_ = 0;
    position_ += lost.bytes;
    pass([&] { next_->dropped(Dropped{lost.events, newly_lost}, hole); });
    if (failure_) {
        std::rethrow_exception(std::exchange(failure_, nullptr));
    }
}

// Invariant on entry and exit: filled_ < alignment_ (and filled_ is 0 while skip_ > 0); the bytes
// emitted so far, plus those reported or being counted as lost, are the stream's bytes up to the
// last multiple of alignment_ reached.
void Rechunker::take(std::uint8_t* bytes, std::uint64_t size, Events::OwnedData* chunk,
                     std::int64_t time_ns) {
    std::uint64_t offset = position_;  // of bytes[0]
    position_ += size;
    if (skip_ > 0) {  // bytes of a block reported lost already
        const std::uint64_t skipped = std::min(skip_, size);
        skip_ -= skipped;
        bytes += skipped;
        size -= skipped;
        offset += skipped;
        if (size == 0) {
            return;
        }
    }
    std::uint64_t head = 0;  // leading bytes of the chunk that complete the pending block
    if (filled_ > 0) {
        if (size < alignment_ - filled_) {
            gather(bytes, size, {offset, time_ns});
            report_lost_block();
            return;
        }
        head = alignment_ - filled_;
        if (gather(bytes, head, {offset, time_ns})) {
            filled_ = 0;
            // Before the buffer is written again below.
            emit(buffer_.data(), alignment_, &buffer_, pending_at_);
        } else {
            report_lost_block();
        }
    }
    const std::uint64_t rest = size - head;
    const std::uint64_t tail = rest % alignment_;
    // The tail is gathered before the whole blocks are shown: a view of them that the consumer
    // keeps takes the chunk over, and may let it go before this call ends. A block lost for want
    // of memory is reported after them, in stream order.
    gather(bytes + (size - tail), tail, {offset + (size - tail), time_ns});
    if (rest > tail) {
        // Whole blocks, shown in place.
        emit(bytes + head, rest - tail, chunk, {offset + head, time_ns});
    }
    report_lost_block();
}

// Appends to the pending bytes (`at`: where the first of them sits), growing the buffer as needed.
// False when it could not grow: the block is then lost.
bool Rechunker::gather(const std::uint8_t* bytes, std::uint64_t size, const EventInfo& at) {
    if (size == 0) {
        return true;
    }
    if (filled_ == 0) {
        pending_at_ = at;
    }
    const std::uint64_t needed = filled_ + size;
    if (needed > buffer_.size()) {
        try {
            const std::uint64_t grown =
                std::max(needed, std::min(alignment_, std::max(2 * buffer_.size(), min_buffer)));
            auto larger = Events::OwnedData::allocate(grown);
            if (filled_ > 0) {
                std::memcpy(larger.data(), buffer_.data(), filled_);
            }
            buffer_ = std::move(larger);
        } catch (const std::bad_alloc&) {
            lose_block(size);
            return false;
        }
    }
    std::memcpy(buffer_.data() + filled_, bytes, size);
    filled_ = needed;
    return true;
}

// The block being gathered cannot be held: it is lost (its bytes so far, pending plus `incoming`,
// and the rest of it, skipped as it arrives), to be reported where it begins by the end of the
// chunk's handling.
void Rechunker::lose_block(std::uint64_t incoming) {
    skip_ = alignment_ - (filled_ + incoming);
    filled_ = 0;
    lost_block_ = true;
}

void Rechunker::report_lost_block() {
    if (!std::exchange(lost_block_, false)) {
        return;
    }
    pass([&] {
        next_->deliver(Event{Events::Error{"aligned stream: " + std::to_string(alignment_) +
                                           " bytes of data lost (no memory to gather a block of " +
                                           std::to_string(alignment_) + " bytes)"}},
                       pending_at_);
    });
}

// `memory` holds the viewed bytes (null: they cannot be kept), offered to the keeper meanwhile.
void Rechunker::emit(std::uint8_t* bytes, std::uint64_t size, Events::OwnedData* memory,
                     const EventInfo& at) {
    if (keeper_ && memory != nullptr) {
        keeper_->offer(*memory);
    }
    pass([&] { next_->deliver(Event{Events::DataView{bytes, size}}, at); });
    if (keeper_) {
        keeper_->withdraw();
    }
}

// Runs a call of `next`. The first exception of an event is kept, to be rethrown at its end;
// any later one is logged at once, so that every failure is heard of.
template <typename Call>
void Rechunker::pass(Call&& call) {
    try {
        call();
    } catch (...) {
        if (is_forced_unwind()) {
            throw;  // a thread being ended must unwind at once
        }
        if (!failure_) {
            failure_ = std::current_exception();
        } else {
            log_current_exception();
        }
    }
}

}  // namespace vorn::DataStream
