// Recycled chunk memory for one read stream.
//
// Design note. A chunk handed to the host as OwnedData carries a deleter, a plain function that
// gets only the chunk's pointer. Instead of freeing, the pool's deleter puts the chunk's block back
// into the pool it came from (found through a small header in front of the bytes), so a steady
// stream allocates nothing: the same few blocks go round between the producer and the host. This
// is the pattern of a driver with a ring of DMA buffers.
//
// Threads and lifetime: blocks come back on any thread (the host frees chunks on its delivery
// thread, on Python threads, or on the producer's thread when it drops an event); only the
// producer's thread takes blocks out. The pool counts one reference for the producer and one per
// chunk out with the host, and deletes itself, with every block it holds, when the last goes: so it
// outlives the stream for as long as the host keeps one of its chunks. It keeps as many blocks as
// were ever out at once (give or take one on its way back while the producer looked): it allocates
// only when no block is spare or returned.
//
// Speed: the producer and the consumer run on different cores, so a counter or list head that
// both write on every chunk would bounce between their caches. The producer therefore takes chunk
// references in batches, and looks at the returned blocks only when it has none to spare, taking
// back all of them at once; the two shared words sit on cache lines of their own.
//
// Header-only; part of vorn/support.hpp.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include "vorn/events.hpp"

namespace vorn::support {

class ChunkPool {
  public:
    // Drops the producer's reference: the deleter of ChunkPool::Handle.
    struct Release {
        void operator()(ChunkPool* pool) const noexcept { pool->unref(pool->credits_ + 1); }
    };
    // The producer's reference; the pool goes when it is released and its chunks are back.
    using Handle = std::unique_ptr<ChunkPool, Release>;

    // A new pool of chunks of `chunk_size` bytes.
    static Handle create(std::size_t chunk_size) { return Handle(new ChunkPool(chunk_size)); }

    ChunkPool(const ChunkPool&) = delete;
    ChunkPool& operator=(const ChunkPool&) = delete;

    // A chunk of chunk_size bytes (contents undefined) whose deleter returns it to this pool.
    // Producer thread only.
    vorn::DataStream::Events::OwnedData take() { return take(chunk_size_); }

    // The same, for a chunk of `size` bytes, at most chunk_size (a short last chunk, say).
    vorn::DataStream::Events::OwnedData take(std::size_t size) {
        // Out of spare blocks: take back everything returned so far in one go (only this thread
        // empties the list), and allocate only when nothing came back.
        if (spare_ == nullptr && returned_.load(std::memory_order_relaxed) != nullptr) {
            spare_ = returned_.exchange(nullptr, std::memory_order_acquire);
        }
        Block* block = spare_;
        if (block != nullptr) {
            spare_ = block->next;
        } else {
            void* memory = ::operator new(sizeof(Block) + chunk_size_);
            block = new (memory) Block{nullptr, this};
        }
        if (credits_ == 0) {
            refs_.fetch_add(reference_batch, std::memory_order_relaxed);
            credits_ = reference_batch;
        }
        --credits_;  // the chunk's reference
        return {block->bytes(), std::min(size, chunk_size_), &give_back};
    }

    std::size_t chunk_size() const noexcept { return chunk_size_; }

  private:
    struct alignas(std::max_align_t) Block {
        Block* next;
        ChunkPool* pool;
        std::uint8_t* bytes() { return reinterpret_cast<std::uint8_t*>(this + 1); }
    };

    explicit ChunkPool(std::size_t chunk_size) : chunk_size_(chunk_size) {}
    ~ChunkPool() {
        free_list(spare_);
        free_list(returned_.load(std::memory_order_acquire));
    }

    // The deleter of every chunk the pool hands out; callable from any thread.
    static void give_back(std::uint8_t* bytes) {
        Block* block = reinterpret_cast<Block*>(bytes) - 1;
        ChunkPool* pool = block->pool;
        block->next = pool->returned_.load(std::memory_order_relaxed);
        while (!pool->returned_.compare_exchange_weak(block->next, block, std::memory_order_release,
                                                      std::memory_order_relaxed)) {
        }
        pool->unref(1);
    }

    void unref(std::size_t count) {
        if (refs_.fetch_sub(count, std::memory_order_acq_rel) == count) {
            delete this;
        }
    }

    static void free_list(Block* block) {
        while (block != nullptr) {
            Block* next = block->next;
            block->~Block();
            ::operator delete(block);
            block = next;
        }
    }

    static constexpr std::size_t reference_batch = 256;

    const std::size_t chunk_size_;
    // Producer thread only:
    Block* spare_ = nullptr;   // returned blocks taken back, ready for use
    std::size_t credits_ = 0;  // references taken in advance for chunks still to hand out
    // Any thread:
    alignas(64) std::atomic<Block*> returned_{nullptr};  // pushed by give_back, emptied by take
    alignas(64) std::atomic<std::size_t> refs_{1};       // the producer's, chunks', credits
};

}  // namespace vorn::support
