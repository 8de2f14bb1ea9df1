// Reading the records of an open database one at a time: from its memory map, or through the
// file it holds open.
#include "engine/storage/stored_records.hpp"

#include <algorithm>
#include <string>

#include "engine/compression.hpp"
#include "engine/storage/header.hpp"

namespace kestrove::storage {

using index::MoleculeIndex;

Result<StoredRecords> StoredRecords::of(const AtomDatabase& db,
                                        std::span<const MoleculeIndex> entries) {
    const bool all_mapped = std::all_of(entries.begin(), entries.end(), [&](const auto& entry) {
        return db.mapped_range(entry).has_value();
    });
    if (all_mapped) return StoredRecords(db, 0);
    KESTROVE_ASSIGN_OR_RETURN(const uint64_t file_len, db.file_length());
    return StoredRecords(db, file_len);
}

bool StoredRecords::compressed() const {
    return db_->compression().kind != compression::CompressionType::None;
}

Status StoredRecords::check_stored_range(const MoleculeIndex& entry) const {
    if (db_->mapped_range(entry)) return {};
    // Offsets and sizes come from the index: records start past the header slots, and an empty
    // record needs no bytes at all.
    if (entry.offset < header::kDataStart) {
        return Error::invalid_data("Record offset " + std::to_string(entry.offset) +
                                   " lies before the data start " +
                                   std::to_string(header::kDataStart));
    }
    if (entry.compressed_size == 0) return {};
    uint64_t end;
    if (__builtin_add_overflow(entry.offset, uint64_t{entry.compressed_size}, &end) ||
        end > file_len_) {
        return platform::short_read_error();
    }
    return {};
}

Result<std::span<const uint8_t>> StoredRecords::stored_bytes(const MoleculeIndex& entry,
                                                             Bytes& scratch) const {
    if (const auto mapped = db_->mapped_range(entry)) return *mapped;
    KESTROVE_TRY(check_stored_range(entry));
    scratch.clear();  // a buffer that must grow has nothing worth copying
    scratch.resize(entry.compressed_size);
    KESTROVE_TRY(db_->read_file_at(entry.offset, scratch.data(), scratch.size()));
    return std::span<const uint8_t>(scratch);
}

Result<std::span<const uint8_t>> StoredRecords::record(const MoleculeIndex& entry,
                                                       std::span<const uint8_t> stored,
                                                       Bytes& scratch) const {
    if (!compressed()) return stored;
    KESTROVE_TRY(
        compression::decompress_into(stored, db_->compression(), entry.uncompressed_size, scratch));
    return std::span<const uint8_t>(scratch);
}

Result<Bytes> StoredRecords::owned_record(const MoleculeIndex& entry, Bytes& scratch) const {
    if (compressed()) {
        KESTROVE_ASSIGN_OR_RETURN(const auto stored, stored_bytes(entry, scratch));
        return compression::decompress(stored, db_->compression(), entry.uncompressed_size);
    }
    if (const auto mapped = db_->mapped_range(entry)) return Bytes(mapped->begin(), mapped->end());
    // Read straight into the record's own buffer: nothing to copy afterwards.
    Bytes record;
    KESTROVE_TRY(stored_bytes(entry, record));
    return record;
}

}  // namespace kestrove::storage
