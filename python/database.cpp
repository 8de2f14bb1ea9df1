// PyAtomDatabase: the Python handle on one database file.
#include "python/database.hpp"

#include <deque>
#include <string>
#include <vector>

#include "engine/compression.hpp"
#include "engine/storage/stored_records.hpp"
#include "engine/view/record_view.hpp"
#include "platform/file.hpp"
#include "platform/thread_pool.hpp"
#include "python/database_batch.hpp"
#include "python/database_flat.hpp"
#include "python/index_args.hpp"
#include "python/molecule.hpp"

namespace kestrove_rs::database {

using binding::PyRef;
using kestrove::Error;
using kestrove::storage::AtomDatabase;
using kestrove::storage::StoredRecords;
using kestrove::storage::index::MoleculeIndex;
using kestrove::view::SoaContext;
using kestrove::view::SoaMoleculeView;
using molecule::PyMoleculeObject;

PyTypeObject* PyAtomDatabase_Type = nullptr;

namespace {

PyAtomDatabaseObject* as_db(PyObject* self) {
    return reinterpret_cast<PyAtomDatabaseObject*>(self);
}

PyObject* wrap(PyTypeObject* type, AtomDatabase db) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    PyAtomDatabaseObject* object = as_db(self);
    new (&object->borrow) binding::BorrowFlag();
    new (&object->db) std::optional<AtomDatabase>(std::move(db));
    return self;
}

void database_dealloc(PyObject* self) {
    // Dropping the database closes its handles and map shares; it never flushes.
    as_db(self)->db.~optional();
    binding::free_instance(self);
}

// "none", "lz4" or "zstd" in any case, as a compression kind; -1 for anything else.
int compression_kind(PyObject* name) {
    // An exact str copy, so that a subclass's own lower() is never called: it could return
    // anything, or accept a name that is not one of the three.
    PyRef text = PyRef::steal(PyUnicode_FromObject(name));
    if (!text) return -2;
    PyRef lowered = PyRef::steal(PyObject_CallMethod(text.get(), "lower", nullptr));
    if (!lowered) return -2;
    static constexpr const char* kNames[] = {"none", "lz4", "zstd"};
    for (int kind = 0; kind < 3; ++kind) {
        if (PyUnicode_CompareWithASCIIString(lowered.get(), kNames[kind]) == 0) return kind;
    }
    return -1;
}

constexpr binding::Param kNewParams[] = {{"path", true, false},
                                         {"compression", false, false},
                                         {"level", false, false},
                                         {"overwrite", false, false}};
constexpr binding::Signature kNewSig{"PyAtomDatabase.__new__()", kNewParams};

PyObject* database_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return binding::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        binding::BoundArgs<4> bound(kNewSig);
        if (!bound.bind(args, kwargs)) return nullptr;
        std::string path, compression = "none";
        int32_t level = 3;
        bool overwrite = false;
        if (!bound.convert(0, binding::extract_str, path) ||
            !bound.convert_optional(1, binding::extract_str, compression) ||
            !bound.convert_optional(2, binding::extract_i32, level) ||
            !bound.convert_optional(3, binding::extract_bool, overwrite)) {
            return nullptr;
        }

        int kind = 0;
        if (bound.present(1)) {
            kind = compression_kind(bound[1]);
            if (kind == -2) return nullptr;
            if (kind < 0) return binding::raise(PyExc_ValueError, "Invalid compression type");
        }

        // The check comes first, and the creation refuses a file made after it just the same:
        // another process may create the path in between.
        auto refuse_existing = [&] {
            return binding::raise(
                PyExc_FileExistsError,
                "Database file already exists at '" + path +
                    "'. Use Database.open(path) for read-only access, Database.open(path, "
                    "mmap=False) to append, or pass overwrite=True to recreate it.");
        };
        if (!overwrite && kestrove::platform::path_exists(path)) return refuse_existing();
        // A replacement is a new file rather than the old one cut to nothing: live maps of the
        // old file (other databases, lazy molecules, other processes) keep reading its contents
        // instead of faulting on pages that no longer exist.
        auto created = AtomDatabase::create_with_format(
            path, static_cast<uint32_t>(kind), level,
            overwrite ? AtomDatabase::ExistingFile::kReplace : AtomDatabase::ExistingFile::kRefuse);
        if (!created.ok()) {
            if (!overwrite && created.error().os_code() == EEXIST) return refuse_existing();
            return binding::raise_engine_error(created.error());
        }
        return wrap(type, std::move(created).value());
    });
}

constexpr binding::Param kOpenParams[] = {
    {"path", true, false}, {"mmap", false, false}, {"populate", false, false}};
constexpr binding::Signature kOpenSig{"PyAtomDatabase.open()", kOpenParams};

PyObject* database_open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        binding::BoundArgs<3> bound(kOpenSig);
        if (!bound.bind(args, nargs, kwnames)) return nullptr;
        std::string path;
        bool mmap = true, populate = false;
        if (!bound.convert(0, binding::extract_str, path) ||
            !bound.convert_optional(1, binding::extract_bool, mmap) ||
            !bound.convert_optional(2, binding::extract_bool, populate)) {
            return nullptr;
        }
        if (populate && !mmap) {
            return binding::raise(PyExc_ValueError, "populate=True requires mmap=True");
        }
        auto opened = AtomDatabase::open_with_options(std::move(path), mmap, populate);
        if (!opened.ok()) return binding::raise_engine_error(opened.error());
        return wrap(PyAtomDatabase_Type, std::move(opened).value());
    });
}

// ---------------------------------------------------------------------------------------------
// Argument conversions of the add and get methods

// Molecule arguments, each referenced and shared-borrowed until the call returns.
class MoleculeArgs {
public:
    [[nodiscard]] bool add(PyRef object) {
        if (!PyObject_TypeCheck(object.get(), molecule::PyMolecule_Type)) {
            binding::set_cannot_convert(object.get(), "PyMolecule");
            return false;
        }
        auto* mol = reinterpret_cast<PyMoleculeObject*>(object.get());
        if (!borrows_.emplace_back().acquire_shared(mol->borrow)) return false;
        refs_.push_back(std::move(object));
        molecules_.push_back(mol);
        return true;
    }
    const std::vector<PyMoleculeObject*>& molecules() const { return molecules_; }

private:
    // Declared before the borrows so that they are released first, while the objects live.
    std::vector<PyRef> refs_;
    std::deque<binding::BorrowGuard> borrows_;
    std::vector<PyMoleculeObject*> molecules_;
};

// ---------------------------------------------------------------------------------------------
// Adding molecules

const SoaMoleculeView* lazy_view(const PyMoleculeObject* mol) {
    return std::get_if<SoaMoleculeView>(&mol->state);
}

kestrove::storage::BorrowedRecord raw_item(const SoaMoleculeView& view) {
    return {view.bytes(), static_cast<uint32_t>(view.n_atoms())};
}

// Appends lazy molecules as their stored bytes: under the first one's schema when every layout
// matches it, else each with its own positions type. False with an exception set on failure.
bool append_lazy(AtomDatabase& db, const std::vector<const SoaMoleculeView*>& views) {
    bool same = true;
    for (size_t i = 1; i < views.size() && same; ++i) {
        auto compared = views[i]->same_schema_as(*views[0]);
        if (!compared.ok()) return binding::raise(PyExc_ValueError, compared.error()), false;
        same = compared.value();
    }
    kestrove::Status appended;
    if (same) {
        auto schema = views[0]->database_schema();
        if (!schema.ok()) return binding::raise(PyExc_ValueError, schema.error()), false;
        std::vector<kestrove::storage::BorrowedRecord> items;
        items.reserve(views.size());
        for (const SoaMoleculeView* view : views) items.push_back(raw_item(*view));
        appended = db.add_raw_soa_records_with_schema(items, schema.value());
    } else {
        std::vector<kestrove::storage::TypedRecord> items;
        items.reserve(views.size());
        for (const SoaMoleculeView* view : views) {
            items.push_back({view->bytes(), static_cast<uint32_t>(view->n_atoms()),
                             view->positions_type_tag()});
        }
        appended = db.add_raw_soa_records_with_positions_type(items);
    }
    if (!appended.ok()) return binding::raise_engine_error(appended.error()), false;
    return true;
}

constexpr binding::Param kAddMoleculeParams[] = {{"molecule", true, false}};
constexpr binding::Signature kAddMoleculeSig{"PyAtomDatabase.add_molecule()", kAddMoleculeParams};

PyObject* database_add_molecule(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return binding::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        binding::BoundArgs<1> bound(kAddMoleculeSig);
        if (!bound.bind(args, nargs, kwnames)) return nullptr;
        binding::BorrowGuard borrow;
        if (!borrow.acquire_exclusive(as_db(self)->borrow)) return nullptr;
        MoleculeArgs molecules;
        if (!molecules.add(PyRef::borrow(bound[0]))) return bound.failed(0);
        const PyMoleculeObject* mol = molecules.molecules()[0];
        AtomDatabase& db = *as_db(self)->db;
        if (const SoaMoleculeView* view = lazy_view(mol)) {
            if (!append_lazy(db, {view})) return nullptr;
            Py_RETURN_NONE;
        }
        auto copy = molecule::clone_as_owned(mol);
        if (!copy) return nullptr;
        auto added = db.add_molecule(*copy);
        if (!added.ok()) return binding::raise_engine_error(added.error());
        Py_RETURN_NONE;
    });
}

constexpr binding::Param kAddMoleculesParams[] = {{"molecules", true, false}};
constexpr binding::Signature kAddMoleculesSig{"PyAtomDatabase.add_molecules()",
                                              kAddMoleculesParams};

PyObject* database_add_molecules(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return binding::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        binding::BoundArgs<1> bound(kAddMoleculesSig);
        if (!bound.bind(args, nargs, kwnames)) return nullptr;
        binding::BorrowGuard borrow;
        if (!borrow.acquire_exclusive(as_db(self)->borrow)) return nullptr;
        MoleculeArgs molecules;
        if (!for_each_item(bound[0], [&](PyRef item) { return molecules.add(std::move(item)); })) {
            return bound.failed(0);
        }

        // Lazy molecules are appended first, then owned ones, each group in list order.
        std::vector<const SoaMoleculeView*> views;
        std::vector<kestrove::atom::Molecule> owned;
        for (const PyMoleculeObject* mol : molecules.molecules()) {
            if (const SoaMoleculeView* view = lazy_view(mol)) {
                views.push_back(view);
                continue;
            }
            auto copy = molecule::clone_as_owned(mol);
            if (!copy) return nullptr;
            owned.push_back(std::move(*copy));
        }
        AtomDatabase& db = *as_db(self)->db;
        if (!views.empty() && !append_lazy(db, views)) return nullptr;
        if (!owned.empty()) {
            std::vector<const kestrove::atom::Molecule*> refs;
            refs.reserve(owned.size());
            for (const auto& m : owned) refs.push_back(&m);
            auto added = db.add_molecules(refs);
            if (!added.ok()) return binding::raise_engine_error(added.error());
        }
        Py_RETURN_NONE;
    });
}

// ---------------------------------------------------------------------------------------------
// Getting molecules

// The decoding context of this call's records; null with ValueError set on failure.
std::optional<SoaContext> soa_context(const AtomDatabase& db) {
    auto context = SoaContext::from_database(db);
    if (!context.ok()) {
        binding::raise_engine_error(context.error());
        return std::nullopt;
    }
    return context.value();
}

// What a record read of molecule `index` sizes, for the MemoryError of a failed allocation.
std::string record_of(uint64_t index) { return "the record of molecule " + std::to_string(index); }

// The view of `record`, the record of molecule `index`, holding only the bytes the record uses.
kestrove::Result<SoaMoleculeView> view_of(kestrove::Bytes record, uint64_t index,
                                          const SoaContext& context) {
    return binding::naming_allocations(
        [&] { return record_of(index); },
        [&] { return SoaMoleculeView::from_bytes(std::move(record), context); });
}

// One record as a view, from the map: a share of it when uncompressed (no copy), else a
// decompressed buffer. Touches no Python object.
kestrove::Result<SoaMoleculeView> load_mmap_view(const AtomDatabase& db, uint64_t index,
                                                 kestrove::compression::CompressionType compression,
                                                 const SoaContext& context) {
    if (compression.kind == kestrove::compression::CompressionType::None) {
        auto shared = db.get_shared_mmap_bytes(index);
        if (!shared) return missing_part(index, "mmap bytes");
        return SoaMoleculeView::from_storage(kestrove::view::SoaBytes(std::move(*shared)),
                                             context.bytes_per_atom, context.positions_type_tag);
    }
    const auto slice = db.get_compressed_slice(index);
    if (!slice) return missing_part(index, "compressed bytes");
    const auto size = db.uncompressed_size(index);
    if (!size) return missing_part(index, "uncompressed size");
    auto buffer = binding::naming_allocations(
        [&] { return record_of(index); },
        [&] { return kestrove::compression::decompress(*slice, compression, *size); });
    if (!buffer.ok()) return std::move(buffer).error();
    return view_of(std::move(buffer).value(), index, context);
}

// The record of molecule `index` read through the database's own file, in a buffer of its own;
// compressed bytes are staged in `scratch`. Touches no Python object.
kestrove::Result<kestrove::Bytes> read_file_record(const StoredRecords& records,
                                                   const MoleculeIndex& entry, uint64_t index,
                                                   kestrove::Bytes& scratch) {
    return binding::naming_allocations([&] { return record_of(index); },
                                       [&] { return records.owned_record(entry, scratch); });
}

// The body shared by get_molecule and subscription, after the index has been converted.
PyObject* get_one(PyObject* self, uint64_t index) {
    const AtomDatabase& db = *as_db(self)->db;
    const uint64_t count = db.len();
    if (index >= count) {
        return binding::raise(PyExc_IndexError, "Index " + std::to_string(index) +
                                                    " out of bounds for database of length " +
                                                    std::to_string(count));
    }
    auto context = soa_context(db);
    if (!context) return nullptr;
    if (uses_map(db)) {
        auto loaded = binding::without_lock(
            [&] { return load_mmap_view(db, index, db.compression(), *context); });
        if (!loaded.ok()) return binding::raise_engine_error(loaded.error());
        return molecule::new_lazy_molecule(std::move(loaded).value());
    }
    auto loaded = binding::without_lock([&]() -> kestrove::Result<SoaMoleculeView> {
        const size_t one[] = {static_cast<size_t>(index)};
        KESTROVE_ASSIGN_OR_RETURN(const auto entries, db.lookup_entries(one));
        KESTROVE_ASSIGN_OR_RETURN(const auto records, StoredRecords::of(db, entries));
        kestrove::Bytes scratch;
        KESTROVE_ASSIGN_OR_RETURN(kestrove::Bytes record,
                                  read_file_record(records, entries[0], index, scratch));
        return view_of(std::move(record), index, *context);
    });
    if (!loaded.ok()) return binding::raise_engine_error(loaded.error());
    return molecule::new_lazy_molecule(std::move(loaded).value());
}

constexpr binding::Param kIndexParams[] = {{"index", true, false}};
constexpr binding::Signature kGetMoleculeSig{"PyAtomDatabase.get_molecule()", kIndexParams};

PyObject* database_get_molecule(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return binding::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        binding::BoundArgs<1> bound(kGetMoleculeSig);
        if (!bound.bind(args, nargs, kwnames)) return nullptr;
        binding::BorrowGuard borrow;
        if (!borrow.acquire_shared(as_db(self)->borrow)) return nullptr;
        uint64_t index = 0;
        if (!bound.convert(0, extract_u64, index)) return nullptr;
        return get_one(self, index);
    });
}

PyObject* database_subscript(PyObject* self, PyObject* key) {
    return binding::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        binding::BorrowGuard borrow;
        if (!borrow.acquire_shared(as_db(self)->borrow)) return nullptr;
        uint64_t index = 0;
        if (!extract_u64(key, index)) return binding::argument_error("index");
        return get_one(self, index);
    });
}

// The views of get_molecules, by position in the indices; every one is set once a call succeeds.
using Views = std::vector<std::optional<SoaMoleculeView>>;

// The views of records in the map. Every record is loaded whatever fails, so that the failure
// reported is the first one in the order asked, not the first one a worker happened to meet.
bool load_mmap_views(const AtomDatabase& db, const std::vector<uint64_t>& indices,
                     const SoaContext& context, Views& views) {
    const auto compression = db.compression();
    std::optional<Error> failure = binding::without_lock([&] {
        return kestrove::platform::parallel_all_for(
            indices.size(), [&](size_t i) -> std::optional<Error> {
                auto view = load_mmap_view(db, indices[i], compression, context);
                if (!view.ok()) return std::move(view).error();
                views[i].emplace(std::move(view).value());
                return std::nullopt;
            });
    });
    if (failure) binding::raise_engine_error(*failure);
    return !failure;
}

// The views of records read through the database's own file. Each record is read and made a view
// in its own task, so that the call holds a record's unused bytes only while that task runs. A
// failure to read or decompress a record ends the call and is reported, whichever one a worker
// met first. Otherwise every record is read, and the first one in the order asked that makes no
// view is reported.
bool load_file_views(const AtomDatabase& db, const std::vector<uint64_t>& indices,
                     const SoaContext& context, Views& views) {
    kestrove::platform::LowestFailure<Error> not_a_view;
    auto read_failure = binding::without_lock([&]() -> std::optional<Error> {
        std::vector<size_t> wanted(indices.begin(), indices.end());
        auto entries = db.lookup_entries(wanted);
        if (!entries.ok()) return std::move(entries).error();
        auto records = StoredRecords::of(db, entries.value());
        if (!records.ok()) return std::move(records).error();
        // Each chunk stages the compressed bytes of its records in one buffer, reused record
        // after record.
        return kestrove::platform::parallel_try_for_with<kestrove::Bytes>(
            indices.size(), [&](size_t i, kestrove::Bytes& staged) -> std::optional<Error> {
                auto record =
                    read_file_record(records.value(), entries.value()[i], indices[i], staged);
                if (!record.ok()) return std::move(record).error();
                auto view = view_of(std::move(record).value(), indices[i], context);
                if (view.ok()) {
                    views[i].emplace(std::move(view).value());
                } else {
                    not_a_view.note(i, std::move(view).error());
                }
                return std::nullopt;
            });
    });
    if (read_failure) {
        binding::raise_engine_error(*read_failure);
        return false;
    }
    if (auto failure = not_a_view.take()) {
        binding::raise(PyExc_ValueError,
                       Error::invalid_data("ValueError: " + failure->display()).display());
        return false;
    }
    return true;
}

constexpr binding::Param kIndicesParams[] = {{"indices", true, false}};
constexpr binding::Signature kGetMoleculesSig{"PyAtomDatabase.get_molecules()", kIndicesParams};

PyObject* database_get_molecules(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return binding::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        binding::BoundArgs<1> bound(kGetMoleculesSig);
        if (!bound.bind(args, nargs, kwnames)) return nullptr;
        binding::BorrowGuard borrow;
        if (!borrow.acquire_shared(as_db(self)->borrow)) return nullptr;
        std::vector<uint64_t> indices;
        if (!extract_indices(bound[0], indices)) return bound.failed(0);
        if (indices.empty()) return PyList_New(0);
        const AtomDatabase& db = *as_db(self)->db;
        auto context = soa_context(db);
        if (!context) return nullptr;
        Views views(indices.size());
        const bool loaded = uses_map(db) ? load_mmap_views(db, indices, *context, views)
                                         : load_file_views(db, indices, *context, views);
        if (!loaded) return nullptr;
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(views.size())));
        if (!list) return nullptr;
        for (size_t i = 0; i < views.size(); ++i) {
            PyObject* mol = molecule::new_lazy_molecule(std::move(*views[i]));
            if (mol == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), mol);
        }
        return list.release();
    });
}

PyObject* database_flush(PyObject* self, PyObject*) {
    return binding::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        binding::BorrowGuard borrow;
        if (!borrow.acquire_exclusive(as_db(self)->borrow)) return nullptr;
        auto flushed = as_db(self)->db->flush();
        if (!flushed.ok()) return binding::raise_engine_error(flushed.error());
        Py_RETURN_NONE;
    });
}

Py_ssize_t database_len(PyObject* self) {
    return binding::guarded<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
        binding::BorrowGuard borrow;
        if (!borrow.acquire_shared(as_db(self)->borrow)) return -1;
        const uint64_t count = as_db(self)->db->len();
        if (count > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
            PyErr_SetNone(PyExc_OverflowError);
            return -1;
        }
        return static_cast<Py_ssize_t>(count);
    });
}

PyMethodDef kDatabaseMethods[] = {
    {"open", binding::fastcall(database_open), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "open(path, mmap=True, populate=False)\n--\n\nOpen an existing database.\n\n"
     "By default this uses a memory-mapped index and is read-only. Reopen with\n"
     "`mmap=False` if you need to append molecules."},
    {"add_molecule", binding::fastcall(database_add_molecule), METH_FASTCALL | METH_KEYWORDS,
     "add_molecule($self, molecule)\n--\n\nAdd a molecule to the database"},
    {"add_molecules", binding::fastcall(database_add_molecules), METH_FASTCALL | METH_KEYWORDS,
     "add_molecules($self, molecules)\n--\n\nAdd multiple molecules (processed in parallel)"},
    {"add_arrays_batch", binding::fastcall(batch::add_arrays_batch), METH_FASTCALL | METH_KEYWORDS,
     "add_arrays_batch($self, positions, atomic_numbers, *, energy=None, forces=None, "
     "charges=None, velocities=None, cell=None, stress=None, pbc=None, name=None, "
     "properties=None, atom_properties=None)\n--\n\n"
     "Add a batch of molecules from stacked numpy arrays.\n\n"
     "This avoids creating one Python Molecule object per record."},
    {"get_molecule", binding::fastcall(database_get_molecule), METH_FASTCALL | METH_KEYWORDS,
     "get_molecule($self, index)\n--\n\nGet a molecule by index as a lazy view-backed molecule."},
    {"get_molecules", binding::fastcall(database_get_molecules), METH_FASTCALL | METH_KEYWORDS,
     "get_molecules($self, indices)\n--\n\n"
     "Get multiple molecules by indices (parallel batch reading)\n\n"
     "This is MUCH faster than calling get_molecule() in a loop!\n"
     "Uses parallel I/O to read multiple molecules at once.\n\n"
     "Parameters:\n- indices: List of molecule indices to fetch\n\n"
     "Returns:\n- List of molecules"},
    {"get_molecules_flat", binding::fastcall(flat::get_molecules_flat),
     METH_FASTCALL | METH_KEYWORDS,
     "get_molecules_flat($self, indices)\n--\n\n"
     "Get multiple molecules as batched numpy arrays (zero-copy fast path).\n\n"
     "Returns a dict with contiguous arrays instead of per-molecule Python objects.\n"
     "This is the fastest way to load training batches.\n\n"
     "The dict always contains:\n"
     "  \"n_atoms\":        uint32  (n_molecules,)\n"
     "  \"positions\":      float32 (total_atoms, 3)\n"
     "  \"atomic_numbers\": uint8   (total_atoms,)\n\n"
     "Optional builtin fields (present if the first molecule has them):\n"
     "  \"energy\":     float64 (n_molecules,)\n"
     "  \"forces\":     float32 (total_atoms, 3)\n"
     "  \"charges\":    float64 (total_atoms,)\n"
     "  \"velocities\": float32 (total_atoms, 3)\n"
     "  \"cell\":       float64 (n_molecules, 3, 3)\n"
     "  \"stress\":     float64 (n_molecules, 3, 3)\n"
     "  \"pbc\":        bool    (n_molecules, 3)\n\n"
     "Custom properties are in nested dicts:\n"
     "  \"atom_properties\": {key: array, ...}\n"
     "  \"properties\":      {key: array, ...}"},
    {"flush", database_flush, METH_NOARGS, "flush($self)\n--\n\nFlush and save the database"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool uses_map(const AtomDatabase& db) { return db.get_compressed_slice(0).has_value(); }

// The message is built only on failure: reads look up one record after another.
Error missing_part(uint64_t index, const char* what) {
    return Error::invalid_data(std::string("Missing ") + what + " for molecule " +
                               std::to_string(index));
}

PyTypeObject* create_database_type() {
    static const char kDoc[] =
        "PyAtomDatabase(path, compression=\"none\", level=3, overwrite=False)\n--\n\n"
        "Python wrapper for AtomDatabase";
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(database_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(database_dealloc)},
        {Py_tp_methods, kDatabaseMethods},
        {Py_mp_length, reinterpret_cast<void*>(database_len)},
        {Py_mp_subscript, reinterpret_cast<void*>(database_subscript)},
        {Py_tp_doc, const_cast<char*>(kDoc)},
        {0, nullptr},
    };
    PyType_Spec spec = {"PyAtomDatabase", sizeof(PyAtomDatabaseObject), 0, Py_TPFLAGS_DEFAULT,
                        slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace kestrove_rs::database
