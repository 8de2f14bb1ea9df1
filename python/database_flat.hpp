// Flat batch extraction: many records as one dictionary of concatenated NumPy arrays.
#pragma once

#include "python/binding.hpp"

#include <cstdint>
#include <vector>

#include "engine/storage/database.hpp"

namespace kestrove_rs::database::flat {

// The dictionary of get_molecules_flat for `indices` (any order, repeats allowed), or null with
// an exception set. Call with the interpreter lock held and the database's reader borrow taken;
// the records are read and copied with the lock released, on the worker pool.
PyObject* get_molecules_flat_soa_impl(const kestrove::storage::AtomDatabase& database,
                                      const std::vector<uint64_t>& indices);

// PyAtomDatabase.get_molecules_flat(indices), for the type's method table.
PyObject* get_molecules_flat(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);

}  // namespace kestrove_rs::database::flat
