// PyAtomDatabase: the Python handle on one database file.
#include "python/database.hpp"

#include <string>

#include "platform/file.hpp"

namespace kestrove_rs::database {

using binding::PyRef;
using kestrove::storage::AtomDatabase;

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

        if (kestrove::platform::path_exists(path)) {
            if (!overwrite) {
                return binding::raise(
                    PyExc_FileExistsError,
                    "Database file already exists at '" + path +
                        "'. Use Database.open(path) for read-only access, Database.open(path, "
                        "mmap=False) to append, or pass overwrite=True to recreate it.");
            }
            // A new file rather than the old one cut to nothing: live maps of the old file (other
            // databases, lazy molecules, other processes) keep reading its contents instead of
            // faulting on pages that no longer exist.
            auto removed = kestrove::platform::remove_file_for_replacement(path);
            if (!removed.ok()) {
                return binding::raise_engine_error(removed.error());
            }
        }
        auto created = AtomDatabase::create_with_format(path, static_cast<uint32_t>(kind), level);
        if (!created.ok()) return binding::raise_engine_error(created.error());
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
    {"flush", database_flush, METH_NOARGS, "flush($self)\n--\n\nFlush and save the database"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* create_database_type() {
    static const char kDoc[] =
        "PyAtomDatabase(path, compression=\"none\", level=3, overwrite=False)\n--\n\n"
        "Python wrapper for AtomDatabase";
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(database_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(database_dealloc)},
        {Py_tp_methods, kDatabaseMethods},
        {Py_mp_length, reinterpret_cast<void*>(database_len)},
        {Py_tp_doc, const_cast<char*>(kDoc)},
        {0, nullptr},
    };
    PyType_Spec spec = {"PyAtomDatabase", sizeof(PyAtomDatabaseObject), 0, Py_TPFLAGS_DEFAULT,
                        slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace kestrove_rs::database
