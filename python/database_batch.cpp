// PyAtomDatabase.add_arrays_batch: stacked NumPy arrays cut into per-row records and appended in
// one append. Canonical built-in arrays are read in place; every other column is copied once.
#include "python/database_batch.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL kestrove_rs_ARRAY_API
#define NO_IMPORT_ARRAY
#include <numpy/arrayobject.h>

#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/storage/database.hpp"
#include "engine/storage/dtypes.hpp"
#include "engine/view/batch_record.hpp"
#include "platform/thread_pool.hpp"
#include "python/database.hpp"
#include "python/index_args.hpp"
#include "python/numpy_bridge.hpp"
#include "python/numpy_input.hpp"

namespace kestrove_rs::database::batch {

using binding::PyRef;
using kestrove::Bytes;
using kestrove::storage::DatabaseSchema;
using kestrove::storage::DatabaseSchemaSection;
using kestrove::storage::OwnedRecord;
using kestrove::view::SoaBuiltinSlices;
using kestrove::view::SoaSectionRef;
using kestrove::view::SoaTypedSlice;
using numpy::Dtype;
using numpy_input::PyFloatArray1;
using numpy_input::PyFloatArray2;
using numpy_input::PyFloatArray3;
using numpy_input::PyIntArray1;
namespace dtypes = kestrove::storage::dtypes;

namespace {

// Rows at and above this count are built on the worker pool.
constexpr size_t kParallelRows = 1024;

// A ValueError text; an empty optional means success.
using Failure = std::optional<std::string>;
// A failure whose exception is set already, to propagate as it is.
const Failure kRaised = std::string();

PyArrayObject* arr(PyObject* object) { return reinterpret_cast<PyArrayObject*>(object); }
bool is_typed_array(PyObject* value, int rank, Dtype dtype) {
    return numpy::is_array(value) && numpy::ndim(value) == rank &&
           numpy::match_dtype(value, {dtype}).has_value();
}
size_t dim(PyObject* a, int axis) { return static_cast<size_t>(PyArray_DIM(arr(a), axis)); }
bool c_contiguous(PyObject* a) { return PyArray_IS_C_CONTIGUOUS(arr(a)); }
const uint8_t* data_of(PyObject* a) { return static_cast<const uint8_t*>(PyArray_DATA(arr(a))); }

// One owned column of a batch call: the payloads of every row back to back, or one text per row.
struct BatchSectionColumn {
    std::string key;
    Bytes data;
    std::optional<std::vector<std::string>> strings;
    uint64_t slot_bytes = 0;
    uint8_t kind = 0;
    uint8_t type_tag = 0;
};

// A built-in field seen row by row: row i is bytes i*slot to (i+1)*slot - 1 from `base`, which
// points either into a borrowed NumPy buffer or into an owned column.
struct RowSource {
    const uint8_t* base = nullptr;
    uint64_t slot = 0;
    uint8_t type_tag = 0;

    std::span<const uint8_t> row(size_t i) const { return {base + i * slot, slot}; }
    SoaTypedSlice typed(size_t i) const { return {row(i), type_tag}; }
    bool operator==(const RowSource&) const = default;
};

// Everything the record builder reads, for every row. Borrowed pointers stay valid for the call.
struct BatchInput {
    size_t batch = 0;
    size_t n_atoms = 0;
    RowSource positions;
    RowSource numbers;
    // General path: the positions bytes of one row overflowed; refused once the columns are read.
    bool positions_overflow = false;
    std::optional<RowSource> energy, forces, charges, velocities, cell, stress, pbc;
    const std::vector<std::string>* names = nullptr;
    std::vector<BatchSectionColumn> custom;
};

// A column's rows as a source; texts are read from `strings` instead.
RowSource source_of(const BatchSectionColumn& column) {
    return {column.data.data(), column.slot_bytes, column.type_tag};
}

// The bytes of a C-contiguous array copied into an owned buffer.
Bytes copy_contiguous(PyObject* array) {
    const size_t bytes = static_cast<size_t>(PyArray_NBYTES(arr(array)));
    Bytes out(bytes);
    if (bytes != 0) std::memcpy(out.data(), data_of(array), bytes);
    return out;
}

// "(a, b, c)".
std::string shape_text(std::initializer_list<size_t> dims) {
    std::string text = "(";
    for (size_t d : dims) {
        if (text.size() > 1) text += ", ";
        text += std::to_string(d);
    }
    return text + ")";
}

// ---------------------------------------------------------------------------------------------
// Schema

DatabaseSchemaSection schema_section(uint8_t kind, const std::string& key, uint8_t type_tag,
                                     uint64_t slot_bytes) {
    DatabaseSchemaSection section;
    section.kind = kind;
    section.key = key;
    section.type_tag = type_tag;
    section.elem_bytes = dtypes::type_tag_elem_bytes(type_tag);
    section.per_atom = dtypes::is_per_atom_section(kind, key);
    section.slot_bytes = slot_bytes;
    return section;
}

// A built-in or custom column's section: per-atom sections count the bytes of one atom.
DatabaseSchemaSection schema_section_from_column(uint8_t kind, const std::string& key,
                                                 uint8_t type_tag, uint64_t slot_bytes) {
    uint64_t slot = slot_bytes;
    if (type_tag == dtypes::kTagString || type_tag == dtypes::kTagNull) {
        slot = 0;
    } else if (dtypes::is_per_atom_section(kind, key)) {
        slot = dtypes::type_tag_elem_bytes(type_tag);
    }
    return schema_section(kind, key, type_tag, slot);
}

DatabaseSchema build_schema(const BatchInput& in) {
    DatabaseSchema schema;
    schema.positions_type = in.positions.type_tag;
    auto add = [&](const std::optional<RowSource>& source, const char* key) {
        if (source) {
            schema.sections.push_back(schema_section_from_column(dtypes::kKindBuiltin, key,
                                                                 source->type_tag, source->slot));
        }
    };
    add(in.energy, "energy");
    add(in.forces, "forces");
    add(in.charges, "charges");
    add(in.velocities, "velocities");
    add(in.cell, "cell");
    add(in.stress, "stress");
    add(in.pbc, "pbc");
    if (in.names != nullptr)
        schema.sections.push_back(
            schema_section(dtypes::kKindBuiltin, "name", dtypes::kTagString, 0));
    for (const BatchSectionColumn& column : in.custom) {
        schema.sections.push_back(schema_section_from_column(column.kind, column.key,
                                                             column.type_tag, column.slot_bytes));
    }
    return schema;
}

// ---------------------------------------------------------------------------------------------
// Records

kestrove::Result<Bytes, std::string> build_row(const BatchInput& in, size_t i,
                                               std::vector<SoaSectionRef>& custom) {
    SoaBuiltinSlices builtins;
    if (in.energy) builtins.energy = in.energy->typed(i);
    if (in.forces) builtins.forces = in.forces->typed(i);
    if (in.charges) builtins.charges = in.charges->typed(i);
    if (in.velocities) builtins.velocities = in.velocities->typed(i);
    if (in.cell) builtins.cell = in.cell->typed(i);
    if (in.stress) builtins.stress = in.stress->typed(i);
    if (in.pbc) {
        // Any nonzero byte is true: a bool view of other bytes must not reach the record as is.
        const uint8_t* p = in.pbc->base + 3 * i;
        builtins.pbc =
            std::array<uint8_t, 3>{uint8_t{p[0] != 0}, uint8_t{p[1] != 0}, uint8_t{p[2] != 0}};
    }
    if (in.names != nullptr) builtins.name = std::string_view((*in.names)[i]);
    for (size_t c = 0; c < in.custom.size(); ++c) {
        const BatchSectionColumn& column = in.custom[c];
        if (column.strings) {
            const std::string& text = (*column.strings)[i];
            custom[c].payload = {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
        } else {
            custom[c].payload = source_of(column).row(i);
        }
    }
    return kestrove::view::build_soa_record_unchecked(in.positions.type_tag, in.positions.row(i),
                                                      in.numbers.row(i), builtins, custom);
}

// The custom section references of a row, payloads filled in per row by build_row.
std::vector<SoaSectionRef> custom_refs(const BatchInput& in) {
    std::vector<SoaSectionRef> refs(in.custom.size());
    for (size_t c = 0; c < in.custom.size(); ++c) {
        refs[c].key = in.custom[c].key;
        refs[c].kind = in.custom[c].kind;
        refs[c].type_tag = in.custom[c].type_tag;
    }
    return refs;
}

// Builds every row's record, in row order, and appends them with the call's schema. Null with
// ValueError set on failure, in which case nothing has been appended.
PyObject* build_and_append(kestrove::storage::AtomDatabase& db, const BatchInput& in) {
    DatabaseSchema schema = build_schema(in);
    std::vector<OwnedRecord> records(in.batch);
    const auto n_atoms = static_cast<uint32_t>(in.n_atoms);
    Failure failure;
    if (in.batch < kParallelRows) {
        std::vector<SoaSectionRef> refs = custom_refs(in);
        for (size_t i = 0; i < in.batch && !failure; ++i) {
            auto built = build_row(in, i, refs);
            if (!built.ok()) {
                failure = std::move(built).error();
            } else {
                records[i] = {std::move(built).value(), n_atoms};
            }
        }
    } else {
        // Each chunk stops at its first failing row; the failure kept is the lowest row's,
        // whichever worker met it first.
        const std::vector<SoaSectionRef> shared_refs = custom_refs(in);
        std::mutex mutex;
        size_t failed_row = in.batch;
        kestrove::platform::parallel_for(in.batch, 0, [&](size_t begin, size_t end) {
            std::vector<SoaSectionRef> refs = shared_refs;
            for (size_t i = begin; i < end; ++i) {
                auto built = build_row(in, i, refs);
                if (!built.ok()) {
                    std::lock_guard lock(mutex);
                    if (i < failed_row) {
                        failed_row = i;
                        failure = std::move(built).error();
                    }
                    return;
                }
                records[i] = {std::move(built).value(), n_atoms};
            }
        });
    }
    if (failure) return binding::raise(PyExc_ValueError, *failure);
    // Atom counts beyond 32 bits never get here: the record builder refuses them.
    auto appended = binding::without_lock([&] {
        return db.add_owned_soa_records_with_schema(std::move(records), std::move(schema));
    });
    if (!appended.ok()) return binding::raise_engine_error(appended.error());
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------------------------
// Custom columns

Failure push_unique_key(std::unordered_set<std::string>& keys, const std::string& key,
                        const char* label) {
    if (!keys.insert(key).second) {
        return "Duplicate custom key '" + key + "' across batched " + label + " inputs";
    }
    return std::nullopt;
}

// A 2-D array of one of the four matrix element types; nothing when it is of none.
std::optional<Dtype> matrix_dtype(PyObject* value) {
    if (!numpy::is_array(value) || numpy::ndim(value) != 2) return std::nullopt;
    return numpy::match_dtype(value,
                              {Dtype::kFloat32, Dtype::kFloat64, Dtype::kInt64, Dtype::kInt32});
}

Failure extract_matrix_column(PyObject* array, Dtype dtype, size_t batch, const std::string& key,
                              uint8_t kind, BatchSectionColumn& out) {
    if (dim(array, 0) != batch) {
        return "custom property '" + key + "' must have shape (" + std::to_string(batch) + ", k)";
    }
    if (!c_contiguous(array)) return "custom property '" + key + "' must be C-contiguous";
    uint8_t tag = 0;
    switch (dtype) {
        case Dtype::kFloat32:
            tag = dtypes::kTagF32Array;
            break;
        case Dtype::kFloat64:
            tag = dtypes::kTagF64Array;
            break;
        case Dtype::kInt64:
            tag = dtypes::kTagI64Array;
            break;
        default:
            tag = dtypes::kTagI32Array;
            break;
    }
    out = {key,          copy_contiguous(array),
           std::nullopt, dim(array, 1) * numpy::dtype_size(dtype),
           kind,         tag};
    return std::nullopt;
}

Failure extract_vec3_column(const PyFloatArray3& array, size_t batch, size_t dim1,
                            const std::string& key, uint8_t kind, const char* label,
                            BatchSectionColumn& out) {
    PyObject* a = array.get();
    if (dim(a, 0) != batch || dim(a, 1) != dim1 || dim(a, 2) != 3) {
        return "custom property '" + key + "' must have shape (" + std::to_string(batch) + ", " +
               std::to_string(dim1) + ", 3) for " + label;
    }
    if (!c_contiguous(a)) return "custom property '" + key + "' must be C-contiguous";
    const bool f32 = array.is_first();
    out = {key,          copy_contiguous(a),
           std::nullopt, dim1 * (f32 ? 12u : 24u),
           kind,         f32 ? dtypes::kTagVec3F32 : dtypes::kTagVec3F64};
    return std::nullopt;
}

// Every value of a 1-D numeric array as 8-byte little-endian values: doubles for float arrays,
// int64 for integer ones, read through the array's strides.
template <class From, class To>
Bytes widen_1d(PyObject* array) {
    std::vector<From> values = numpy_input::copy_array<From>(array);
    Bytes out(values.size() * sizeof(To));
    for (size_t i = 0; i < values.size(); ++i) {
        const To wide = static_cast<To>(values[i]);
        std::memcpy(out.data() + i * sizeof(To), &wide, sizeof(To));
    }
    return out;
}

// The length of `value` when it is a sequence, not a str, whose items are all str; nothing for any
// other value. An exception of the value's own code (__len__, __getitem__) means it is no list of
// texts, and is dropped, unless it is no Exception (KeyboardInterrupt, SystemExit): nothing is
// returned then with it set, to propagate. The texts go to `texts` only when there are `batch` of
// them: nothing is allocated on the word of the length a sequence claims. Arrays other than str,
// object or StringDType ones are passed over without looking at their items, never str.
std::optional<size_t> text_items(PyObject* value, size_t batch, std::vector<std::string>& texts) {
    if (PyUnicode_Check(value) || !PySequence_Check(value)) return std::nullopt;
    if (numpy::is_array(value)) {
        const int type = PyArray_TYPE(arr(value));
        if (type != NPY_UNICODE && type != NPY_OBJECT && type != NPY_VSTRING) return std::nullopt;
    }
    const Py_ssize_t n = PySequence_Size(value);
    if (n < 0) return binding::discard_failed_attempt(), std::nullopt;
    const bool keep = static_cast<size_t>(n) == batch;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyRef item = PyRef::steal(PySequence_GetItem(value, i));
        if (!item) return binding::discard_failed_attempt(), std::nullopt;
        if (!PyUnicode_Check(item.get())) return std::nullopt;
        Py_ssize_t len = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item.get(), &len);
        if (utf8 == nullptr) return binding::discard_failed_attempt(), std::nullopt;
        if (keep) texts.emplace_back(utf8, static_cast<size_t>(len));
    }
    return static_cast<size_t>(n);
}

std::string length_mismatch(const std::string& key, size_t length, size_t batch) {
    return "custom property '" + key + "' length (" + std::to_string(length) +
           ") doesn't match batch size (" + std::to_string(batch) + ")";
}

// A classified 1-D array of `Narrow` or `Wide` elements as one `Wide` value per molecule.
template <class Narrow, class Wide, class Classified>
Failure widened_column(const Classified& array, size_t batch, const std::string& key, uint8_t tag,
                       BatchSectionColumn& out) {
    const size_t n = dim(array.get(), 0);
    if (n != batch) return length_mismatch(key, n, batch);
    Bytes data =
        array.is_first() ? widen_1d<Narrow, Wide>(array.get()) : widen_1d<Wide, Wide>(array.get());
    out = {key, std::move(data), std::nullopt, sizeof(Wide), dtypes::kKindMolProperty, tag};
    return std::nullopt;
}

Failure molecule_column(PyObject* value, size_t batch, const std::string& key,
                        BatchSectionColumn& out) {
    std::vector<std::string> texts;
    if (auto length = text_items(value, batch, texts)) {
        if (*length != batch) return length_mismatch(key, *length, batch);
        out = {key, {}, std::move(texts), 0, dtypes::kKindMolProperty, dtypes::kTagString};
        return std::nullopt;
    }
    if (PyErr_Occurred()) return kRaised;
    if (auto floats = PyFloatArray1::from_any(value); floats.matched()) {
        return widened_column<float, double>(floats, batch, key, dtypes::kTagF64, out);
    }
    if (auto ints = PyIntArray1::from_any(value); ints.matched()) {
        return widened_column<int32_t, int64_t>(ints, batch, key, dtypes::kTagI64, out);
    }
    if (auto dtype = matrix_dtype(value)) {
        return extract_matrix_column(value, *dtype, batch, key, dtypes::kKindMolProperty, out);
    }
    if (auto vec3 = PyFloatArray3::from_any(value);
        vec3.matched() && dim(vec3.get(), 0) == batch && dim(vec3.get(), 2) == 3) {
        return extract_vec3_column(vec3, batch, dim(vec3.get(), 1), key, dtypes::kKindMolProperty,
                                   "molecule properties", out);
    }
    return "Unsupported batched property '" + key +
           "' type. Supported: list[str], 1D numeric arrays, 2D numeric arrays, or 3D float "
           "arrays with trailing dimension 3";
}

Failure atom_column(PyObject* value, size_t batch, size_t n_atoms, const std::string& key,
                    BatchSectionColumn& out) {
    if (auto dtype = matrix_dtype(value)) {
        if (Failure failure =
                extract_matrix_column(value, *dtype, batch, key, dtypes::kKindAtomProperty, out)) {
            return failure;
        }
        if (dim(value, 1) != n_atoms) {
            return "atom property '" + key + "' must have shape " + shape_text({batch, n_atoms});
        }
        return std::nullopt;
    }
    if (auto vec3 = PyFloatArray3::from_any(value); vec3.matched()) {
        return extract_vec3_column(vec3, batch, n_atoms, key, dtypes::kKindAtomProperty,
                                   "atom properties", out);
    }
    return "Unsupported batched atom property '" + key +
           "' type. Supported: 2D numeric arrays with shape (batch, n_atoms) or 3D float arrays "
           "with shape (batch, n_atoms, 3)";
}

// The (key, value) pairs of a dict, referenced, in iteration order. Taken before any value is
// read: reading one runs its code, which may change the dict, and a dict changed under
// PyDict_Next can skip keys. A dict subclass's own iteration methods are not called.
std::vector<std::pair<PyRef, PyRef>> dict_items(PyObject* dict) {
    std::vector<std::pair<PyRef, PyRef>> items;
    if (binding::is_absent(dict)) return items;
    items.reserve(static_cast<size_t>(PyDict_GET_SIZE(dict)));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        items.emplace_back(PyRef::borrow(key), PyRef::borrow(value));
    }
    return items;
}

// The custom columns of both dictionaries, per-molecule first, each in iteration order. False
// with the exception set on failure.
bool extract_custom_columns(PyObject* properties, PyObject* atom_properties, size_t batch,
                            size_t n_atoms, std::vector<BatchSectionColumn>& out) {
    const std::vector<std::pair<PyRef, PyRef>> dicts[2] = {dict_items(properties),
                                                           dict_items(atom_properties)};
    std::unordered_set<std::string> keys;
    for (int per_atom = 0; per_atom < 2; ++per_atom) {
        for (const auto& [py_key, value] : dicts[per_atom]) {
            std::string key;
            if (!binding::extract_str(py_key.get(), key)) return false;
            Failure failure;
            if (key == "stress") {
                failure = "'stress' is a reserved field; use the builtin stress argument instead";
            } else {
                failure = push_unique_key(keys, key, per_atom ? "atom property" : "property");
            }
            BatchSectionColumn column;
            if (!failure) {
                failure = per_atom ? atom_column(value.get(), batch, n_atoms, key, column)
                                   : molecule_column(value.get(), batch, key, column);
            }
            if (failure) {
                if (!PyErr_Occurred()) binding::raise(PyExc_ValueError, *failure);
                return false;
            }
            out.push_back(std::move(column));
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Built-in columns

// The checked arguments of one call. The arrays are referenced by the caller's argument vector.
struct BatchArgs {
    PyObject* positions;
    PyObject* atomic_numbers;
    PyObject* energy;
    PyObject* forces;
    PyObject* charges;
    PyObject* velocities;
    PyObject* cell;
    PyObject* stress;
    PyObject* pbc;
    std::optional<std::vector<std::string>> names;
    PyObject* properties;
    PyObject* atom_properties;
};

bool given(PyObject* value) { return !binding::is_absent(value); }

// The binding layer's conversions of atomic_numbers and of pbc (None or absent passes).
bool numbers_convertible(PyObject* value) { return is_typed_array(value, 2, Dtype::kUInt8); }
bool pbc_convertible(PyObject* value) {
    return !given(value) || is_typed_array(value, 2, Dtype::kBool);
}

// A 3-D float positions array: its last dimension 3 and C-contiguous.
Failure check_positions(PyObject* positions) {
    if (dim(positions, 2) != 3) return std::string("positions must have shape (batch, n_atoms, 3)");
    if (!c_contiguous(positions)) return std::string("positions must be C-contiguous");
    return std::nullopt;
}

Failure check_numbers(PyObject* numbers, size_t batch, size_t n_atoms) {
    if (dim(numbers, 0) != batch || dim(numbers, 1) != n_atoms) {
        return "atomic_numbers must have shape " + shape_text({batch, n_atoms});
    }
    if (!c_contiguous(numbers)) return std::string("atomic_numbers must be C-contiguous");
    return std::nullopt;
}

Failure check_pbc(PyObject* pbc, size_t batch) {
    if (dim(pbc, 0) != batch || dim(pbc, 1) != 3) {
        return "pbc must have shape " + shape_text({batch, 3});
    }
    return std::nullopt;
}

Failure check_names(const std::optional<std::vector<std::string>>& names, size_t batch) {
    if (names && names->size() != batch) {
        return "name length (" + std::to_string(names->size()) + ") doesn't match batch size (" +
               std::to_string(batch) + ")";
    }
    return std::nullopt;
}

// The pbc bytes of every row, read through the array's strides; build_row stores each as 0 or 1.
Bytes pbc_bytes(PyObject* pbc) {
    Bytes out(static_cast<size_t>(numpy::size(pbc)));
    numpy::copy_logical(pbc, out.data(), out.size());
    return out;
}

// A built-in array of exactly `shape` (its length, for one dimension) and C-contiguous.
Failure check_rows(PyObject* value, const std::string& name, std::initializer_list<size_t> shape) {
    int axis = 0;
    for (size_t d : shape) {
        if (dim(value, axis++) == d) continue;
        if (shape.size() == 1) {
            return name + " length (" + std::to_string(dim(value, 0)) +
                   ") doesn't match batch size (" + std::to_string(d) + ")";
        }
        return name + " must have shape " + shape_text(shape);
    }
    if (!c_contiguous(value)) return name + " must be C-contiguous";
    return std::nullopt;
}

// Owned storage of the general path, kept alive while the records are built.
struct OwnedColumns {
    Bytes positions, numbers, pbc;
    std::vector<BatchSectionColumn> builtins;
};

// A float array of exactly `shape`, copied into a built-in column tagged `tag32` or `tag64`.
Failure builtin_float_column(PyObject* value, const char* name, std::initializer_list<size_t> shape,
                             const char* type_shape, uint8_t tag32, uint8_t tag64,
                             OwnedColumns& owned, std::optional<RowSource>& out) {
    std::optional<Dtype> dtype;
    if (numpy::is_array(value) && numpy::ndim(value) == static_cast<int>(shape.size())) {
        dtype = numpy::match_dtype(value, {Dtype::kFloat32, Dtype::kFloat64});
    }
    const std::string field = name;
    if (!dtype) return field + " must be a float32 or float64 ndarray with shape " + type_shape;
    if (Failure failure = check_rows(value, field, shape)) return failure;
    const bool f32 = *dtype == Dtype::kFloat32;
    size_t per_row = numpy::dtype_size(*dtype);
    auto it = shape.begin();
    for (++it; it != shape.end(); ++it) per_row *= *it;
    BatchSectionColumn& column = owned.builtins.emplace_back();
    const uint8_t tag = f32 ? tag32 : tag64;
    column = {field, copy_contiguous(value), std::nullopt, per_row, dtypes::kKindBuiltin, tag};
    out = source_of(column);
    return std::nullopt;
}

// The general path: every column copied once in the precision supplied.
Failure general_columns(const BatchArgs& a, BatchInput& in, OwnedColumns& owned) {
    auto positions = PyFloatArray3::from_any(a.positions);
    if (!positions.matched()) {
        return std::string(
            "positions must be a float32 or float64 ndarray with shape (batch, n_atoms, 3)");
    }
    if (Failure failure = check_positions(a.positions)) return failure;
    in.batch = dim(a.positions, 0);
    in.n_atoms = dim(a.positions, 1);
    const size_t batch = in.batch, n = in.n_atoms;
    const bool f32 = positions.is_first();
    owned.positions = copy_contiguous(a.positions);
    if (Failure failure = check_numbers(a.atomic_numbers, batch, n)) return failure;
    owned.numbers = copy_contiguous(a.atomic_numbers);
    // The positions bytes of one row; overflow is refused before any record is built.
    uint64_t row_bytes = 0;
    in.positions_overflow =
        __builtin_mul_overflow(static_cast<uint64_t>(n), f32 ? 12u : 24u, &row_bytes);
    in.positions = {owned.positions.data(), row_bytes,
                    f32 ? dtypes::kTagVec3F32 : dtypes::kTagVec3F64};
    in.numbers = {owned.numbers.data(), n, 0};
    // The column vector must not reallocate once sources point into it.
    owned.builtins.reserve(7);
    if (given(a.energy)) {
        if (Failure failure =
                builtin_float_column(a.energy, "energy", {batch}, "(batch,)", dtypes::kTagF32,
                                     dtypes::kTagF64, owned, in.energy)) {
            return failure;
        }
    }
    const char* vec3 = "(batch, n_atoms, 3)";
    if (given(a.forces)) {
        if (Failure failure =
                builtin_float_column(a.forces, "forces", {batch, n, 3}, vec3, dtypes::kTagVec3F32,
                                     dtypes::kTagVec3F64, owned, in.forces)) {
            return failure;
        }
    }
    if (given(a.charges)) {
        if (Failure failure = builtin_float_column(a.charges, "charges", {batch, n},
                                                   "(batch, n_atoms)", dtypes::kTagF32Array,
                                                   dtypes::kTagF64Array, owned, in.charges)) {
            return failure;
        }
    }
    if (given(a.velocities)) {
        if (Failure failure = builtin_float_column(a.velocities, "velocities", {batch, n, 3}, vec3,
                                                   dtypes::kTagVec3F32, dtypes::kTagVec3F64, owned,
                                                   in.velocities)) {
            return failure;
        }
    }
    const char* mat3 = "(batch, 3, 3)";
    if (given(a.cell)) {
        if (Failure failure =
                builtin_float_column(a.cell, "cell", {batch, 3, 3}, mat3, dtypes::kTagMat3F32,
                                     dtypes::kTagMat3F64, owned, in.cell)) {
            return failure;
        }
    }
    if (given(a.stress)) {
        if (Failure failure =
                builtin_float_column(a.stress, "stress", {batch, 3, 3}, mat3, dtypes::kTagMat3F32,
                                     dtypes::kTagMat3F64, owned, in.stress)) {
            return failure;
        }
    }
    if (given(a.pbc)) {
        if (Failure failure = check_pbc(a.pbc, batch)) return failure;
        owned.pbc = pbc_bytes(a.pbc);
        in.pbc = RowSource{owned.pbc.data(), 3, dtypes::kTagBool3};
    }
    return check_names(a.names, batch);
}

// Whether the fast canonical path takes the call: every given built-in of canonical precision.
bool fast_eligible(const BatchArgs& a) {
    if (!is_typed_array(a.positions, 3, Dtype::kFloat32)) return false;
    if (given(a.energy) && !is_typed_array(a.energy, 1, Dtype::kFloat64)) return false;
    if (given(a.forces) && !is_typed_array(a.forces, 3, Dtype::kFloat32)) return false;
    if (given(a.charges) && !is_typed_array(a.charges, 2, Dtype::kFloat64)) return false;
    if (given(a.velocities) && !is_typed_array(a.velocities, 3, Dtype::kFloat32)) return false;
    return true;
}

enum class Fast { kDeclined, kReady, kFailed };

// A borrowed, C-contiguous array of exactly `shape`, as a row source.
Failure borrow_rows(PyObject* value, const std::string& name, std::initializer_list<size_t> shape,
                    uint64_t slot, uint8_t tag, std::optional<RowSource>& out) {
    if (Failure failure = check_rows(value, name, shape)) return failure;
    out = RowSource{data_of(value), slot, tag};
    return std::nullopt;
}

// The fast canonical path: built-in arrays read in place. kDeclined leaves `in` to the general
// path; kFailed sets `failure`.
Fast fast_columns(const BatchArgs& a, BatchInput& in, Failure& failure) {
    if (!fast_eligible(a)) return Fast::kDeclined;
    auto fail = [&](Failure f) {
        failure = std::move(f);
        return Fast::kFailed;
    };
    if (Failure f = check_positions(a.positions)) return fail(std::move(f));
    const size_t batch = dim(a.positions, 0), n = dim(a.positions, 1);
    if (Failure f = check_numbers(a.atomic_numbers, batch, n)) return fail(std::move(f));
    std::optional<RowSource> energy, forces, charges, velocities, cell, stress, pbc;
    if (given(a.energy)) {
        if (Failure f = borrow_rows(a.energy, "energy", {batch}, 8, dtypes::kTagF64, energy)) {
            return fail(std::move(f));
        }
    }
    if (given(a.forces)) {
        if (Failure f = borrow_rows(a.forces, "forces", {batch, n, 3}, n * 12, dtypes::kTagVec3F32,
                                    forces)) {
            return fail(std::move(f));
        }
    }
    if (given(a.charges)) {
        if (Failure f = borrow_rows(a.charges, "charges", {batch, n}, n * 8, dtypes::kTagF64Array,
                                    charges)) {
            return fail(std::move(f));
        }
    }
    if (given(a.velocities)) {
        if (Failure f = borrow_rows(a.velocities, "velocities", {batch, n, 3}, n * 12,
                                    dtypes::kTagVec3F32, velocities)) {
            return fail(std::move(f));
        }
    }
    // A cell or stress of another kind than a 3-D float array declines here.
    auto mat3 = [&](PyObject* value, const char* name, std::optional<RowSource>& out) -> Fast {
        auto classified = PyFloatArray3::from_any(value);
        if (!classified.matched()) return Fast::kDeclined;
        const bool f32 = classified.is_first();
        if (Failure f = borrow_rows(value, name, {batch, 3, 3}, f32 ? 36 : 72,
                                    f32 ? dtypes::kTagMat3F32 : dtypes::kTagMat3F64, out)) {
            return fail(std::move(f));
        }
        return Fast::kReady;
    };
    if (given(a.cell)) {
        if (Fast r = mat3(a.cell, "cell", cell); r != Fast::kReady) return r;
    }
    if (given(a.stress)) {
        if (Fast r = mat3(a.stress, "stress", stress); r != Fast::kReady) return r;
    }
    if (given(a.pbc)) {
        if (Failure f = check_pbc(a.pbc, batch)) return fail(std::move(f));
        if (!c_contiguous(a.pbc)) return fail(std::string("pbc must be C-contiguous"));
        // NumPy bools are single bytes, read in place; build_row writes each as 0 or 1.
        pbc = RowSource{data_of(a.pbc), 3, dtypes::kTagBool3};
    }
    if (Failure f = check_names(a.names, batch)) return fail(std::move(f));
    in.batch = batch;
    in.n_atoms = n;
    in.positions = {data_of(a.positions), n * 12, dtypes::kTagVec3F32};
    in.numbers = {data_of(a.atomic_numbers), n, 0};
    in.energy = energy;
    in.forces = forces;
    in.charges = charges;
    in.velocities = velocities;
    in.cell = cell;
    in.stress = stress;
    in.pbc = pbc;
    return Fast::kReady;
}

// Whether the built-in arrays borrowed by the fast canonical path still have the element types,
// shapes, layouts and buffers they were checked with. Python code may have changed them since:
// a new dtype or shape, or a buffer freed by resize(refcheck=False).
bool fast_rows_unchanged(const BatchArgs& a, const BatchInput& in) {
    if (!numbers_convertible(a.atomic_numbers) || !pbc_convertible(a.pbc)) return false;
    BatchInput now;
    Failure failure;
    if (fast_columns(a, now, failure) != Fast::kReady) return false;
    return now.batch == in.batch && now.n_atoms == in.n_atoms && now.positions == in.positions &&
           now.numbers == in.numbers && now.energy == in.energy && now.forces == in.forces &&
           now.charges == in.charges && now.velocities == in.velocities && now.cell == in.cell &&
           now.stress == in.stress && now.pbc == in.pbc;
}

PyObject* add_arrays_batch_impl(kestrove::storage::AtomDatabase& db, const BatchArgs& args) {
    BatchInput in;
    OwnedColumns owned;
    Failure failure;
    Fast fast = fast_columns(args, in, failure);
    if (fast == Fast::kDeclined) {
        in = BatchInput{};
        failure = general_columns(args, in, owned);
    }
    if (failure) return binding::raise(PyExc_ValueError, *failure);
    if (args.names) in.names = &*args.names;
    if (!extract_custom_columns(args.properties, args.atom_properties, in.batch, in.n_atoms,
                                in.custom)) {
        return nullptr;
    }
    // Reading the custom values ran Python code; the general path has copied its arrays already.
    if (fast == Fast::kReady && (given(args.properties) || given(args.atom_properties)) &&
        !fast_rows_unchanged(args, in)) {
        return binding::raise(PyExc_RuntimeError,
                              "a built-in array changed while the custom properties were read");
    }
    if (in.positions_overflow) {
        return binding::raise(PyExc_ValueError, "positions byte length overflow");
    }
    return build_and_append(db, in);
}

// ---------------------------------------------------------------------------------------------
// Argument conversion

// The texts of the name argument; false with TypeError set.
bool extract_names(PyObject* sequence, std::vector<std::string>& out) {
    return for_each_item(
        sequence, [&](PyRef item) { return binding::extract_str(item.get(), out.emplace_back()); });
}

constexpr binding::Param kParams[] = {
    {"positions", true, false}, {"atomic_numbers", true, false}, {"energy", false, true},
    {"forces", false, true},    {"charges", false, true},        {"velocities", false, true},
    {"cell", false, true},      {"stress", false, true},         {"pbc", false, true},
    {"name", false, true},      {"properties", false, true},     {"atom_properties", false, true},
};
constexpr binding::Signature kSig{"PyAtomDatabase.add_arrays_batch()", kParams};

}  // namespace

PyObject* add_arrays_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return binding::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        binding::BoundArgs<12> bound(kSig);
        if (!bound.bind(args, nargs, kwnames)) return nullptr;
        auto* object = reinterpret_cast<PyAtomDatabaseObject*>(self);
        binding::BorrowGuard borrow;
        if (!borrow.acquire_exclusive(object->borrow)) return nullptr;
        // atomic_numbers, then pbc; false with the TypeError naming the first that fails.
        auto convert_arrays = [&] {
            const size_t failing = !numbers_convertible(bound[1]) ? 1
                                   : !pbc_convertible(bound[8])   ? 8
                                                                  : 0;
            if (failing == 0) return true;
            binding::set_cannot_convert(bound[failing], "PyArray<T, D>");
            bound.failed(failing);
            return false;
        };
        if (!convert_arrays()) return nullptr;
        BatchArgs batch_args{bound[0], bound[1], bound[2], bound[3],     bound[4],  bound[5],
                             bound[6], bound[7], bound[8], std::nullopt, bound[10], bound[11]};
        if (bound.present(9)) {
            if (!extract_names(bound[9], batch_args.names.emplace())) return bound.failed(9);
            // Reading the names ran Python code, which may have changed either array.
            if (!convert_arrays()) return nullptr;
        }
        for (size_t i : {size_t{10}, size_t{11}}) {
            if (bound.present(i) && !PyDict_Check(bound[i])) {
                binding::set_cannot_convert(bound[i], "PyDict");
                return bound.failed(i);
            }
        }
        return add_arrays_batch_impl(*object->db, batch_args);
    });
}

}  // namespace kestrove_rs::database::batch
