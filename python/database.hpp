// PyAtomDatabase: the Python handle on one database file.
#pragma once

#include "python/binding.hpp"

#include <cstdint>
#include <optional>

#include "engine/storage/database.hpp"

namespace kestrove_rs::database {

struct PyAtomDatabaseObject {
    PyObject_HEAD
    binding::BorrowFlag borrow;
    // Always engaged once the object is built; optional only so that it can be placed into the
    // zero-filled memory the interpreter allocates.
    std::optional<kestrove::storage::AtomDatabase> db;
};

// The registered type object; null before the module has been initialised.
extern PyTypeObject* PyAtomDatabase_Type;

PyTypeObject* create_database_type();

// Whether records of `db` are read from its whole-file map: it exists and holds record 0.
bool uses_map(const kestrove::storage::AtomDatabase& db);

// "Missing {what} for molecule {index}": a record, or part of one, that the map does not hold.
kestrove::Error missing_part(uint64_t index, const char* what);

}  // namespace kestrove_rs::database
