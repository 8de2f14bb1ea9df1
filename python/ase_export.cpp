// ASE export: the tuple ASE builds an Atoms object from, read straight from an owned molecule or
// from a record view's fields.
#include "python/ase_export.hpp"

#include <array>
#include <string>
#include <type_traits>
#include <variant>

#include "engine/storage/dtypes.hpp"
#include "python/numpy_output.hpp"

namespace kestrove_rs::ase_export {

namespace types = kestrove::types;
namespace view = kestrove::view;
namespace dtypes = kestrove::storage::dtypes;
using binding::PyRef;
using kestrove::atom::Molecule;

namespace {

constexpr size_t kTupleSize = 11;

constexpr std::string_view kReservedKeys[] = {
    "numbers", "positions", "cell", "pbc", "energy", "forces", "stress", "charges", "velocities",
};

PyObject* raise_value_error(const std::string& message) {
    return binding::raise(PyExc_ValueError, message);
}

// The same, for the steps that report failure as false.
bool fail_value_error(const std::string& message) {
    raise_value_error(message);
    return false;
}

// The Python value of a view's custom section: None, float, int, str or a new array.
PyObject* property_section_to_pyobject(const view::SoaMoleculeView& v,
                                       const view::LazySection& section) {
    auto field = v.property_section_field(section);
    if (!field.ok()) return raise_value_error(field.error());
    return numpy_output::property_field_to_pyobject(field.value());
}

// Element size of the per-molecule array tags, for the rule that sends an array of one element
// per atom to the arrays dictionary; 0 for tags that are not arrays.
size_t per_atom_element_size(uint8_t tag) {
    switch (tag) {
        case dtypes::kTagF64Array:
        case dtypes::kTagI64Array:
            return 8;
        case dtypes::kTagVec3F32:
            return 12;
        case dtypes::kTagF32Array:
        case dtypes::kTagI32Array:
            return 4;
        case dtypes::kTagVec3F64:
            return 24;
        default:
            return 0;
    }
}

// Element count of an owned array property (values, or triples), or nothing for a scalar.
std::optional<size_t> array_property_length(const types::PropertyValue& value) {
    return std::visit(
        [](const auto& v) -> std::optional<size_t> {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, std::monostate> || std::is_same_v<V, double> ||
                          std::is_same_v<V, int64_t> || std::is_same_v<V, std::string>) {
                return std::nullopt;
            } else {
                return v.size();
            }
        },
        value);
}

bool set_item(PyObject* dict, std::string_view key, PyObject* value) {
    PyRef owned_value = PyRef::steal(value);
    if (!owned_value) return false;
    PyRef text = PyRef::steal(binding::to_py_str(key));
    if (!text) return false;
    return PyDict_SetItem(dict, text.get(), owned_value.get()) == 0;
}

// Items 0 to 8 of an owned molecule, stored into `out`.
bool owned_builtins(const Molecule& m, std::array<PyRef, kTupleSize>& out) {
    out[0] = PyRef::steal(molecule::numbers_to_python(m.atomic_numbers));
    if (!out[0]) return false;
    out[1] = PyRef::steal(numpy_output::owned_vec3_array(m.positions));
    if (!out[1]) return false;
    auto none = [] { return PyRef::borrow(Py_None); };
    out[2] = m.cell ? PyRef::steal(numpy_output::owned_mat3x3_array(*m.cell)) : none();
    if (!out[2]) return false;
    out[3] = m.pbc ? PyRef::steal(molecule::pbc_to_python(*m.pbc)) : none();
    if (!out[3]) return false;
    out[4] = m.velocities ? PyRef::steal(numpy_output::owned_vec3_array(*m.velocities)) : none();
    if (!out[4]) return false;
    out[5] = m.energy ? PyRef::steal(molecule::energy_to_python(*m.energy)) : none();
    if (!out[5]) return false;
    out[6] = m.forces ? PyRef::steal(numpy_output::owned_vec3_array(*m.forces)) : none();
    if (!out[6]) return false;
    out[7] = m.stress ? PyRef::steal(numpy_output::owned_mat3x3_array(*m.stress)) : none();
    if (!out[7]) return false;
    out[8] = m.charges ? PyRef::steal(numpy_output::owned_float_array(*m.charges)) : none();
    return static_cast<bool>(out[8]);
}

// Items 0 to 8 of a view, read through its field readers; nothing is materialised.
bool view_builtins(const view::SoaMoleculeView& v, std::array<PyRef, kTupleSize>& out) {
    using view::BuiltinField;
    out[0] = PyRef::steal(molecule::numbers_to_python(v.atomic_numbers()));
    if (!out[0]) return false;
    out[1] = PyRef::steal(molecule::view_field_to_python(v.positions_field()));
    if (!out[1]) return false;

    // An absent slot is None; a present one goes through `read`.
    auto slot_item = [&](BuiltinField field, auto read) -> PyRef {
        const auto& slot = v.slot(field);
        if (!slot) return PyRef::borrow(Py_None);
        return PyRef::steal(read(*slot, view::builtin_key(field)));
    };
    auto mat3 = [&](const view::BuiltinSlot& s, std::string_view label) {
        return molecule::view_field_to_python(v.mat3_slot_field(s, label));
    };
    auto vec3 = [&](const view::BuiltinSlot& s, std::string_view label) {
        return molecule::view_field_to_python(v.vec3_slot_field(s, label));
    };
    auto floats = [&](const view::BuiltinSlot& s, std::string_view label) {
        return molecule::view_field_to_python(v.float_array_slot_field(s, label));
    };

    out[2] = slot_item(BuiltinField::kCell, mat3);
    if (!out[2]) return false;
    out[3] = PyRef::steal(molecule::view_pbc_to_python(v));
    if (!out[3]) return false;
    out[4] = slot_item(BuiltinField::kVelocities, vec3);
    if (!out[4]) return false;
    out[5] = PyRef::steal(molecule::view_energy_to_python(v));
    if (!out[5]) return false;
    out[6] = slot_item(BuiltinField::kForces, vec3);
    if (!out[6]) return false;
    out[7] = slot_item(BuiltinField::kStress, mat3);
    if (!out[7]) return false;
    out[8] = slot_item(BuiltinField::kCharges, floats);
    return static_cast<bool>(out[8]);
}

constexpr binding::Param kAseParams[] = {{"copy_info", false, true}, {"copy_arrays", false, true}};
constexpr binding::Signature kTupleFastSig{"PyMolecule._ase_builtin_tuple_fast()", kAseParams};
constexpr binding::Signature kPayloadSig{"PyMolecule._ase_payload()", kAseParams};

PyObject* ase_method(const binding::Signature& sig, PyObject* self, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames) {
    return binding::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        binding::BoundArgs<2> bound(sig);
        if (!bound.bind(args, nargs, kwnames)) return nullptr;
        // The borrow comes before the conversions, as in every other method.
        auto* object = reinterpret_cast<molecule::PyMoleculeObject*>(self);
        binding::BorrowGuard borrow;
        if (!borrow.acquire_shared(object->borrow)) return nullptr;
        bool copy_info = true;
        bool copy_arrays = true;
        // None is not a boolean: only an omitted argument takes the default.
        if (bound[0] != nullptr && !bound.convert(0, binding::extract_bool, copy_info)) {
            return nullptr;
        }
        if (bound[1] != nullptr && !bound.convert(1, binding::extract_bool, copy_arrays)) {
            return nullptr;
        }
        return ase_builtin_tuple(object, copy_info, copy_arrays);
    });
}

}  // namespace

bool is_reserved_ase_array_key(std::string_view key) {
    for (std::string_view reserved : kReservedKeys) {
        if (key == reserved) return true;
    }
    return false;
}

bool append_owned_ase_properties(const molecule::PyMoleculeObject* self, PyObject* arrays,
                                 PyObject* info, bool copy_info, bool copy_arrays) {
    const Molecule* m = std::get_if<Molecule>(&self->state);
    if (m == nullptr) return true;
    const size_t n = m->num_positions();
    if (copy_arrays) {
        for (const auto& [key, value] : m->atom_properties) {
            if (is_reserved_ase_array_key(key)) continue;
            if (!set_item(arrays, key, numpy_output::property_value_to_pyobject(value))) {
                return false;
            }
        }
    }
    for (const auto& [key, value] : m->properties) {
        const std::optional<size_t> length = array_property_length(value);
        PyObject* target = nullptr;
        if (copy_arrays && length == n && !is_reserved_ase_array_key(key)) {
            target = arrays;
        } else if (copy_info) {
            target = info;
        }
        if (target == nullptr) continue;
        if (!set_item(target, key, numpy_output::property_value_to_pyobject(value))) return false;
    }
    return true;
}

bool append_view_ase_properties(const molecule::PyMoleculeObject* self, PyObject* arrays,
                                PyObject* info, bool copy_info, bool copy_arrays) {
    const auto* v = std::get_if<view::SoaMoleculeView>(&self->state);
    if (v == nullptr) return true;
    const size_t n = v->n_atoms();
    for (const view::LazySection& section : v->sections()) {
        auto key = v->lazy_section_key(section);
        if (!key.ok()) return fail_value_error(key.error());
        PyObject* target = nullptr;
        if (section.kind == dtypes::kKindAtomProperty) {
            if (copy_arrays && !is_reserved_ase_array_key(key.value())) target = arrays;
        } else if (section.kind == dtypes::kKindMolProperty) {
            const size_t elem = per_atom_element_size(section.type_tag);
            size_t expected = 0;
            const bool per_atom = elem != 0 && !__builtin_mul_overflow(n, elem, &expected) &&
                                  section.payload_len == expected;
            if (copy_arrays && per_atom && !is_reserved_ase_array_key(key.value())) {
                target = arrays;
            } else if (copy_info) {
                target = info;
            }
        }
        if (target == nullptr) continue;
        if (!set_item(target, key.value(), property_section_to_pyobject(*v, section))) {
            return false;
        }
    }
    return true;
}

PyObject* ase_builtin_tuple(const molecule::PyMoleculeObject* self, bool copy_info,
                            bool copy_arrays) {
    std::array<PyRef, kTupleSize> items;
    const auto* v = std::get_if<view::SoaMoleculeView>(&self->state);
    const bool built = v != nullptr ? view_builtins(*v, items)
                                    : owned_builtins(std::get<Molecule>(self->state), items);
    if (!built) return nullptr;

    if (v != nullptr && ((!copy_info && !copy_arrays) || v->sections().empty())) {
        items[9] = PyRef::borrow(Py_None);
        items[10] = PyRef::borrow(Py_None);
    } else {
        PyRef arrays = PyRef::steal(PyDict_New());
        if (!arrays) return nullptr;
        PyRef info = PyRef::steal(PyDict_New());
        if (!info) return nullptr;
        const bool filled =
            v != nullptr
                ? append_view_ase_properties(self, arrays.get(), info.get(), copy_info, copy_arrays)
                : append_owned_ase_properties(self, arrays.get(), info.get(), copy_info,
                                              copy_arrays);
        if (!filled) return nullptr;
        items[9] = PyDict_GET_SIZE(arrays.get()) == 0 ? PyRef::borrow(Py_None) : std::move(arrays);
        items[10] = PyDict_GET_SIZE(info.get()) == 0 ? PyRef::borrow(Py_None) : std::move(info);
    }

    PyRef tuple = PyRef::steal(PyTuple_New(kTupleSize));
    if (!tuple) return nullptr;
    for (size_t i = 0; i < kTupleSize; ++i) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), items[i].release());
    }
    return tuple.release();
}

PyObject* molecule_ase_builtin_tuple_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
    return ase_method(kTupleFastSig, self, args, nargs, kwnames);
}

PyObject* molecule_ase_payload(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return ase_method(kPayloadSig, self, args, nargs, kwnames);
}

}  // namespace kestrove_rs::ase_export
