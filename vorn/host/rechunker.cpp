// Re-chunking of a stream's data into aligned blocks (see rechunker.hpp).
#include "vorn/host/rechunker.hpp"

#include <cxxabi.h>

#include <cstring>
#include <stdexcept>
#include <utility>
#include <variant>

namespace vorn::DataStream {

Rechunker::Rechunker(EventCallback&& next, std::uint64_t alignment)
    : next_(std::move(next)), alignment_(alignment) {
    if (alignment == 0) {
        throw std::invalid_argument("alignment must be greater than 0");
    }
    buffer_ = std::make_unique<std::uint8_t[]>(alignment);  // zero-filled
}

void Rechunker::operator()(Event&& event) {
    if (auto* owned = std::get_if<Events::OwnedData>(&event)) {
        take(owned->data(), owned->size());
    } else if (auto* view = std::get_if<Events::DataView>(&event)) {
        take(view->data, view->size);
    } else {
        if (std::holds_alternative<Events::Stop>(event) && filled_ > 0) {
            emit(buffer_.get(), std::exchange(filled_, 0));  // the final, short block
        }
        pass(std::move(event));
    }
    if (failure_) {
        std::rethrow_exception(std::exchange(failure_, nullptr));
    }
}

// Invariant on entry and exit: filled_ < alignment_, and the bytes emitted so far are the stream's
// bytes up to the largest multiple of alignment_ that has arrived.
void Rechunker::take(std::uint8_t* bytes, std::uint64_t size) {
    std::uint64_t head = 0;  // leading bytes of the chunk that complete the pending block
    if (filled_ > 0) {
        if (size < alignment_ - filled_) {
            gather(bytes, size);
            return;
        }
        head = alignment_ - filled_;
        gather(bytes, head);
        filled_ = 0;
        emit(buffer_.get(), alignment_);  // before the buffer is overwritten below
    }
    const std::uint64_t rest = size - head;
    const std::uint64_t tail = rest % alignment_;
    gather(bytes + (size - tail), tail);
    if (rest > tail) {
        emit(bytes + head, rest - tail);  // whole blocks, shown in place
    }
}

void Rechunker::gather(const std::uint8_t* bytes, std::uint64_t size) {
    if (size > 0) {
        std::memcpy(buffer_.get() + filled_, bytes, size);
        filled_ += size;
    }
}

void Rechunker::emit(std::uint8_t* bytes, std::uint64_t size) {
    pass(Event{Events::DataView{bytes, size}});
}

void Rechunker::pass(Event&& event) {
    try {
        next_(std::move(event));
    } catch (const abi::__forced_unwind&) {
        throw;  // a thread being ended must unwind at once
    } catch (...) {
        if (!failure_) {
            failure_ = std::current_exception();
        }
    }
}

}  // namespace vorn::DataStream
