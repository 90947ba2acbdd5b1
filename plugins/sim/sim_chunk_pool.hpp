// Recycled chunk memory for one acquisition.
//
// Design note. A chunk handed to the host as OwnedData carries a deleter, a plain function that
// gets only the chunk's pointer. Instead of freeing, the pool's deleter puts the chunk's block back
// into the pool it came from (found through a small header in front of the bytes), so a steady
// stream allocates nothing: the same few blocks go round between the acquisition and the host.
// This is the pattern of a driver with a ring of DMA buffers.
//
// Threads and lifetime: blocks come back on any thread (the host frees chunks on its delivery
// thread, on Python threads, or on the producer's thread when it drops an event); only the
// acquisition's thread takes blocks out. The pool counts one reference for the acquisition and
// one per chunk out with the host, and deletes itself, with every block it holds, when the last
// goes: so it outlives the acquisition for as long as the host keeps one of its chunks. It keeps
// as many blocks as were ever out at once (give or take one on its way back while the acquisition
// looked): it allocates only when no block is spare or returned.
//
// Speed: the producer and the consumer run on different cores, so a counter or list head that
// both write on every chunk would bounce between their caches. The acquisition therefore takes
// chunk references in batches, and looks at the returned blocks only when it has none to spare,
// taking back all of them at once; the two shared words sit on cache lines of their own.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include <vorn/vorn.hpp>

namespace sim {

class ChunkPool {
  public:
    // A new pool of chunks of `chunk_size` bytes, holding the acquisition's reference.
    static ChunkPool* create(std::size_t chunk_size) { return new ChunkPool(chunk_size); }

    ChunkPool(const ChunkPool&) = delete;
    ChunkPool& operator=(const ChunkPool&) = delete;

    // A chunk of chunk_size bytes (contents undefined) whose deleter returns it to this pool.
    // Acquisition thread only.
    vorn::DataStream::Events::OwnedData take();

    // Drops the acquisition's reference; the pool goes when its chunks are back.
    void release() { unref(credits_ + 1); }

  private:
    struct alignas(std::max_align_t) Block {
        Block* next;
        ChunkPool* pool;
        std::uint8_t* bytes() { return reinterpret_cast<std::uint8_t*>(this + 1); }
    };

    explicit ChunkPool(std::size_t chunk_size) : chunk_size_(chunk_size) {}
    ~ChunkPool();

    // The deleter of every chunk the pool hands out; callable from any thread.
    static void give_back(std::uint8_t* bytes);
    void unref(std::size_t count);
    static void free_list(Block* block);

    static constexpr std::size_t reference_batch = 256;

    const std::size_t chunk_size_;
    // Acquisition thread only:
    Block* spare_ = nullptr;   // returned blocks taken back, ready for use
    std::size_t credits_ = 0;  // references taken in advance for chunks still to hand out
    // Any thread:
    alignas(64) std::atomic<Block*> returned_{nullptr};  // pushed by give_back, emptied by take
    alignas(64) std::atomic<std::size_t> refs_{1};       // the acquisition's, chunks', credits
};

}  // namespace sim
