// Keeping the memory behind delivered views (see view_keeper.hpp).
#include "vorn/host/view_keeper.hpp"

#include <new>
#include <utility>

namespace vorn::DataStream {

namespace {

// Kept memory and what keeps its deleter's code loaded; the memory goes first.
struct Kept {
    Kept(std::shared_ptr<const void> code, Events::OwnedData&& bytes) noexcept
        : owner(std::move(code)), memory(std::move(bytes)) {}
    std::shared_ptr<const void> owner;
    Events::OwnedData memory;
};

}  // namespace

std::shared_ptr<const void> ViewKeeper::keep() noexcept {
    if (offered_ == nullptr) {
        return nullptr;
    }
    if (!kept_) {
        try {
            kept_ = std::make_shared<Kept>(owner_, std::move(*offered_));
        } catch (const std::bad_alloc&) {
            // Take the memory out of the producer's hands for good: whatever points into it stays
            // valid.
            alignas(Events::OwnedData) static thread_local unsigned char
                abandoned[sizeof(Events::OwnedData)];
            new (abandoned) Events::OwnedData(std::move(*offered_));
            return nullptr;
        }
    }
    return kept_;
}

}  // namespace vorn::DataStream
