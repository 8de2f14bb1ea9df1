// PyAtomDatabase: the Python handle on one database file.
#pragma once

#include "python/binding.hpp"

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

}  // namespace kestrove_rs::database
