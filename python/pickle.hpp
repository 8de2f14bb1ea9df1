// Pickling support: the module function that rebuilds a molecule from its pickle payload.
#pragma once

#include "python/binding.hpp"

namespace kestrove_rs::pickle {

// _molecule_from_pickle_bytes(payload)
PyObject* molecule_from_pickle_bytes(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames);

}  // namespace kestrove_rs::pickle
