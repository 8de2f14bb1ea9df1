// Conversion of index arguments shared by the database's read methods.
#pragma once

#include "python/binding.hpp"

#include <cstdint>
#include <vector>

namespace kestrove_rs::database {

// An index: any object with an integer value from 0 to 2^64 - 1.
inline bool extract_u64(PyObject* object, uint64_t& out) {
    binding::PyRef index;
    if (!PyLong_Check(object)) {
        index = binding::PyRef::steal(PyNumber_Index(object));
        if (!index) return false;
        object = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

// The items of a sequence argument, each converted by `convert` (false with an exception set),
// in order; the first failure stops. A str is refused although it is a sequence.
template <class F>
bool for_each_item(PyObject* sequence, F&& convert) {
    if (PyUnicode_Check(sequence)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(sequence)) {
        binding::set_cannot_convert(sequence, "Sequence");
        return false;
    }
    const Py_ssize_t n = PySequence_Size(sequence);
    if (n < 0) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        binding::PyRef item = binding::PyRef::steal(PySequence_GetItem(sequence, i));
        if (!item || !convert(std::move(item))) return false;
    }
    return true;
}

// A sequence of indices, in order.
inline bool extract_indices(PyObject* sequence, std::vector<uint64_t>& out) {
    return for_each_item(sequence, [&](binding::PyRef item) {
        uint64_t index;
        if (!extract_u64(item.get(), index)) return false;
        out.push_back(index);
        return true;
    });
}

}  // namespace kestrove_rs::database
