// PyAtomDatabase: the Python handle on one database file.
#pragma once

#include "python/binding.hpp"

#include <cstdint>
#include <optional>
#include <span>

#include "engine/compression.hpp"
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

// The stored bytes of record `index` from the whole-file map, decompressed into `scratch` when
// the database is compressed; an uncompressed record is the map's own bytes, valid while the map
// lives. A record the map does not hold is "Missing ... for molecule N". Touches no Python object.
[[nodiscard]] kestrove::Result<std::span<const uint8_t>> map_record(
    const kestrove::storage::AtomDatabase& db, uint64_t index,
    kestrove::compression::CompressionType compression, kestrove::Bytes& scratch);

}  // namespace kestrove_rs::database
