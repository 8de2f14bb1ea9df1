// PyAtom: one atom as a single-precision position and an atomic number, immutable.
#pragma once

#include "python/binding.hpp"

#include <string>

#include "engine/atom.hpp"

namespace kestrove_rs::molecule {

struct PyAtomObject {
    PyObject_HEAD
    binding::BorrowFlag borrow;
    float x;
    float y;
    float z;
    uint8_t atomic_number;
};

// The registered type object; null before the module has been initialised.
extern PyTypeObject* PyAtom_Type;

PyTypeObject* create_atom_type();

// A new PyAtom holding `atom`.
PyObject* new_py_atom(const kestrove::atom::Atom& atom);

// The shortest decimal text that reads back to the same float, in positional notation without
// an exponent and without a trailing ".0": 1, 0.1, -0, 0.0000001, inf, -inf, NaN.
std::string format_f32(float value);

}  // namespace kestrove_rs::molecule
