// Reading the records of an open database one at a time: from its memory map, or through the
// file it holds open.
#pragma once

#include <cstdint>
#include <span>

#include "base/error.hpp"
#include "engine/coding.hpp"
#include "engine/storage/database.hpp"
#include "engine/storage/index.hpp"

namespace kestrove::storage {

// The records of one read call. A record lies in the database's memory map, or is read with
// positional reads through the file the database created or opened, whatever another process has
// since put at its path. The bytes of a record are read or decompressed into buffers that the
// caller passes, which each worker reuses from record to record (one set per chunk of records),
// so a call holds a few records per worker, never one per requested position; only a record that
// the caller keeps gets a buffer of its own (`owned_record`). Safe to use from several threads at
// once.
class StoredRecords {
public:
    // Takes the length of the database's file once, when some of `entries` lie outside the map:
    // the file only grows while a reader holds the database, and a record cut off since then
    // still fails as a short read.
    [[nodiscard]] static Result<StoredRecords> of(const AtomDatabase& db,
                                                  std::span<const index::MoleculeIndex> entries);

    // Checks that the stored bytes of `entry` lie where they can be read: in the map, or inside
    // the file past the header slots. Checked before anything is sized from the entry.
    [[nodiscard]] Status check_stored_range(const index::MoleculeIndex& entry) const;
    // The stored bytes of `entry`: the map's own, or read into `scratch` (resized to fit).
    [[nodiscard]] Result<std::span<const uint8_t>> stored_bytes(const index::MoleculeIndex& entry,
                                                                Bytes& scratch) const;
    // The record that `stored` (the stored bytes of `entry`) holds: the same bytes when records
    // are not compressed, else decompressed into `scratch`.
    [[nodiscard]] Result<std::span<const uint8_t>> record(const index::MoleculeIndex& entry,
                                                          std::span<const uint8_t> stored,
                                                          Bytes& scratch) const;
    // The record of `entry` in a buffer of its own; compressed bytes outside the map are staged
    // in `scratch`.
    [[nodiscard]] Result<Bytes> owned_record(const index::MoleculeIndex& entry,
                                             Bytes& scratch) const;

private:
    StoredRecords(const AtomDatabase& db, uint64_t file_len) : db_(&db), file_len_(file_len) {}

    bool compressed() const;

    const AtomDatabase* db_;
    uint64_t file_len_;
};

}  // namespace kestrove::storage
