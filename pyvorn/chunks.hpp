// ManagedBuffer and DataView: the Python objects of delivered stream chunks.
//
// Both export a writable, one-dimensional buffer of unsigned bytes (format "B"). A ManagedBuffer
// owns its chunk: the bytes live until the object and every buffer exported from it are gone, and
// it keeps the plugin that made them loaded, since the chunk's deleter is the plugin's code.
// A DataView looks at bytes owned by the stream, valid only while the callback that received it
// runs. It counts the buffers exported from it; when the callback returns, it refuses new exports
// (BufferError), and if exports are still alive it keeps the memory they point into (through the
// stream's ViewKeeper) for as long as any of them lives, so that no byte they show is ever reused,
// overwritten or freed under them. In the usual case, no export outliving the callback, nothing is
// kept, copied or allocated.
//
// Thread rules: everything here runs with the interpreter lock held; the export count, the state
// of a view and what it keeps change only under it.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>

#include <pybind11/pybind11.h>

#include "vorn/events.hpp"
#include "vorn/host/view_keeper.hpp"

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

// Where a chunk sits in its stream: the stream position of its first byte (every byte the device
// pushed counts, dropped ones too) and the push time, on the clock of time.monotonic_ns().
struct ChunkPlace {
    std::uint64_t offset = 0;
    std::int64_t time_ns = 0;
};

class ManagedBuffer : public PythonAllocated {
  public:
    // `stream_owner` keeps the plugin loaded during the delivery; a chunk that outlives the
    // callback takes its own copy of it (keep_owner()), so that the usual chunk, freed as soon as
    // the callback returns, costs no reference count.
    ManagedBuffer(vorn::DataStream::Events::OwnedData data,
                  const std::shared_ptr<const void>* stream_owner, ChunkPlace place) noexcept
        : stream_owner_(stream_owner), data_(std::move(data)), place_(place) {}

    std::uint8_t* data() const noexcept { return data_.data(); }
    std::uint64_t size() const noexcept { return data_.size(); }
    const ChunkPlace& place() const noexcept { return place_; }

    // At the end of the callback, when the chunk lives on: it keeps the plugin loaded itself.
    void keep_owner() noexcept {
        if (stream_owner_ != nullptr) {
            owner_ = *stream_owner_;
            stream_owner_ = nullptr;
        }
    }

  private:
    // Declared first so it is released last: the chunk's deleter runs while its code is loaded.
    std::shared_ptr<const void> owner_;
    const std::shared_ptr<const void>* stream_owner_;  // valid during the delivery
    vorn::DataStream::Events::OwnedData data_;
    ChunkPlace place_;
};

class DataView : public PythonAllocated {
  public:
    // `keeper` (may be null: then the bytes cannot be kept) is valid during the delivery.
    DataView(std::uint8_t* data, std::uint64_t size, vorn::DataStream::ViewKeeper* keeper,
             ChunkPlace place) noexcept
        : data_(data), size_(size), keeper_(keeper), place_(place) {}

    std::uint8_t* data() const noexcept { return data_; }
    std::uint64_t size() const noexcept { return size_; }
    const ChunkPlace& place() const noexcept { return place_; }
    // True while the callback that received this view runs.
    bool live() const noexcept { return live_; }

    void exported() noexcept { ++exports_; }
    // An export was released; once the view has expired, the last one lets go of kept bytes.
    void released() noexcept {
        if (--exports_ == 0 && !live_) {
            kept_.reset();
        }
    }
    // The callback is over: no new exports; live ones keep the bytes they point into.
    void expire() noexcept {
        live_ = false;
        if (exports_ > 0 && keeper_ != nullptr) {
            kept_ = keeper_->keep();
        }
        keeper_ = nullptr;
    }

  private:
    std::uint8_t* data_;
    std::uint64_t size_;
    vorn::DataStream::ViewKeeper* keeper_;
    std::shared_ptr<const void> kept_;
    ChunkPlace place_;
    Py_ssize_t exports_ = 0;
    bool live_ = true;
};

// Registers ManagedBuffer and DataView, in that order, with their buffer export, `offset`,
// `time_ns` and len().
void register_chunks(pybind11::module_& m);

// A new Python ManagedBuffer or DataView holding `chunk` (a new reference). Requires the
// interpreter lock.
pybind11::object new_chunk_object(ManagedBuffer&& chunk);
pybind11::object new_chunk_object(DataView&& chunk);

// After the callback that received `object` returned (the lock held): a ManagedBuffer that lives
// on keeps its plugin loaded; a DataView expires.
void end_of_callback(PyObject* object, const ManagedBuffer* type) noexcept;
void end_of_callback(PyObject* object, const DataView* type) noexcept;

}  // namespace pyvorn
