// The live tap's hand-over of the newest chunk (see tap_slot.hpp).
#include "vorn/host/tap_slot.hpp"

#include <new>

namespace vorn::DataStream {

void TapSlot::offer(const std::uint8_t* bytes, std::uint64_t size, const EventInfo& at) noexcept {
    if (last_taken_ns_ && at.time_ns - *last_taken_ns_ < interval_ns_) {
        return;
    }
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock() || closed_) {
        return;  // the reader is busy: this one is skipped
    }
    try {
        buffer_.assign(bytes, bytes + size);
    } catch (const std::bad_alloc&) {
        return;  // a tap never costs the recording anything: skipped too
    }
    at_ = at;
    unread_ = true;
    last_taken_ns_ = at.time_ns;
    lock.unlock();
    fresh_.notify_all();
}

std::optional<TapSlot::Tapped> TapSlot::take(std::chrono::nanoseconds timeout) {
    std::unique_lock lock(mutex_);
    const auto ready = [&] { return unread_ || closed_; };
    if (timeout < std::chrono::nanoseconds::zero()) {
        fresh_.wait(lock, ready);
    } else {
        fresh_.wait_for(lock, timeout, ready);
    }
    if (!unread_) {
        return std::nullopt;
    }
    unread_ = false;
    // Copied while the producer skips; the slot's buffer stays for the next chunk.
    return Tapped{buffer_, at_};
}

void TapSlot::close() noexcept {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    fresh_.notify_all();
}

bool TapSlot::closed() const noexcept {
    std::lock_guard lock(mutex_);
    return closed_;
}

}  // namespace vorn::DataStream
