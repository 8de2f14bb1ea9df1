// PyMolecule: construction from arrays, the built-in field attributes, properties, len and repr.
#include "python/molecule.hpp"

#include <new>
#include <type_traits>

#include "engine/storage/dtypes.hpp"
#include "python/ase_export.hpp"
#include "python/atom.hpp"
#include "python/numpy_bridge.hpp"
#include "python/numpy_output.hpp"
#include "python/pickle.hpp"

namespace kestrove_rs::molecule {

namespace types = kestrove::types;
namespace view = kestrove::view;
using binding::PyRef;
using kestrove::atom::Molecule;

PyTypeObject* PyMolecule_Type = nullptr;

namespace {

PyMoleculeObject* as_mol(PyObject* self) { return reinterpret_cast<PyMoleculeObject*>(self); }

// Raises a parse failure as ValueError, or leaves the exception that stands for it (ParseError).
PyObject* raise_value_error(const numpy_input::ParseError& error) {
    if (PyErr_Occurred()) return nullptr;
    return binding::raise(PyExc_ValueError, error.message);
}

template <size_t State, class Value>
PyObject* alloc_molecule(PyTypeObject* type, Value value) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    PyMoleculeObject* object = as_mol(self);
    new (&object->borrow) binding::BorrowFlag();
    new (&object->state) MoleculeState(std::in_place_index<State>, std::move(value));
    return self;
}

void molecule_dealloc(PyObject* self) {
    as_mol(self)->state.~MoleculeState();
    binding::free_instance(self);
}

// The atom count: position rows of an owned molecule, the record's count of a view.
size_t atom_count(const PyMoleculeObject* self) {
    if (const Molecule* m = std::get_if<Molecule>(&self->state)) return m->num_positions();
    return std::get<view::SoaMoleculeView>(self->state).n_atoms();
}

// ---------------------------------------------------------------------------------------------
// The built-in fields with an attribute, described once; getters and setters loop over this.

using Member = std::variant<
    std::optional<types::FloatArrayData> Molecule::*, std::optional<types::Mat3Data> Molecule::*,
    std::optional<types::FloatScalarData> Molecule::*, std::optional<types::Vec3Data> Molecule::*,
    std::optional<std::array<bool, 3>> Molecule::*>;

struct BuiltinAttribute {
    // The attribute's name, which is also the field's section key and its lower-case label.
    const char* name;
    // The field's name in the setter's parse messages.
    const char* setter_label;
    // The object becomes owned before the new value is parsed (else after).
    bool owned_before_value;
    Member member;
    // Where a view finds the field.
    view::BuiltinField slot;
    const char* doc;
};

constexpr BuiltinAttribute kBuiltinAttributes[] = {
    {"forces", "Forces", false, &Molecule::forces, view::BuiltinField::kForces,
     "forces property (getter)"},
    {"energy", "energy", false, &Molecule::energy, view::BuiltinField::kEnergy, "Get energy"},
    {"charges", "Charges", false, &Molecule::charges, view::BuiltinField::kCharges,
     "charges property (getter)"},
    {"velocities", "Velocities", false, &Molecule::velocities, view::BuiltinField::kVelocities,
     "velocities property (getter)"},
    {"cell", "Cell", false, &Molecule::cell, view::BuiltinField::kCell, "cell property (getter)"},
    {"stress", "Stress", true, &Molecule::stress, view::BuiltinField::kStress,
     "stress property (getter)"},
    {"pbc", "pbc", false, &Molecule::pbc, view::BuiltinField::kPbc, "pbc property (getter)"},
};

PyObject* to_python(const types::Vec3Data& v) { return numpy_output::owned_vec3_array(v); }
PyObject* to_python(const types::FloatArrayData& v) { return numpy_output::owned_float_array(v); }
PyObject* to_python(const types::Mat3Data& v) { return numpy_output::owned_mat3x3_array(v); }
PyObject* to_python(const types::FloatScalarData& v) { return energy_to_python(v); }
PyObject* to_python(const std::array<bool, 3>& flags) { return pbc_to_python(flags); }

PyObject* read_view_field(const view::SoaMoleculeView& v, const view::BuiltinSlot& slot,
                          const types::Vec3Data*, const char* label) {
    return view_field_to_python(v.vec3_slot_field(slot, label));
}
PyObject* read_view_field(const view::SoaMoleculeView& v, const view::BuiltinSlot& slot,
                          const types::FloatArrayData*, const char* label) {
    return view_field_to_python(v.float_array_slot_field(slot, label));
}
PyObject* read_view_field(const view::SoaMoleculeView& v, const view::BuiltinSlot& slot,
                          const types::Mat3Data*, const char* label) {
    return view_field_to_python(v.mat3_slot_field(slot, label));
}
PyObject* read_view_field(const view::SoaMoleculeView& v, const view::BuiltinSlot&,
                          const types::FloatScalarData*, const char*) {
    return view_energy_to_python(v);
}
PyObject* read_view_field(const view::SoaMoleculeView& v, const view::BuiltinSlot&,
                          const std::array<bool, 3>*, const char*) {
    return view_pbc_to_python(v);
}

PyObject* get_builtin(PyObject* self, void* closure) {
    return binding::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const auto& field = *static_cast<const BuiltinAttribute*>(closure);
        binding::BorrowGuard borrow;
        if (!borrow.acquire_shared(as_mol(self)->borrow)) return nullptr;
        const Molecule* m = std::get_if<Molecule>(&as_mol(self)->state);
        if (m == nullptr) {
            const auto& v = std::get<view::SoaMoleculeView>(as_mol(self)->state);
            const auto& slot = v.slot(field.slot);
            if (!slot) Py_RETURN_NONE;
            return std::visit(
                [&](auto member) -> PyObject* {
                    using T = typename std::decay_t<decltype(std::declval<Molecule&>().*
                                                             member)>::value_type;
                    return read_view_field(v, *slot, static_cast<const T*>(nullptr), field.name);
                },
                field.member);
        }
        return std::visit(
            [&](auto member) -> PyObject* {
                const auto& value = m->*member;
                if (!value) Py_RETURN_NONE;
                return to_python(*value);
            },
            field.member);
    });
}

// Parses a new value of an array field for a molecule of `n` atoms.
numpy_input::Parsed<types::Vec3Data> parse_field(const types::Vec3Data*, PyObject* value,
                                                 const char* label, size_t n) {
    return numpy_input::parse_vec3_field(value, label, n);
}
numpy_input::Parsed<types::FloatArrayData> parse_field(const types::FloatArrayData*,
                                                       PyObject* value, const char* label,
                                                       size_t n) {
    return numpy_input::parse_float_array_field(value, label, n);
}
numpy_input::Parsed<types::Mat3Data> parse_field(const types::Mat3Data*, PyObject* value,
                                                 const char* label, size_t) {
    return numpy_input::parse_mat3_field(value, label);
}

int deletion_refused() {
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return -1;
}

// energy and pbc: the value is converted first (None removes the field), then the object is
// made owned and the field stored.
template <class T>
int set_scalar_field(PyObject* self, PyObject* value, const BuiltinAttribute& field,
                     std::optional<T> Molecule::*member) {
    std::optional<T> parsed;
    if (value != Py_None) {
        if constexpr (std::is_same_v<T, types::FloatScalarData>) {
            double x;
            if (!binding::extract_f64(value, x)) return (binding::argument_error(field.name), -1);
            parsed = types::FloatScalarData(x);  // always stored in double precision
        } else {
            std::array<bool, 3> flags;
            if (!binding::extract_bool3(value, flags)) {
                return (binding::argument_error(field.name), -1);
            }
            parsed = flags;
        }
    }
    binding::BorrowGuard borrow;
    if (!borrow.acquire_exclusive(as_mol(self)->borrow)) return -1;
    Molecule* m = ensure_owned(as_mol(self));
    if (m == nullptr) return -1;
    m->*member = std::move(parsed);
    return 0;
}

// The array fields: parsed against the current atom count, so never None. Stress makes the
// object owned before parsing and then drops any custom property of its name.
template <class T>
int set_array_field(PyObject* self, PyObject* value, const BuiltinAttribute& field,
                    std::optional<T> Molecule::*member) {
    PyMoleculeObject* object = as_mol(self);
    binding::BorrowGuard borrow;
    if (!borrow.acquire_exclusive(object->borrow)) return -1;
    if (field.owned_before_value && ensure_owned(object) == nullptr) return -1;
    auto parsed =
        parse_field(static_cast<const T*>(nullptr), value, field.setter_label, atom_count(object));
    if (!parsed.ok()) return (raise_value_error(parsed.error()), -1);
    Molecule* m = ensure_owned(object);
    if (m == nullptr) return -1;
    m->*member = std::move(parsed).value();
    if (std::string_view(field.name) == kestrove::storage::dtypes::kKeyStress) {
        m->properties.erase(std::string(kestrove::storage::dtypes::kKeyStress));
    }
    return 0;
}

int set_builtin(PyObject* self, PyObject* value, void* closure) {
    return binding::guarded<int>(-1, [&]() -> int {
        if (value == nullptr) return deletion_refused();
        const auto& field = *static_cast<const BuiltinAttribute*>(closure);
        return std::visit(
            [&](auto member) -> int {
                using T =
                    typename std::decay_t<decltype(std::declval<Molecule&>().*member)>::value_type;
                if constexpr (std::is_same_v<T, types::FloatScalarData> ||
                              std::is_same_v<T, std::array<bool, 3>>) {
                    return set_scalar_field(self, value, field, member);
                } else {
                    return set_array_field(self, value, field, member);
                }
            },
            field.member);
    });
}

PyObject* get_positions(PyObject* self, void*) {
    return binding::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        binding::BorrowGuard borrow;
        if (!borrow.acquire_shared(as_mol(self)->borrow)) return nullptr;
        const Molecule* m = std::get_if<Molecule>(&as_mol(self)->state);
        if (m == nullptr) {
            const auto& v = std::get<view::SoaMoleculeView>(as_mol(self)->state);
            return view_field_to_python(v.positions_field());
        }
        return numpy_output::owned_vec3_array(m->positions);
    });
}

PyObject* get_atomic_numbers(PyObject* self, void*) {
    return binding::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        binding::BorrowGuard borrow;
        if (!borrow.acquire_shared(as_mol(self)->borrow)) return nullptr;
        const Molecule* m = std::get_if<Molecule>(&as_mol(self)->state);
        return numbers_to_python(
            m != nullptr ? std::span<const uint8_t>(m->atomic_numbers)
                         : std::get<view::SoaMoleculeView>(as_mol(self)->state).atomic_numbers());
    });
}

// ---------------------------------------------------------------------------------------------
// Construction

constexpr binding::Param kNewParams[] = {
    {"positions", true, false}, {"atomic_numbers", true, false}, {"energy", false, true},
    {"forces", false, true},    {"charges", false, true},        {"velocities", false, true},
    {"cell", false, true},      {"stress", false, true},         {"pbc", false, true},
    {"name", false, true}};
constexpr size_t kNewParamCount = std::size(kNewParams);
constexpr binding::Signature kNewSig{"PyMolecule.__new__()", kNewParams};
constexpr binding::Signature kFromArraysSig{"PyMolecule.from_arrays()", kNewParams};

using NewArgs = binding::BoundArgs<kNewParamCount>;

// Argument i when given as something other than None, else null.
PyObject* optional_object(const NewArgs& bound, size_t i) {
    return bound.present(i) ? bound[i] : nullptr;
}

// Converts argument i into `out` when it is given as something other than None.
template <class T>
bool convert_present(const NewArgs& bound, size_t i, bool (*extract)(PyObject*, T&),
                     std::optional<T>& out) {
    if (!bound.present(i)) return true;
    T value;
    if (!bound.convert(i, extract, value)) return false;
    out = std::move(value);
    return true;
}

// Converts bound arguments in parameter order and builds the new owned object.
PyObject* construct(PyTypeObject* type, const NewArgs& bound) {
    MoleculeArgs args;
    args.positions = bound[0];
    PyObject* numbers = bound[1];
    if (!numpy::is_array(numbers) || numpy::ndim(numbers) != 1 ||
        !numpy::match_dtype(numbers, {numpy::Dtype::kUInt8})) {
        binding::set_cannot_convert(numbers, "PyArray<T, D>");
        return bound.failed(1);
    }
    args.atomic_numbers = numpy_input::copy_array<uint8_t>(numbers);
    if (!convert_present(bound, 2, binding::extract_f64, args.energy)) return nullptr;
    args.forces = optional_object(bound, 3);
    args.charges = optional_object(bound, 4);
    args.velocities = optional_object(bound, 5);
    args.cell = optional_object(bound, 6);
    args.stress = optional_object(bound, 7);
    if (!convert_present(bound, 8, binding::extract_bool3, args.pbc)) return nullptr;
    if (!convert_present(bound, 9, binding::extract_str, args.name)) return nullptr;
    auto molecule = from_arrays_impl(std::move(args));
    if (!molecule.ok()) return raise_value_error(molecule.error());
    return alloc_molecule<0>(type, std::move(molecule).value());
}

PyObject* molecule_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return binding::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        NewArgs bound(kNewSig);
        if (!bound.bind(args, kwargs)) return nullptr;
        return construct(type, bound);
    });
}

PyObject* molecule_from_arrays(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return binding::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        NewArgs bound(kFromArraysSig);
        if (!bound.bind(args, nargs, kwnames)) return nullptr;
        return construct(PyMolecule_Type, bound);
    });
}

// ---------------------------------------------------------------------------------------------
// Whole-object calls

PyObject* molecule_to_owned(PyObject* self, PyObject*) {
    return binding::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        binding::BorrowGuard borrow;
        if (!borrow.acquire_shared(as_mol(self)->borrow)) return nullptr;
        auto copy = clone_as_owned(as_mol(self));
        if (!copy) return nullptr;
        return new_owned_molecule(std::move(*copy));
    });
}

Py_ssize_t molecule_len(PyObject* self) {
    return binding::guarded<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
        binding::BorrowGuard borrow;
        if (!borrow.acquire_shared(as_mol(self)->borrow)) return -1;
        const size_t n = atom_count(as_mol(self));
        if (n > static_cast<size_t>(PY_SSIZE_T_MAX)) {
            PyErr_SetNone(PyExc_OverflowError);
            return -1;
        }
        return static_cast<Py_ssize_t>(n);
    });
}

PyObject* molecule_repr(PyObject* self) {
    return binding::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        binding::BorrowGuard borrow;
        if (!borrow.acquire_shared(as_mol(self)->borrow)) return nullptr;
        const PyMoleculeObject* object = as_mol(self);
        bool has_forces, has_energy;
        if (const Molecule* m = std::get_if<Molecule>(&object->state)) {
            has_forces = m->forces.has_value();
            has_energy = m->energy.has_value();
        } else {
            // Presence only: the payloads are neither decoded nor checked.
            const auto& v = std::get<view::SoaMoleculeView>(object->state);
            has_forces = v.has(view::BuiltinField::kForces);
            has_energy = v.has(view::BuiltinField::kEnergy);
        }
        const std::string text = "Molecule(n_atoms=" + std::to_string(atom_count(object)) +
                                 ", has_forces=" + (has_forces ? "true" : "false") +
                                 ", has_energy=" + (has_energy ? "true" : "false") + ")";
        return binding::to_py_str(text);
    });
}

// ---------------------------------------------------------------------------------------------
// Custom per-molecule properties

constexpr binding::Param kKeyParams[] = {{"key", true, false}};
constexpr binding::Signature kGetPropertySig{"PyMolecule.get_property()", kKeyParams};
constexpr binding::Signature kHasPropertySig{"PyMolecule.has_property()", kKeyParams};
constexpr binding::Param kSetPropertyParams[] = {{"key", true, false}, {"value", true, false}};
constexpr binding::Signature kSetPropertySig{"PyMolecule.set_property()", kSetPropertyParams};

// Per-molecule properties of a view are its kind-2 sections.
constexpr uint8_t kMoleculePropertyKind = 2;

// The property `key` as a Python value (`want_value`), KeyError when missing; or whether it is
// there. A view decodes only the keys it passes and the one matching payload.
PyObject* lookup_property(const PyMoleculeObject* object, const std::string& key, bool want_value) {
    if (const Molecule* m = std::get_if<Molecule>(&object->state)) {
        const auto found = m->properties.find(key);
        if (found != m->properties.end()) {
            if (!want_value) Py_RETURN_TRUE;
            return numpy_output::property_value_to_pyobject(found->second);
        }
    } else {
        const auto& v = std::get<view::SoaMoleculeView>(object->state);
        auto section = v.find_section(kMoleculePropertyKind, key);
        if (!section.ok()) return binding::raise(PyExc_ValueError, section.error());
        if (section.value() != nullptr) {
            if (!want_value) Py_RETURN_TRUE;
            auto field = v.property_section_field(*section.value());
            if (!field.ok()) return binding::raise(PyExc_ValueError, field.error());
            return numpy_output::property_field_to_pyobject(field.value());
        }
    }
    if (!want_value) Py_RETURN_FALSE;
    return binding::raise(PyExc_KeyError, "Property '" + key + "' not found");
}

// Binds and converts the one `key` argument under a shared borrow, then looks it up.
PyObject* with_property(PyObject* self, const binding::Signature& sig, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames, bool want_value) {
    return binding::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        binding::BoundArgs<1> bound(sig);
        if (!bound.bind(args, nargs, kwnames)) return nullptr;
        binding::BorrowGuard borrow;
        if (!borrow.acquire_shared(as_mol(self)->borrow)) return nullptr;
        std::string key;
        if (!bound.convert(0, binding::extract_str, key)) return nullptr;
        return lookup_property(as_mol(self), key, want_value);
    });
}

PyObject* molecule_get_property(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return with_property(self, kGetPropertySig, args, nargs, kwnames, true);
}

PyObject* molecule_has_property(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return with_property(self, kHasPropertySig, args, nargs, kwnames, false);
}

PyObject* molecule_set_property(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return binding::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        binding::BoundArgs<2> bound(kSetPropertySig);
        if (!bound.bind(args, nargs, kwnames)) return nullptr;
        binding::BorrowGuard borrow;
        if (!borrow.acquire_exclusive(as_mol(self)->borrow)) return nullptr;
        std::string key;
        if (!bound.convert(0, binding::extract_str, key)) return nullptr;
        Molecule* m = ensure_owned(as_mol(self));
        if (m == nullptr) return nullptr;
        if (key == kestrove::storage::dtypes::kKeyStress) {
            return binding::raise(PyExc_ValueError,
                                  "'stress' is a reserved field; use molecule.stress instead");
        }
        auto value = numpy_input::parse_property_value(bound[1]);
        if (!value.ok()) return raise_value_error(value.error());
        m->properties.insert_or_assign(std::move(key), std::move(value).value());
        Py_RETURN_NONE;
    });
}

PyObject* molecule_property_keys(PyObject* self, PyObject*) {
    return binding::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        binding::BorrowGuard borrow;
        if (!borrow.acquire_shared(as_mol(self)->borrow)) return nullptr;
        PyRef list = PyRef::steal(PyList_New(0));
        if (!list) return nullptr;
        const Molecule* m = std::get_if<Molecule>(&as_mol(self)->state);
        if (m == nullptr) {
            auto keys = std::get<view::SoaMoleculeView>(as_mol(self)->state)
                            .section_keys(kMoleculePropertyKind);
            if (!keys.ok()) return binding::raise(PyExc_ValueError, keys.error());
            for (std::string_view key : keys.value()) {
                PyRef text = PyRef::steal(binding::to_py_str(key));
                if (!text || PyList_Append(list.get(), text.get()) < 0) return nullptr;
            }
            return list.release();
        }
        for (const auto& [key, value] : m->properties) {
            PyRef text = PyRef::steal(binding::to_py_str(key));
            if (!text || PyList_Append(list.get(), text.get()) < 0) return nullptr;
        }
        return list.release();
    });
}

// ---------------------------------------------------------------------------------------------
// Subscription and atoms

PyObject* atom_at(const PyMoleculeObject* object, Py_ssize_t key) {
    const size_t n = atom_count(object);
    const int64_t i = key < 0 ? static_cast<int64_t>(key) + static_cast<int64_t>(n) : key;
    if (i < 0 || static_cast<uint64_t>(i) >= n) {
        return binding::raise(PyExc_IndexError, "Atom index " + std::to_string(key) +
                                                    " out of bounds for molecule of length " +
                                                    std::to_string(n));
    }
    if (const Molecule* m = std::get_if<Molecule>(&object->state)) {
        auto atom = m->atom(static_cast<size_t>(i));
        if (!atom)
            return binding::raise(PyExc_ValueError, "Failed to read atom from owned molecule");
        return new_py_atom(*atom);
    }
    auto atom = std::get<view::SoaMoleculeView>(object->state).atom_at(static_cast<size_t>(i));
    if (!atom.ok()) return binding::raise(PyExc_ValueError, atom.error());
    if (!atom.value()) return binding::raise(PyExc_ValueError, "Failed to read atom from view");
    return new_py_atom(*atom.value());
}

PyObject* molecule_subscript(PyObject* self, PyObject* key) {
    return binding::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        binding::BorrowGuard borrow;
        if (!borrow.acquire_shared(as_mol(self)->borrow)) return nullptr;
        if (PyUnicode_Check(key)) {
            std::string text;
            if (!binding::extract_str(key, text)) return nullptr;
            return lookup_property(as_mol(self), text, true);
        }
        int64_t index = 0;
        if (PyFloat_Check(key) || !binding::extract_i64(key, index)) {
            // The integer attempt's own error is not shown.
            if (PyErr_Occurred() && !binding::discard_failed_attempt()) return nullptr;
            return binding::raise(PyExc_TypeError, "Molecule indices must be integers or strings");
        }
        return atom_at(as_mol(self), static_cast<Py_ssize_t>(index));
    });
}

PyObject* molecule_atoms(PyObject* self, PyObject*) {
    return binding::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        binding::BorrowGuard borrow;
        if (!borrow.acquire_shared(as_mol(self)->borrow)) return nullptr;
        std::optional<Molecule> decoded;
        const Molecule* m = owned_or_decoded(as_mol(self), decoded);
        if (m == nullptr) return nullptr;
        const auto atoms = m->to_atoms();
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(atoms.size())));
        if (!list) return nullptr;
        for (size_t i = 0; i < atoms.size(); ++i) {
            PyObject* item = new_py_atom(atoms[i]);
            if (item == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    });
}

PyMethodDef kMoleculeMethods[] = {
    {"from_arrays", binding::fastcall(molecule_from_arrays),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_arrays(positions, atomic_numbers, *, energy=None, forces=None, charges=None, "
     "velocities=None, cell=None, stress=None, pbc=None, name=None)\n--\n\n"
     "Create a molecule from numpy arrays."},
    {"atoms", molecule_atoms, METH_NOARGS, "atoms($self)\n--\n\nGet atoms as a list"},
    {"to_owned", molecule_to_owned, METH_NOARGS,
     "to_owned($self)\n--\n\nMaterialize the molecule into an owned, self-contained object."},
    {"__reduce__", pickle::molecule_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"_ase_builtin_tuple_fast", binding::fastcall(ase_export::molecule_ase_builtin_tuple_fast),
     METH_FASTCALL | METH_KEYWORDS,
     "_ase_builtin_tuple_fast($self, *, copy_info=True, copy_arrays=True)\n--\n\n"},
    {"_ase_payload", binding::fastcall(ase_export::molecule_ase_payload),
     METH_FASTCALL | METH_KEYWORDS,
     "_ase_payload($self, *, copy_info=True, copy_arrays=True)\n--\n\n"},
    {"get_property", binding::fastcall(molecule_get_property), METH_FASTCALL | METH_KEYWORDS,
     "get_property($self, key)\n--\n\nGet a custom property by key"},
    {"set_property", binding::fastcall(molecule_set_property), METH_FASTCALL | METH_KEYWORDS,
     "set_property($self, key, value)\n--\n\nSet a custom property"},
    {"property_keys", molecule_property_keys, METH_NOARGS,
     "property_keys($self)\n--\n\nGet all property keys"},
    {"has_property", binding::fastcall(molecule_has_property), METH_FASTCALL | METH_KEYWORDS,
     "has_property($self, key)\n--\n\nCheck if a property exists"},
    {nullptr, nullptr, 0, nullptr},
};

template <size_t... I>
constexpr std::array<PyGetSetDef, sizeof...(I) + 3> make_getset(std::index_sequence<I...>) {
    return {{
        {kBuiltinAttributes[I].name, get_builtin, set_builtin, kBuiltinAttributes[I].doc,
         const_cast<BuiltinAttribute*>(&kBuiltinAttributes[I])}...,
        {"positions", get_positions, nullptr, "positions property (read-only)", nullptr},
        {"atomic_numbers", get_atomic_numbers, nullptr, "atomic_numbers property (read-only)",
         nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    }};
}

auto kMoleculeGetSet = make_getset(std::make_index_sequence<std::size(kBuiltinAttributes)>());

}  // namespace

// ---------------------------------------------------------------------------------------------

PyObject* numbers_to_python(std::span<const uint8_t> numbers) {
    const Py_ssize_t shape[1] = {static_cast<Py_ssize_t>(numbers.size())};
    return numpy::new_array(numpy::Dtype::kUInt8, shape, numbers.data());
}

PyObject* energy_to_python(const types::FloatScalarData& energy) {
    // A single-precision energy widens exactly.
    return PyFloat_FromDouble(std::visit([](auto x) { return static_cast<double>(x); }, energy));
}

PyObject* pbc_to_python(const std::array<bool, 3>& pbc) {
    return PyTuple_Pack(3, pbc[0] ? Py_True : Py_False, pbc[1] ? Py_True : Py_False,
                        pbc[2] ? Py_True : Py_False);
}

PyObject* view_field_to_python(const kestrove::Result<view::ArrayField, std::string>& field) {
    if (!field.ok()) return binding::raise(PyExc_ValueError, field.error());
    return numpy_output::view_array_field(field.value());
}

PyObject* view_energy_to_python(const view::SoaMoleculeView& v) {
    auto energy = v.energy();
    if (!energy.ok()) return binding::raise(PyExc_ValueError, energy.error());
    if (!energy.value()) Py_RETURN_NONE;
    return PyFloat_FromDouble(*energy.value());
}

PyObject* view_pbc_to_python(const view::SoaMoleculeView& v) {
    auto pbc = v.pbc();
    if (!pbc.ok()) return binding::raise(PyExc_ValueError, pbc.error());
    if (!pbc.value()) Py_RETURN_NONE;
    return pbc_to_python(*pbc.value());
}

numpy_input::Parsed<Molecule> from_arrays_impl(MoleculeArgs&& args) {
    auto positions = numpy_input::parse_positions_field(args.positions);
    if (!positions.ok()) return std::move(positions).error();
    auto created = Molecule::with_name_internal(std::nullopt, std::move(positions).value(),
                                                std::move(args.atomic_numbers));
    if (!created.ok()) return numpy_input::ParseError{std::move(created).error()};
    Molecule m = std::move(created).value();
    const size_t n = m.num_positions();
    if (args.name) m.name = std::move(*args.name);
    if (args.energy) m.energy = types::FloatScalarData(*args.energy);
    if (args.pbc) m.pbc = *args.pbc;
    if (args.forces) {
        auto forces = numpy_input::parse_vec3_field(args.forces, "forces", n);
        if (!forces.ok()) return std::move(forces).error();
        m.forces = std::move(forces).value();
    }
    if (args.charges) {
        auto charges = numpy_input::parse_float_array_field(args.charges, "charges", n);
        if (!charges.ok()) return std::move(charges).error();
        m.charges = std::move(charges).value();
    }
    if (args.velocities) {
        auto velocities = numpy_input::parse_vec3_field(args.velocities, "velocities", n);
        if (!velocities.ok()) return std::move(velocities).error();
        m.velocities = std::move(velocities).value();
    }
    if (args.cell) {
        auto cell = numpy_input::parse_mat3_field(args.cell, "cell");
        if (!cell.ok()) return std::move(cell).error();
        m.cell = std::move(cell).value();
    }
    if (args.stress) {
        auto stress = numpy_input::parse_mat3_field(args.stress, "stress");
        if (!stress.ok()) return std::move(stress).error();
        m.stress = std::move(stress).value();
    }
    return m;
}

Molecule* ensure_owned(PyMoleculeObject* self) {
    if (Molecule* m = std::get_if<Molecule>(&self->state)) return m;
    auto decoded = std::get<view::SoaMoleculeView>(self->state).materialize();
    if (!decoded.ok()) {
        binding::raise(PyExc_ValueError, decoded.error());
        return nullptr;
    }
    // Replacing the view releases its record bytes or its share of the memory map.
    return &self->state.emplace<Molecule>(std::move(decoded).value());
}

std::optional<Molecule> clone_as_owned(const PyMoleculeObject* self) {
    if (const Molecule* m = std::get_if<Molecule>(&self->state)) return *m;
    auto decoded = std::get<view::SoaMoleculeView>(self->state).materialize();
    if (!decoded.ok()) {
        binding::raise(PyExc_ValueError, decoded.error());
        return std::nullopt;
    }
    return std::move(decoded).value();
}

const Molecule* owned_or_decoded(const PyMoleculeObject* self, std::optional<Molecule>& decoded) {
    if (const Molecule* m = std::get_if<Molecule>(&self->state)) return m;
    decoded = clone_as_owned(self);
    return decoded ? &*decoded : nullptr;
}

PyObject* new_owned_molecule(Molecule molecule) {
    return alloc_molecule<0>(PyMolecule_Type, std::move(molecule));
}

PyObject* new_lazy_molecule(view::SoaMoleculeView view) {
    return alloc_molecule<1>(PyMolecule_Type, std::move(view));
}

PyTypeObject* create_molecule_type() {
    static const char kDoc[] =
        "PyMolecule(positions, atomic_numbers, *, energy=None, forces=None, charges=None, "
        "velocities=None, cell=None, stress=None, pbc=None, name=None)\n--\n\n"
        "Python wrapper for Molecule";
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(molecule_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(molecule_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(molecule_repr)},
        {Py_mp_length, reinterpret_cast<void*>(molecule_len)},
        {Py_mp_subscript, reinterpret_cast<void*>(molecule_subscript)},
        {Py_tp_methods, kMoleculeMethods},
        {Py_tp_getset, kMoleculeGetSet.data()},
        {Py_tp_doc, const_cast<char*>(kDoc)},
        {0, nullptr},
    };
    PyType_Spec spec = {"PyMolecule", sizeof(PyMoleculeObject), 0, Py_TPFLAGS_DEFAULT, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace kestrove_rs::molecule
