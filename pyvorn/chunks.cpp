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

// A chunk object is a binding-library instance in its simple layout: one value pointer followed by
// the holder (a unique_ptr), both inline. Chunk objects are made and freed here directly, without
// the library's per-call type lookups; register_chunks checks that the layout applies.
template <typename Chunk>
py::object make_chunk_object(PyTypeObject* type, Chunk&& chunk) {
    auto self = py::reinterpret_steal<py::object>(type->tp_alloc(type, 0));  // zero-filled
    if (!self) {
        throw py::error_already_set();
    }
    auto* instance = reinterpret_cast<py::detail::instance*>(self.ptr());
    instance->simple_layout = true;
    auto* value = new Chunk(std::move(chunk));
    instance->simple_value_holder[0] = value;
    new (&instance->simple_value_holder[1]) std::unique_ptr<Chunk>(value);
    instance->simple_holder_constructed = true;
    instance->owned = true;
    return self;
}

// tp_dealloc of the chunk classes (and of Python subclasses, which reach it as their base's).
template <typename Chunk>
void chunk_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (PyType_HasFeature(type, Py_TPFLAGS_HAVE_GC)) {
        PyObject_GC_UnTrack(self);
    }
    auto* instance = reinterpret_cast<py::detail::instance*>(self);
    if (instance->simple_holder_constructed) {
        py::error_scope keep_pending_error;
        using Holder = std::unique_ptr<Chunk>;
        reinterpret_cast<Holder*>(&instance->simple_value_holder[1])->~Holder();
    }
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

// The chunk of a chunk object, or null for one made by __new__ (which holds none).
template <typename Chunk>
Chunk* native(PyObject* self) {
    auto* instance = reinterpret_cast<py::detail::instance*>(self);
    return static_cast<Chunk*>(instance->get_value_and_holder().value_ptr());
}

int refuse_export(Py_buffer* view, const char* message) {
    view->obj = nullptr;
    PyErr_SetString(PyExc_BufferError, message);
    return -1;
}

constexpr const char* no_chunk = "this object holds no chunk: only streams create chunk objects";

int export_bytes(PyObject* self, Py_buffer* view, int flags, std::uint8_t* data,
                 std::uint64_t size) {
    if (size > static_cast<std::uint64_t>(std::numeric_limits<Py_ssize_t>::max())) {
        return refuse_export(view, "chunk too large for a Python buffer");
    }
    // One dimension of `size` unsigned bytes, stride 1, writable; keeps `self` alive.
    return PyBuffer_FillInfo(view, self, data, static_cast<Py_ssize_t>(size), 0, flags);
}

int managed_buffer_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    const auto* chunk = native<ManagedBuffer>(self);
    if (chunk == nullptr) {
        return refuse_export(view, no_chunk);
    }
    return export_bytes(self, view, flags, chunk->data(), chunk->size());
}

int data_view_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    const auto* chunk = native<DataView>(self);
    if (chunk == nullptr) {
        return refuse_export(view, no_chunk);
    }
    if (!chunk->valid()) {
        return refuse_export(
            view,
            "DataView is only valid during the callback that received it; copy "
            "the bytes (for example bytes(view)) inside the callback to keep them");
    }
    return export_bytes(self, view, flags, chunk->data(), chunk->size());
}

template <typename Chunk>
PyTypeObject* install_chunk_type(py::class_<Chunk>& cls, getbufferproc getbuffer) {
    const auto* info = py::detail::get_type_info(typeid(Chunk));
    if (info == nullptr || !info->simple_type || info->holder_size_in_ptrs != 1 ||
        py::detail::instance_simple_holder_in_ptrs() < 1) {
        py::pybind11_fail("chunk classes need the binding library's simple instance layout");
    }
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    type->tp_as_buffer->bf_getbuffer = getbuffer;
    type->tp_as_buffer->bf_releasebuffer = nullptr;  // nothing to release per export
    type->tp_dealloc = &chunk_dealloc<Chunk>;
    return type;
}

}  // namespace

void register_chunks(py::module_& m) {
    py::class_<ManagedBuffer> managed_buffer(m, "ManagedBuffer", py::buffer_protocol());
    g_managed_buffer_type = install_chunk_type(managed_buffer, &managed_buffer_getbuffer);
    py::class_<DataView> data_view(m, "DataView", py::buffer_protocol());
    g_data_view_type = install_chunk_type(data_view, &data_view_getbuffer);
}

py::object new_chunk_object(ManagedBuffer&& chunk) {
    return make_chunk_object(g_managed_buffer_type, std::move(chunk));
}

py::object new_chunk_object(DataView&& chunk) {
    return make_chunk_object(g_data_view_type, std::move(chunk));
}

}  // namespace pyvorn
