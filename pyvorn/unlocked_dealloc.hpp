// Destroying a native object without the interpreter lock.
//
// Destroying a device or a stream may end a stream, which waits for the stream's delivery thread;
// that thread needs the interpreter lock to finish its current call and to drop its callable. So
// the owner of such an object must not hold the lock while it destroys it.
#pragma once

#include <typeinfo>
#include <utility>

#include <pybind11/pybind11.h>

namespace pyvorn {

// Makes the Python class `Class` (held by `Holder`) destroy its native object, and everything the
// holder releases with it, with the interpreter lock released.
template <typename Holder, typename Class>
void destroy_without_lock(Class& /*cls*/) {
    using Native = typename Class::type;
    auto* type = pybind11::detail::get_type_info(typeid(Native));
    type->dealloc = [](pybind11::detail::value_and_holder& v_h) {
        // Called from the object's deallocation, with the lock held; a pending Python error (the
        // object may die while an exception unwinds) is kept aside meanwhile.
        pybind11::error_scope keep_pending_error;
        if (!v_h.holder_constructed()) {
            pybind11::detail::call_operator_delete(v_h.value_ptr<Native>(), v_h.type->type_size,
                                                   v_h.type->type_align);
            v_h.value_ptr() = nullptr;
            return;
        }
        Holder doomed(std::move(v_h.holder<Holder>()));
        v_h.holder<Holder>().~Holder();
        v_h.set_holder_constructed(false);
        v_h.value_ptr() = nullptr;
        pybind11::gil_scoped_release unlocked;
        Holder last(std::move(doomed));
    };
}

}  // namespace pyvorn
