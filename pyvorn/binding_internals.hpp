// Everything in the module that reaches past pybind11's public API into its internals: the
// instance layout, the per-type hooks in its type records, and its registry of instances.
//
// Design note. pybind11 gives no public way to make objects faster than its general casts, to
// destroy a device without the interpreter lock, to refuse objects made by __new__, to find the
// holder of a registered instance, or to replace a closed device's native object; these helpers do
// it by relying on details of one pybind11 release series, checked below, so that an upgrade fails
// the build here instead of corrupting memory somewhere else. When the check fails, compare every
// function in this file with the new version's detail/class.h, detail/common.h,
// detail/type_caster_base.h and pybind11.h (instance, value_and_holder, type_info, clear_instance,
// pybind11_object_dealloc) before extending it.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include <pybind11/pybind11.h>

#if !(PYBIND11_VERSION_MAJOR == 2 && PYBIND11_VERSION_MINOR == 13)
#error "pyvorn/binding_internals.hpp relies on pybind11 2.13 internals: review it for this version"
#endif

#include "pyvorn/interpreter.hpp"

namespace pyvorn::internals {

namespace detail = pybind11::detail;

// ---- Objects in the simple instance layout
// -------------------------------------------------------- An instance of a class bound with a
// std::unique_ptr holder and a single base holds, inline, one value pointer followed by the holder.
// The chunk classes are made and freed that way directly, without the instance registry and the
// per-call type lookups of pybind11's casts.

// Checks, when the class is registered, that its instances use that layout.
inline void require_simple_layout(const std::type_info& native) {
    const auto* info = detail::get_type_info(native);
    if (info == nullptr || !info->simple_type || info->holder_size_in_ptrs != 1 ||
        detail::instance_simple_holder_in_ptrs() < 1) {
        pybind11::pybind11_fail(std::string("class needs pybind11's simple instance layout: ") +
                                native.name());
    }
}

// A new instance of `type` (a bound class holding T by std::unique_ptr) owning `value`. Requires
// the interpreter lock.
template <typename T>
pybind11::object new_simple_instance(PyTypeObject* type, T&& value) {
    auto self = pybind11::reinterpret_steal<pybind11::object>(type->tp_alloc(type, 0));
    if (!self) {
        throw pybind11::error_already_set();
    }
    auto* instance = reinterpret_cast<detail::instance*>(self.ptr());  // zero-filled
    instance->simple_layout = true;
    auto* native = new T(std::move(value));
    instance->simple_value_holder[0] = native;
    new (&instance->simple_value_holder[1]) std::unique_ptr<T>(native);
    instance->simple_holder_constructed = true;
    instance->owned = true;
    return self;
}

// tp_dealloc of such a class (and of its Python subclasses): the object's weak references die
// first, then its value, then the object.
template <typename T>
void free_simple_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (PyType_HasFeature(type, Py_TPFLAGS_HAVE_GC)) {
        PyObject_GC_UnTrack(self);
    }
    auto* instance = reinterpret_cast<detail::instance*>(self);
    if (instance->weakrefs != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    if (instance->simple_holder_constructed) {
        // The value's destruction runs no Python code, so a pending error stays as it is.
        using Holder = std::unique_ptr<T>;
        reinterpret_cast<Holder*>(&instance->simple_value_holder[1])->~Holder();
        instance->simple_holder_constructed = false;
        instance->simple_value_holder[0] = nullptr;
    }
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

// The native object of an instance of a bound class, or null when it has none (made by __new__,
// or not yet constructed).
template <typename T>
T* native(PyObject* self) {
    auto* instance = reinterpret_cast<detail::instance*>(self);
    auto v_h = instance->get_value_and_holder(nullptr, false);
    if (!v_h || !v_h.holder_constructed()) {
        return nullptr;
    }
    return static_cast<T*>(v_h.value_ptr());
}

// ---- Hooks in the type records
// -------------------------------------------------------------------

// Makes the bound class of `Native` (held by `Holder`) destroy its native object, and everything
// the holder releases with it, with the interpreter lock released: destroying a device or a stream
// may wait for threads of the device. The lock is taken back in ordinary control flow. `Forget`
// (when given) hears of the native object first, with the lock held.
// (Forget's presence is told by its type: GCC's undefined-behaviour sanitizer refuses a comparison
// of a function pointer with null as a constant expression.)
template <typename Holder, typename Native, auto Forget = nullptr>
void destroy_without_lock() {
    detail::get_type_info(typeid(Native))->dealloc = [](detail::value_and_holder& v_h) {
        if (!v_h.holder_constructed()) {
            detail::call_operator_delete(v_h.value_ptr<Native>(), v_h.type->type_size,
                                         v_h.type->type_align);
            v_h.value_ptr() = nullptr;
            return;
        }
        if constexpr (!std::is_same_v<decltype(Forget), std::nullptr_t>) {
            Forget(v_h.value_ptr());
        }
        Holder doomed(std::move(v_h.holder<Holder>()));
        v_h.holder<Holder>().~Holder();
        v_h.set_holder_constructed(false);
        v_h.value_ptr() = nullptr;
        // The object may die while an exception unwinds: keep its Python error aside meanwhile.
        PyObject* pending = PyErr_GetRaisedException();
        without_lock([&] { Holder last(std::move(doomed)); });
        PyErr_SetRaisedException(pending);
    };
}

template <typename Native>
void* refuse_unconstructed(std::size_t /*size*/) {
    const std::string name =
        pybind11::str(pybind11::type::of<Native>().attr("__qualname__")).cast<std::string>();
    throw pybind11::type_error("this " + name +
                               " was created without its constructor (by __new__) and cannot be "
                               "used");
}

// Python code can make an instance without running its constructor (Device.__new__(Device)).
// pybind11 then allocates raw, unconstructed memory for it lazily when a method is called, and the
// call runs on garbage. Its type record's allocator is used for nothing else (constructors and
// returned objects allocate on their own), so a refusing one turns such calls into a TypeError.
template <typename Native>
void refuse_unconstructed_instances() {
    detail::get_type_info(typeid(Native))->operator_new = &refuse_unconstructed<Native>;
}

// Replaces the native object of `self` (a bound class Native held by Holder, in its own layout,
// not a Python subclass's) with what `replacement` holds, and returns the previous holder, for the
// caller to destroy (without the lock, if that may wait). The instance registry follows the
// change, so that the old object's address no longer leads to `self`. Requires the lock.
template <typename Holder, typename Native>
Holder replace_native(PyObject* self, Holder replacement) {
    auto* instance = reinterpret_cast<detail::instance*>(self);
    auto* type = detail::get_type_info(typeid(Native));
    auto v_h = instance->get_value_and_holder(type);
    if (!v_h.holder_constructed()) {
        pybind11::pybind11_fail("replace_native: the instance holds no native object");
    }
    Holder previous(std::move(v_h.holder<Holder>()));
    detail::deregister_instance(instance, v_h.value_ptr(), type);
    v_h.holder<Holder>() = std::move(replacement);
    v_h.value_ptr() = v_h.holder<Holder>().get();
    detail::register_instance(instance, v_h.value_ptr(), type);
    return previous;
}

// ---- The registry of instances
// -------------------------------------------------------------------

// A copy of the holder's deleter of the Python object registered for `object` (bound class
// `Native`, holder `Holder`), or a default one when none is registered. Requires the lock.
template <typename Holder, typename Native>
typename Holder::deleter_type registered_deleter(const Native& object) {
    auto* type = detail::get_type_info(typeid(Native));
    auto self = pybind11::reinterpret_steal<pybind11::object>(
        detail::find_registered_python_instance(const_cast<Native*>(&object), type));
    if (!self) {
        return {};
    }
    auto* instance = reinterpret_cast<detail::instance*>(self.ptr());
    return instance->get_value_and_holder(type).template holder<Holder>().get_deleter();
}

}  // namespace pyvorn::internals
