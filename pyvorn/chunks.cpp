// Buffer export of the chunk classes.
//
// pybind11's generic export allocates a description per request; a chunk is exported at least once
// per delivery, so both classes fill the Py_buffer directly instead (no allocation).
#include "pyvorn/chunks.hpp"

#include <limits>

#include "pyvorn/binding_internals.hpp"
#include "pyvorn/process_state.hpp"

namespace py = pybind11;

namespace pyvorn {

namespace {

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
    const auto* chunk = internals::native<ManagedBuffer>(self);
    if (chunk == nullptr) {
        return refuse_export(view, no_chunk);
    }
    return export_bytes(self, view, flags, chunk->data(), chunk->size());
}

int data_view_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* chunk = internals::native<DataView>(self);
    if (chunk == nullptr) {
        return refuse_export(view, no_chunk);
    }
    if (!chunk->live()) {
        return refuse_export(
            view,
            "DataView is only valid during the callback that received it; copy "
            "the bytes (for example bytes(view)) inside the callback to keep them");
    }
    const int result = export_bytes(self, view, flags, chunk->data(), chunk->size());
    if (result == 0) {
        chunk->exported();
    }
    return result;
}

void data_view_releasebuffer(PyObject* self, Py_buffer* /*view*/) {
    if (auto* chunk = internals::native<DataView>(self)) {
        chunk->released();
    }
}

template <typename Chunk>
PyTypeObject* install_chunk_type(py::class_<Chunk>& cls, getbufferproc getbuffer,
                                 releasebufferproc releasebuffer) {
    internals::require_simple_layout(typeid(Chunk));
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    type->tp_as_buffer->bf_getbuffer = getbuffer;
    type->tp_as_buffer->bf_releasebuffer = releasebuffer;
    type->tp_dealloc = &internals::free_simple_instance<Chunk>;
    return type;
}

// Where the chunk sits and how long it is; readable also after a DataView's callback returned.
template <typename Chunk>
void define_place(py::class_<Chunk>& cls) {
    cls.def_property_readonly("offset", [](const Chunk& chunk) { return chunk.place().offset; })
        .def_property_readonly("time_ns", [](const Chunk& chunk) { return chunk.place().time_ns; })
        .def("__len__", [](const Chunk& chunk) { return chunk.size(); });
}

}  // namespace

void register_chunks(py::module_& m) {
    py::class_<ManagedBuffer> managed_buffer(m, "ManagedBuffer", py::buffer_protocol());
    // Nothing to release per export: the buffer keeps the object, and so the bytes, alive.
    chunk_types().managed_buffer =
        install_chunk_type(managed_buffer, &managed_buffer_getbuffer, nullptr);
    define_place(managed_buffer);
    py::class_<DataView> data_view(m, "DataView", py::buffer_protocol());
    chunk_types().data_view =
        install_chunk_type(data_view, &data_view_getbuffer, &data_view_releasebuffer);
    define_place(data_view);
}

py::object new_chunk_object(ManagedBuffer&& chunk) {
    return internals::new_simple_instance(chunk_types().managed_buffer, std::move(chunk));
}

py::object new_chunk_object(DataView&& chunk) {
    return internals::new_simple_instance(chunk_types().data_view, std::move(chunk));
}

void end_of_callback(PyObject* object, const ManagedBuffer* /*type*/) noexcept {
    if (Py_REFCNT(object) > 1) {
        if (auto* chunk = internals::native<ManagedBuffer>(object)) {
            chunk->keep_owner();
        }
    }
}

void end_of_callback(PyObject* object, const DataView* /*type*/) noexcept {
    // Only ours: no reference was kept and no export is alive, so nothing can look at it later.
    if (Py_REFCNT(object) > 1) {
        if (auto* chunk = internals::native<DataView>(object)) {
            chunk->expire();
        }
    }
}

}  // namespace pyvorn
