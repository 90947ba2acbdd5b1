// Keeping the bytes of a delivered view valid after the call that delivered them.
//
// Design note. A view (DataView event) is valid only during the call that hands it over: its bytes
// lie in a chunk that is freed after the call, or in a buffer that the next event overwrites. A
// consumer that finds, at the end of that call, that something still points into those bytes (in
// Python: a buffer export that outlives the callback) asks the keeper to keep them. The keeper then
// takes over the memory the view lies in: the chunk, or the producer's buffer, moves out of the
// producer's hands into a shared owner that frees it when the last holder lets go, and the
// producer goes on with fresh memory. Nothing is copied and nothing is allocated unless a view is
// kept, which is the rare case.
//
// Thread rules: one keeper per stream; offer(), withdraw() and keep() are called on the delivery
// thread only, keep() only while a view is being delivered. The object keep() returns may be
// released on any thread.
#pragma once

#include <memory>

#include "vorn/events.hpp"

namespace vorn::DataStream {

class ViewKeeper {
  public:
    // `owner` keeps the code of the chunks' deleters loaded while a kept chunk lives.
    explicit ViewKeeper(std::shared_ptr<const void> owner = {}) : owner_(std::move(owner)) {}
    ViewKeeper(const ViewKeeper&) = delete;
    ViewKeeper& operator=(const ViewKeeper&) = delete;

    // Producer side: the views handed over until withdraw() lie in `memory`, which the producer
    // frees or reuses after that unless it was kept; then `memory` is left empty.
    void offer(Events::OwnedData& memory) noexcept {
        offered_ = &memory;
        kept_.reset();
    }
    void withdraw() noexcept {
        offered_ = nullptr;
        kept_.reset();
    }

    // Consumer side, while a view is being delivered: keeps the memory it lies in, unchanged, for
    // as long as the result lives. Null when nothing is offered. If no memory can be had for the
    // shared owner, the memory is never freed (a leak is safe, reuse would not be).
    std::shared_ptr<const void> keep() noexcept;

  private:
    std::shared_ptr<const void> owner_;
    Events::OwnedData* offered_ = nullptr;
    std::shared_ptr<const void> kept_;  // the offered memory once kept; shared by its views
};

}  // namespace vorn::DataStream
