// PyMolecule: a molecule as Python sees it.
#pragma once

#include "python/binding.hpp"

namespace kestrove_rs::molecule {

struct PyMoleculeObject {
    PyObject_HEAD
    binding::BorrowFlag borrow;
};

// The registered type object; null before the module has been initialised.
extern PyTypeObject* PyMolecule_Type;

PyTypeObject* create_molecule_type();

}  // namespace kestrove_rs::molecule
