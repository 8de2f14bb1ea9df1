// PyAtomDatabase.add_arrays_batch: whole batches of molecules from stacked NumPy arrays.
#pragma once

#include "python/binding.hpp"

namespace kestrove_rs::database::batch {

// The method body: arguments as the fast-call convention passes them, `self` a PyAtomDatabase.
PyObject* add_arrays_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);

}  // namespace kestrove_rs::database::batch
