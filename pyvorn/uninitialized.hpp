// Objects made by Class.__new__ without their constructor must be refused, not used.
//
// Python code can create an instance of a bound class without running its constructor
// (Device.__new__(Device)). The binding library then lazily gives the instance raw, unconstructed
// memory when a method is called on it, and the call runs on garbage. Installing a refusing
// allocator for those lazy allocations turns such a call into a TypeError instead; the library
// uses that allocator for nothing else (constructors and returned objects allocate on their own).
#pragma once

#include <cstddef>
#include <string>
#include <typeinfo>

#include <pybind11/pybind11.h>

namespace pyvorn {

template <typename Native>
void* refuse_unconstructed(std::size_t) {
    const std::string name =
        pybind11::str(pybind11::type::of<Native>().attr("__qualname__")).cast<std::string>();
    throw pybind11::type_error("this " + name +
                               " was created without its constructor (by __new__) and cannot be "
                               "used");
}

// Makes method calls on unconstructed instances of the bound class `Native` raise TypeError.
template <typename Native>
void refuse_unconstructed_instances() {
    pybind11::detail::get_type_info(typeid(Native))->operator_new = &refuse_unconstructed<Native>;
}

}  // namespace pyvorn
