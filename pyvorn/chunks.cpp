// Buffer export of the chunk classes.
//
// The binding library's generic export allocates a description per request; a chunk is exported
// at least once per delivery, so both classes fill the Py_buffer directly instead (no allocation).
#include "pyvorn/chunks.hpp"

#include <limits>

namespace py = pybind11;

namespace pyvorn {

namespace {

// The registered Python types, set once by register_chunks.
PyTypeObject* g_managed_buffer_type = nullptr;
PyTypeObject* g_data_view_type = nullptr;

template <typename Chunk>
py::object make_chunk_object(PyTypeObject* type, Chunk&& chunk) {
    auto self = py::reinterpret_steal<py::object>(py::detail::make_new_instance(type));
    if (!self) {
        throw py::error_already_set();
    }
    auto* instance = reinterpret_cast<py::detail::instance*>(self.ptr());
    auto v_h = instance->get_value_and_holder();
    v_h.value_ptr() = new Chunk(std::move(chunk));
    instance->owned = true;
    new (std::addressof(v_h.holder<std::unique_ptr<Chunk>>()))
        std::unique_ptr<Chunk>(v_h.value_ptr<Chunk>());
    v_h.set_holder_constructed();
    return self;
}

template <typename Chunk>
Chunk& native(PyObject* self) {
    auto* instance = reinterpret_cast<py::detail::instance*>(self);
    return *static_cast<Chunk*>(instance->get_value_and_holder().value_ptr());
}

int export_bytes(PyObject* self, Py_buffer* view, int flags, std::uint8_t* data,
                 std::uint64_t size) {
    if (size > static_cast<std::uint64_t>(std::numeric_limits<Py_ssize_t>::max())) {
        view->obj = nullptr;
        PyErr_SetString(PyExc_BufferError, "chunk too large for a Python buffer");
        return -1;
    }
    // One dimension of `size` unsigned bytes, stride 1, writable; keeps `self` alive.
    return PyBuffer_FillInfo(view, self, data, static_cast<Py_ssize_t>(size), 0, flags);
}

int managed_buffer_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto& chunk = native<ManagedBuffer>(self);
    return export_bytes(self, view, flags, chunk.data(), chunk.size());
}

int data_view_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto& chunk = native<DataView>(self);
    if (!chunk.valid()) {
        view->obj = nullptr;
        PyErr_SetString(PyExc_BufferError,
                        "DataView is only valid during the callback that received it; copy the "
                        "bytes (for example bytes(view)) inside the callback to keep them");
        return -1;
    }
    return export_bytes(self, view, flags, chunk.data(), chunk.size());
}

template <typename Class>
void install_buffer(Class& cls, getbufferproc getbuffer) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    type->tp_as_buffer->bf_getbuffer = getbuffer;
    type->tp_as_buffer->bf_releasebuffer = nullptr;  // nothing to release per export
}

}  // namespace

void register_chunks(py::module_& m) {
    py::class_<ManagedBuffer> managed_buffer(m, "ManagedBuffer", py::buffer_protocol());
    install_buffer(managed_buffer, &managed_buffer_getbuffer);
    g_managed_buffer_type = reinterpret_cast<PyTypeObject*>(managed_buffer.ptr());
    py::class_<DataView> data_view(m, "DataView", py::buffer_protocol());
    install_buffer(data_view, &data_view_getbuffer);
    g_data_view_type = reinterpret_cast<PyTypeObject*>(data_view.ptr());
}

py::object new_chunk_object(ManagedBuffer&& chunk) {
    return make_chunk_object(g_managed_buffer_type, std::move(chunk));
}

py::object new_chunk_object(DataView&& chunk) {
    return make_chunk_object(g_data_view_type, std::move(chunk));
}

}  // namespace pyvorn
