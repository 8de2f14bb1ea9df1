// PyMolecule: a molecule as Python sees it, owned (built from arrays, unpickled, or changed) or a
// lazy view of one stored record.
#pragma once

#include "python/binding.hpp"

#include <array>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "engine/atom.hpp"
#include "engine/view/record_view.hpp"
#include "python/numpy_input.hpp"

namespace kestrove_rs::molecule {

// What a PyMolecule holds: an owned molecule, or a view of a stored record. A view becomes an
// owned molecule in place (ensure_owned) and never goes back.
using MoleculeState = std::variant<kestrove::atom::Molecule, kestrove::view::SoaMoleculeView>;

struct PyMoleculeObject {
    PyObject_HEAD
    binding::BorrowFlag borrow;
    MoleculeState state;  // constructed in place by the allocating code, destroyed in tp_dealloc
};

// The registered type object; null before the module has been initialised.
extern PyTypeObject* PyMolecule_Type;

PyTypeObject* create_molecule_type();

// A new owned PyMolecule holding `molecule`. Null with an exception set on failure.
PyObject* new_owned_molecule(kestrove::atom::Molecule molecule);

// A new lazy PyMolecule over one stored record. Null with an exception set on failure.
PyObject* new_lazy_molecule(kestrove::view::SoaMoleculeView view);

// The molecule of an owned object, after turning a view into one in place. Null with an
// exception set when the view cannot be decoded; the object then stays as it was.
kestrove::atom::Molecule* ensure_owned(PyMoleculeObject* self);

// A deep copy of an owned molecule, or the full decoding of a view, leaving the object as it
// is. Nothing with an exception set on failure.
std::optional<kestrove::atom::Molecule> clone_as_owned(const PyMoleculeObject* self);

// Field values out to Python, shared by the attributes and the ASE export. Each returns a new
// reference, or null with an exception set; a view's field that fails to decode is a ValueError
// with the view's message, and an absent energy or pbc is None.
PyObject* numbers_to_python(std::span<const uint8_t> numbers);  // (n,) uint8
PyObject* energy_to_python(const kestrove::types::FloatScalarData& energy);
PyObject* pbc_to_python(const std::array<bool, 3>& pbc);
PyObject* view_field_to_python(
    const kestrove::Result<kestrove::view::ArrayField, std::string>& field);
PyObject* view_energy_to_python(const kestrove::view::SoaMoleculeView& v);
PyObject* view_pbc_to_python(const kestrove::view::SoaMoleculeView& v);

// The molecule to read from: the owned one itself, or the full decoding of a view, kept in
// `decoded`. Null with an exception set when the view cannot be decoded.
const kestrove::atom::Molecule* owned_or_decoded(const PyMoleculeObject* self,
                                                 std::optional<kestrove::atom::Molecule>& decoded);

// The arguments of PyMolecule(...) and PyMolecule.from_arrays(...) after argument conversion.
struct MoleculeArgs {
    PyObject* positions = nullptr;  // any object
    // Copied from the 1-D uint8 array when it is checked: converting a later argument runs
    // Python code, which may change the array's dtype or shape.
    std::vector<uint8_t> atomic_numbers;
    std::optional<double> energy;
    PyObject* forces = nullptr;  // null when absent, likewise for the other array fields
    PyObject* charges = nullptr;
    PyObject* velocities = nullptr;
    PyObject* cell = nullptr;
    PyObject* stress = nullptr;
    std::optional<std::array<bool, 3>> pbc;
    std::optional<std::string> name;
};

// A new owned molecule from converted arguments; the first failure in the order positions,
// atomic-number count, forces, charges, velocities, cell, stress is the ValueError text.
numpy_input::Parsed<kestrove::atom::Molecule> from_arrays_impl(MoleculeArgs&& args);

}  // namespace kestrove_rs::molecule
