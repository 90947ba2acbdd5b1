// ManagedBuffer and DataView: the Python objects of delivered stream chunks.
//
// Both export a writable, one-dimensional buffer of unsigned bytes (format "B"). A ManagedBuffer
// owns its chunk: the bytes live until the object and every buffer exported from it are gone, and
// it keeps the plugin that made them loaded, since the chunk's deleter is the plugin's code.
// A DataView only looks at bytes owned by the stream; they are valid only while the callback that
// received the view runs. Once that callback has returned, the view refuses new buffer requests
// with BufferError instead of exposing bytes that were reused or freed.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include <pybind11/pybind11.h>

#include "vorn/events.hpp"

namespace pyvorn {

// Chunk objects on the heap live inside Python objects: they are created and destroyed only with
// the interpreter lock held, so they use the interpreter's small-object allocator, which is much
// faster than the general one for the one allocation per delivered chunk.
struct PythonAllocated {
    static void* operator new(std::size_t size) {
        if (void* memory = PyObject_Malloc(size)) {
            return memory;
        }
        throw std::bad_alloc();
    }
    static void operator delete(void* memory) noexcept { PyObject_Free(memory); }
};

class ManagedBuffer : public PythonAllocated {
  public:
    ManagedBuffer(vorn::DataStream::Events::OwnedData data, std::shared_ptr<const void> owner)
        : owner_(std::move(owner)), data_(std::move(data)) {}

    std::uint8_t* data() const noexcept { return data_.data(); }
    std::uint64_t size() const noexcept { return data_.size(); }

  private:
    // Declared first so it is released last: the chunk's deleter runs while its code is loaded.
    std::shared_ptr<const void> owner_;
    vorn::DataStream::Events::OwnedData data_;
};

// Counts the deliveries of one stream; a DataView is valid only during the delivery it was made
// for. Advanced by the delivery thread, read by Python threads holding the interpreter lock.
class DeliveryClock {
  public:
    std::uint64_t now() const noexcept { return tick_.load(std::memory_order_acquire); }
    void advance() noexcept { tick_.fetch_add(1, std::memory_order_acq_rel); }

  private:
    std::atomic<std::uint64_t> tick_{0};
};

class DataView : public PythonAllocated {
  public:
    DataView(std::uint8_t* data, std::uint64_t size, std::shared_ptr<const DeliveryClock> clock)
        : data_(data), size_(size), clock_(std::move(clock)), tick_(clock_ ? clock_->now() : 0) {}

    std::uint8_t* data() const noexcept { return data_; }
    std::uint64_t size() const noexcept { return size_; }
    // True while the callback that received this view runs.
    bool valid() const noexcept { return !clock_ || clock_->now() == tick_; }

  private:
    std::uint8_t* data_;
    std::uint64_t size_;
    std::shared_ptr<const DeliveryClock> clock_;
    std::uint64_t tick_;
};

// Registers ManagedBuffer and DataView, in that order, with their buffer export.
void register_chunks(pybind11::module_& m);

// A new Python ManagedBuffer or DataView holding `chunk` (a new reference). Requires the
// interpreter lock. Faster than the binding library's general conversion: chunk objects are never
// looked up by their native address, so they are not entered in its registry of instances.
pybind11::object new_chunk_object(ManagedBuffer&& chunk);
pybind11::object new_chunk_object(DataView&& chunk);

}  // namespace pyvorn
