// Recycled chunk memory for one acquisition (see sim_chunk_pool.hpp).
#include "sim_chunk_pool.hpp"

#include <new>

namespace sim {

vorn::DataStream::Events::OwnedData ChunkPool::take() {
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
    return {block->bytes(), chunk_size_, &give_back};
}

void ChunkPool::give_back(std::uint8_t* bytes) {
    Block* block = reinterpret_cast<Block*>(bytes) - 1;
    ChunkPool* pool = block->pool;
    block->next = pool->returned_.load(std::memory_order_relaxed);
    while (!pool->returned_.compare_exchange_weak(block->next, block, std::memory_order_release,
                                                  std::memory_order_relaxed)) {
    }
    pool->unref(1);
}

void ChunkPool::unref(std::size_t count) {
    if (refs_.fetch_sub(count, std::memory_order_acq_rel) == count) {
        delete this;
    }
}

void ChunkPool::free_list(Block* block) {
    while (block != nullptr) {
        Block* next = block->next;
        block->~Block();
        ::operator delete(block);
        block = next;
    }
}

ChunkPool::~ChunkPool() {
    free_list(spare_);
    free_list(returned_.load(std::memory_order_acquire));
}

}  // namespace sim
