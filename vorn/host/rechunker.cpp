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

Rechunker::Rechunker(EventCallback&& next, std::uint64_t alignment,
                     std::shared_ptr<ViewKeeper> keeper)
    : next_(std::move(next)), alignment_(alignment), keeper_(std::move(keeper)) {
    if (alignment == 0) {
        throw std::invalid_argument("alignment must be greater than 0");
    }
}

void Rechunker::deliver(Event&& event) {
    if (auto* owned = std::get_if<Events::OwnedData>(&event)) {
        take(owned->data(), owned->size(), owned);
    } else if (auto* view = std::get_if<Events::DataView>(&event)) {
        take(view->data, view->size, nullptr);
    } else {
        if (std::holds_alternative<Events::Stop>(event) && filled_ > 0) {
            emit(buffer_.data(), std::exchange(filled_, 0), &buffer_);  // the final, short block
        }
        pass(std::move(event));
    }
    if (failure_) {
        std::rethrow_exception(std::exchange(failure_, nullptr));
    }
}

void Rechunker::dropped(const Dropped& lost) {
    if (lost.bytes == 0) {
        pass(Event{Events::Error{overflow_message(lost)}});  // no data lost: no gap
        return;
    }
    // The hole runs from the start of the pending block to the next multiple of alignment_ after
    // the dropped bytes. While still skipping to the grid after an earlier gap, the part up to
    // that grid point was reported already.
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
    pass(Event{Events::Error{overflow_message(Dropped{lost.events, newly_lost})}});
}

// Invariant on entry and exit: filled_ < alignment_ (and filled_ is 0 while skip_ > 0); the bytes
// emitted so far, plus those reported or being counted as lost, are the stream's bytes up to the
// last multiple of alignment_ reached.
void Rechunker::take(std::uint8_t* bytes, std::uint64_t size, Events::OwnedData* chunk) {
    if (skip_ > 0) {  // bytes of a block reported lost already
        const std::uint64_t skipped = std::min(skip_, size);
        skip_ -= skipped;
        bytes += skipped;
        size -= skipped;
        if (size == 0) {
            return;
        }
    }
    std::uint64_t head = 0;  // leading bytes of the chunk that complete the pending block
    if (filled_ > 0) {
        if (size < alignment_ - filled_) {
            gather(bytes, size);
            return;
        }
        head = alignment_ - filled_;
        if (gather(bytes, head)) {
            filled_ = 0;
            emit(buffer_.data(), alignment_, &buffer_);  // before the buffer is written again below
        }
    }
    const std::uint64_t rest = size - head;
    const std::uint64_t tail = rest % alignment_;
    gather(bytes + (size - tail), tail);
    if (rest > tail) {
        emit(bytes + head, rest - tail, chunk);  // whole blocks, shown in place
    }
}

// Appends to the pending bytes, growing the buffer as needed. False when it could not grow: the
// block is then lost.
bool Rechunker::gather(const std::uint8_t* bytes, std::uint64_t size) {
    if (size == 0) {
        return true;
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
// and the rest of it, skipped as it arrives) and reported at once.
void Rechunker::lose_block(std::uint64_t incoming) {
    skip_ = alignment_ - (filled_ + incoming);
    filled_ = 0;
    pass(Event{Events::Error{"aligned stream: " + std::to_string(alignment_) +
                             " bytes of data lost (no memory to gather a block of " +
                             std::to_string(alignment_) + " bytes)"}});
}

// `memory` holds the viewed bytes (null: they cannot be kept), offered to the keeper meanwhile.
void Rechunker::emit(std::uint8_t* bytes, std::uint64_t size, Events::OwnedData* memory) {
    if (keeper_ && memory != nullptr) {
        keeper_->offer(*memory);
    }
    pass(Event{Events::DataView{bytes, size}});
    if (keeper_) {
        keeper_->withdraw();
    }
}

void Rechunker::pass(Event&& event) {
    try {
        next_(std::move(event));
    } catch (...) {
        if (is_forced_unwind()) {
            throw;  // a thread being ended must unwind at once
        }
        if (!failure_) {
            failure_ = std::current_exception();
        }
    }
}

}  // namespace vorn::DataStream
