// ManagedBuffer and DataView: the Python objects of delivered stream chunks.
#pragma once

#include <cstdint>

#include <pybind11/pybind11.h>

#include "vorn/events.hpp"

namespace pyvorn {

// Owns one chunk of stream data; its destruction frees the bytes through the chunk's deleter.
class ManagedBuffer {
public:
    explicit ManagedBuffer(vorn::DataStream::Events::OwnedData data) : data_(std::move(data)) {}

    std::uint8_t* data() const noexcept { return data_.data(); }
    std::uint64_t size() const noexcept { return data_.size(); }

private:
    vorn::DataStream::Events::OwnedData data_;
};

// Views one chunk of stream data it does not own; valid only during the callback that got it.
class DataView {
public:
    DataView(std::uint8_t* data, std::uint64_t size) noexcept : data_(data), size_(size) {}

    std::uint8_t* data() const noexcept { return data_; }
    std::uint64_t size() const noexcept { return size_; }

private:
    std::uint8_t* data_;
    std::uint64_t size_;
};

// Registers ManagedBuffer and DataView, in that order, with their buffer export.
void register_chunks(pybind11::module_& m);

}  // namespace pyvorn
