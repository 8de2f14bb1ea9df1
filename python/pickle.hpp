// Pickling support: PyMolecule.__reduce__ and the module function that rebuilds a molecule from
// its pickle payload, the compact serialised form of the molecule.
#pragma once

#include "python/binding.hpp"

namespace kestrove_rs::pickle {

// PyMolecule.__reduce__(): (_molecule_from_pickle_bytes, (payload,)). A lazy molecule is pickled
// by value and stays lazy.
PyObject* molecule_reduce(PyObject* self, PyObject* unused);

// _molecule_from_pickle_bytes(payload): a new owned PyMolecule decoded from a bytes payload.
PyObject* molecule_from_pickle_bytes(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames);

}  // namespace kestrove_rs::pickle
