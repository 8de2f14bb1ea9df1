// ASE export: a molecule's data as one tuple laid out in ASE's terms (numbers, positions, cell,
// pbc, velocities, energy, forces, stress, charges, per-atom arrays, per-structure info), for
// owned and lazy molecules alike, without turning a lazy molecule into an owned one.
#pragma once

#include "python/binding.hpp"

#include <string_view>

#include "python/molecule.hpp"

namespace kestrove_rs::ase_export {

// Keys ASE reserves for its own arrays and calculator results; custom properties under them never
// enter the arrays dictionary.
bool is_reserved_ase_array_key(std::string_view key);

// The 11-item export tuple of a molecule the caller holds a shared borrow of. Null with an
// exception set on failure; every array in the tuple owns a copy of its data.
PyObject* ase_builtin_tuple(const molecule::PyMoleculeObject* self, bool copy_info,
                            bool copy_arrays);

// Fill `arrays` and `info` from an owned molecule's property maps, or from a view's listed
// sections; each does nothing for a molecule in the other state. False with an exception set.
bool append_owned_ase_properties(const molecule::PyMoleculeObject* self, PyObject* arrays,
                                 PyObject* info, bool copy_info, bool copy_arrays);
bool append_view_ase_properties(const molecule::PyMoleculeObject* self, PyObject* arrays,
                                PyObject* info, bool copy_info, bool copy_arrays);

// PyMolecule._ase_builtin_tuple_fast(*, copy_info=True, copy_arrays=True) and its twin
// PyMolecule._ase_payload(...), which differ only in the name their messages carry.
PyObject* molecule_ase_builtin_tuple_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames);
PyObject* molecule_ase_payload(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);

}  // namespace kestrove_rs::ase_export
