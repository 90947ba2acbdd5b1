// Buffer checks and the zero-copy hand-over of Device.write and Device.read.
//
// The caller's buffer view is requested without asking for writability (PyBUF_STRIDES |
// PyBUF_FORMAT), checked, and its memory handed to the device as it is. The view is owned by an
// RAII guard, so it is released on every path: check failure, device exception or success. The
// interpreter lock stays held throughout, so no other Python thread can touch the memory while
// the device works on it, and the exporter refuses to resize while the view is out.
#include "pyvorn/block_transfer.hpp"

#include <cstring>
#include <stdexcept>

#include "pyvorn/closed_device.hpp"

namespace py = pybind11;

namespace pyvorn {

namespace {

// Owns one buffer view of a Python object for the lifetime of the guard. Caller holds the lock.
class BufferView {
  public:
    explicit BufferView(const py::buffer& data) {
        if (PyObject_GetBuffer(data.ptr(), &view_, PyBUF_STRIDES | PyBUF_FORMAT) != 0) {
            throw py::error_already_set();  // the exporter's own exception, unchanged
        }
    }
    ~BufferView() { PyBuffer_Release(&view_); }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    // Checks the view in the fixed order and returns its length in bytes. `writable` adds the
    // read-only check in front of the others.
    std::uint64_t checked_length(bool writable) const {
        if (writable && view_.readonly) {
            throw std::runtime_error("buffer is readonly");
        }
        if (view_.ndim != 1) {
            throw std::runtime_error("ndim != 1");
        }
        // A null format means unsigned bytes, by the rules of the buffer protocol.
        if (view_.format != nullptr && std::strcmp(view_.format, "B") != 0) {
            throw std::runtime_error("Unsupported buffer format!");
        }
        // Null strides mean C-contiguous, i.e. the item size (1 for "B").
        const Py_ssize_t stride = view_.strides != nullptr ? view_.strides[0] : view_.itemsize;
        if (stride != 1) {
            throw std::runtime_error("strides[0] != 1");
        }
        const Py_ssize_t length = view_.shape != nullptr ? view_.shape[0] : view_.len;
        return static_cast<std::uint64_t>(length);
    }

    std::uint8_t* data() const { return static_cast<std::uint8_t*>(view_.buf); }

  private:
    Py_buffer view_{};
};

}  // namespace

std::uint64_t write_from_buffer(vorn::Device& device, unsigned int addr, const py::buffer& data) {
    throw_if_closed(device);
    const BufferView view(data);
    const std::uint64_t length = view.checked_length(false);
    return device.write(addr, length, view.data());
}

std::uint64_t read_into_buffer(vorn::Device& device, unsigned int addr, const py::buffer& data) {
    throw_if_closed(device);
    const BufferView view(data);
    const std::uint64_t length = view.checked_length(true);
    return device.read(addr, length, view.data());
}

}  // namespace pyvorn
