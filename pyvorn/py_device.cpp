// The trampoline's overrides: look the operation up on the Python object, call it, convert back.
//
// Invariants
// - A write/read override never sees the caller's memory: its memoryview (exactly `length` bytes,
//   format "B", read-only for write, writable for read) shows a private bounce copy, and is
//   released when the override returns, so a reference it kept raises ValueError on use.
// - For read, the copy's bytes go back to the caller when the override returns, also when it
//   raised, as an in-place fill would have left them.
// Ownership
// - The bounce copy belongs to a Python object (bytes for write, a bytearray for read). Whatever
//   survives the call (a slice or cast of the memoryview, a numpy array over it) keeps that copy
//   alive and never touches the caller's memory, whose pointer is valid only for the call.
// Threads
// - Every override may be entered on any thread, also one the interpreter has never seen. It
//   takes the interpreter lock itself (nested acquisition is fine), holds it only while it looks
//   up, calls and converts, and releases it before running a native default or raising the
//   missing-operation error, so the operations a default calls take the lock on their own.
//
// The cost of the copy is paid on this path only; Device.write/read on native devices stay
// zero-copy.
#include "pyvorn/py_device.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>

#include <pybind11/stl.h>

namespace py = pybind11;

namespace pyvorn {

namespace {

// The data argument of a write/read override: a memoryview over a private copy of the caller's
// bytes. Created and destroyed with the interpreter lock held.
class OverrideData {
  public:
    // For write: a read-only view over a copy of the `length` bytes at `data`.
    static OverrideData for_write(const std::uint8_t* data, std::uint64_t length) {
        const Py_ssize_t size = checked_size(data, length);
        return OverrideData(py::reinterpret_steal<py::object>(PyBytes_FromStringAndSize(
                                reinterpret_cast<const char*>(data), size)),
                            nullptr, 0);
    }

    // For read: a writable view over a copy of the `length` bytes at `data`; the destructor copies
    // the bytes back to `data`.
    static OverrideData for_read(std::uint8_t* data, std::uint64_t length) {
        const Py_ssize_t size = checked_size(data, length);
        return OverrideData(py::reinterpret_steal<py::object>(PyByteArray_FromStringAndSize(
                                reinterpret_cast<const char*>(data), size)),
                            data, size);
    }

    OverrideData(const OverrideData&) = delete;
    OverrideData& operator=(const OverrideData&) = delete;

    // Copies a read's bytes back to the caller, then releases the memoryview. When exports of it
    // survive, release fails and is left at that: the copy lives on with them, and the caller's
    // memory is not referenced by anything.
    ~OverrideData() {
        PyObject* pending = PyErr_GetRaisedException();
        if (copy_back_ != nullptr) {
            // The override may have released the view itself and then resized the bytearray
            // (reached through memoryview.obj); copy back only what is there.
            const Py_ssize_t available = std::min(PyByteArray_GET_SIZE(copy_.ptr()), length_);
            if (available > 0) {
                std::memcpy(copy_back_, PyByteArray_AS_STRING(copy_.ptr()),
                            static_cast<std::size_t>(available));
            }
        }
        PyObject* result = PyObject_CallMethod(view_.ptr(), "release", nullptr);
        if (result == nullptr) {
            PyErr_Clear();  // BufferError: exports survive the call
        }
        Py_XDECREF(result);
        PyErr_SetRaisedException(pending);
    }

    const py::object& view() const { return view_; }

  private:
    OverrideData(py::object copy, std::uint8_t* copy_back, Py_ssize_t length)
        : copy_(std::move(copy)), copy_back_(copy_back), length_(length) {
        if (!copy_) {
            throw py::error_already_set();
        }
        view_ = py::reinterpret_steal<py::object>(PyMemoryView_FromObject(copy_.ptr()));
        if (!view_) {
            throw py::error_already_set();
        }
    }

    static Py_ssize_t checked_size(const std::uint8_t* data, std::uint64_t length) {
        if (length > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
            throw std::length_error("block transfer length exceeds a Python buffer's size");
        }
        if (data == nullptr && length > 0) {
            throw std::invalid_argument("block transfer of nonzero length without data");
        }
        return static_cast<Py_ssize_t>(length);
    }

    py::object copy_;                    // bytes (write) or bytearray (read): the bounce copy
    py::object view_;                    // the memoryview handed to the override
    std::uint8_t* copy_back_ = nullptr;  // read: the caller's memory
    Py_ssize_t length_ = 0;
};

// Converts an override's result to the operation's result type, as the binding library converts
// arguments (implicit conversions allowed). The library would take None for a ReturnCode as a null
// reference and report it as incompatible arguments of the Python method that was called; an
// override that forgot its `return` gets the plain cast failure, like every other wrong result.
template <typename Result>
Result convert_result(py::object result) {
    if constexpr (std::is_enum_v<Result>) {
        if (result.is_none()) {
            throw py::cast_error("Unable to cast Python instance of type " +
                                 py::str(py::type::handle_of(result)).cast<std::string>() +
                                 " to C++ type '?' (#define PYBIND11_DETAILED_ERROR_MESSAGES or "
                                 "compile in debug mode for details)");
        }
    }
    return std::move(result).cast<Result>();
}

// Steps of every overriding operation: take the lock, look up the override and, when there is
// one, run `call` with it and convert what it returns. Nothing when the class does not override
// the operation; the lock is released on return in both cases.
template <typename Result, typename Call>
std::optional<Result> with_override(const Device* self, const char* name, Call&& call) {
    py::gil_scoped_acquire gil;
    const py::function override = py::get_override(self, name);
    if (!override) {
        return std::nullopt;
    }
    return convert_result<Result>(call(override));
}

// The override `name` called with `args` as Python objects.
template <typename Result, typename... Args>
std::optional<Result> call_override(const Device* self, const char* name, const Args&... args) {
    return with_override<Result>(self, name,
                                 [&](const py::function& override) { return override(args...); });
}

[[noreturn]] void missing_operation(const char* name) {
    py::pybind11_fail(std::string("Tried to call pure virtual function \"Device::") + name + "\"");
}

}  // namespace

PyDevice::Status PyDevice::set_register_sync(unsigned int addr, unsigned int value,
                                             unsigned int aux) {
    if (const auto status = call_override<Status>(this, "set_register_sync", addr, value, aux)) {
        return *status;
    }
    return Device::set_register_sync(addr, value, aux);
}

PyDevice::Status PyDevice::set_register(unsigned int addr, unsigned int value, unsigned int aux) {
    if (const auto status = call_override<Status>(this, "set_register", addr, value, aux)) {
        return *status;
    }
    missing_operation("set_register");
}

PyDevice::Status PyDevice::send_registers() {
    if (const auto status = call_override<Status>(this, "send_registers")) {
        return *status;
    }
    missing_operation("send_registers");
}

std::optional<unsigned int> PyDevice::get_register_sync(unsigned int addr) {
    if (const auto value =
            call_override<std::optional<unsigned int>>(this, "get_register_sync", addr)) {
        return *value;
    }
    return Device::get_register_sync(addr);
}

unsigned int PyDevice::get_register(unsigned int addr) {
    if (const auto value = call_override<unsigned int>(this, "get_register", addr)) {
        return *value;
    }
    missing_operation("get_register");
}

PyDevice::Status PyDevice::read_registers() {
    if (const auto status = call_override<Status>(this, "read_registers")) {
        return *status;
    }
    missing_operation("read_registers");
}

PyDevice::Status PyDevice::trigger(unsigned int addr, std::int32_t selector) {
    if (const auto status = call_override<Status>(this, "trigger", addr, selector)) {
        return *status;
    }
    missing_operation("trigger");
}

std::uint64_t PyDevice::write(unsigned int addr, std::uint64_t length, const std::uint8_t* data) {
    if (const auto count =
            with_override<std::uint64_t>(this, "write", [&](const py::function& override) {
                const OverrideData view = OverrideData::for_write(data, length);
                return override(addr, length, view.view());
            })) {
        return *count;
    }
    missing_operation("write");
}

std::uint64_t PyDevice::read(unsigned int addr, std::uint64_t length, std::uint8_t* data) {
    if (const auto count =
            with_override<std::uint64_t>(this, "read", [&](const py::function& override) {
                const OverrideData view = OverrideData::for_read(data, length);
                return override(addr, length, view.view());
            })) {
        return *count;
    }
    missing_operation("read");
}

std::optional<std::string> PyDevice::get_status() {
    if (auto text = call_override<std::optional<std::string>>(this, "get_status")) {
        return std::move(*text);
    }
    return Device::get_status();
}

std::optional<std::string> PyDevice::get_info() {
    if (auto text = call_override<std::optional<std::string>>(this, "get_info")) {
        return std::move(*text);
    }
    return Device::get_info();
}

}  // namespace pyvorn
