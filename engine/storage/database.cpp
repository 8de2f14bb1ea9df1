// The open database file: creation, opening, appends, commits and reads.
#include "engine/storage/database.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "engine/storage/dtypes.hpp"
#include "engine/storage/header.hpp"
#include "engine/storage/soa.hpp"
#include "engine/storage/stored_records.hpp"
#include "platform/thread_pool.hpp"

namespace kestrove::storage {

namespace {

using index::MoleculeIndex;
using platform::File;
using schema::SchemaLock;

using dtypes::kRecordFormat2;
using dtypes::kRecordFormat3;
constexpr uint64_t kMaxIndexedBytes = UINT32_MAX;

Error read_only_append_error() {
    return Error::invalid_data(
        "Cannot add molecules to a database opened with a memory-mapped index (read-only); "
        "reopen without mmap to write.");
}

// An index entry holds sizes as u32: a larger record cannot be described and is refused before
// anything of its call is written.
Status check_indexable(const char* what, size_t bytes) {
    if (bytes <= kMaxIndexedBytes) return {};
    return Error::invalid_data(std::string(what) + " of " + std::to_string(bytes) +
                               " bytes exceeds the index limit of " +
                               std::to_string(kMaxIndexedBytes) + " bytes");
}

std::optional<uint64_t> checked_end(uint64_t offset, uint64_t len) {
    uint64_t end;
    if (__builtin_add_overflow(offset, len, &end)) return std::nullopt;
    return end;
}

// The most times a replacing creation removes what it finds at its path before it gives up: each
// round means that another process made a file there again between a removal and the creation.
constexpr int kMaxReplacements = 8;

// Takes over, in place, the regular file at `path` whose directory entry cannot be removed: its
// contents are cut to nothing. Anything else found there by now is refused and left as it is.
// The handle can read too: the database reads its records through it.
Result<File> take_over_in_place(const std::string& path) {
    KESTROVE_ASSIGN_OR_RETURN(platform::OpenedFile opened,
                              platform::open_existing(path, platform::Access::kReadWrite));
    if (!opened.status.regular) return platform::not_a_regular_file_error(path);
    KESTROVE_TRY(opened.file.truncate(0));
    return std::move(opened.file);
}

Error replaced_file_error(const std::string& path) {
    return Error::io("The file at '" + path +
                     "' is no longer the one this database created or opened: another process "
                     "replaced it. Reopen the database.");
}

// The file a creation ends up with: one it made, at `made_path`, or, without one, a file it took
// over in place.
struct ClaimedFile {
    File file;
    std::optional<std::string> made_path;
};

// Makes the database's file at `path` exclusively, so that it is always a file that this creation
// made itself. With kReplace, what is at the path is removed first, also a file that another
// process made there after an earlier removal, at most kMaxReplacements times before the creation
// gives up with EEXIST; only a regular file whose entry cannot be removed is taken over in place.
Result<ClaimedFile> claim_file(const std::string& path, AtomDatabase::ExistingFile existing) {
    for (int removals = 0;; ++removals) {
        auto made = platform::create_new(path);
        if (made.ok()) return ClaimedFile{std::move(made->file), std::move(made->path)};
        const bool replacing =
            made.error().os_code() == EEXIST && existing == AtomDatabase::ExistingFile::kReplace;
        if (!replacing || removals == kMaxReplacements) return std::move(made).error();
        KESTROVE_ASSIGN_OR_RETURN(const platform::Replacement found,
                                  platform::remove_file_for_replacement(path));
        if (found == platform::Replacement::kInPlace) {
            KESTROVE_ASSIGN_OR_RETURN(File file, take_over_in_place(path));
            return ClaimedFile{std::move(file), std::nullopt};
        }
    }
}

// Writes the header slot `h` twice, as slot 0 and slot 1, at the start of the empty `file` and
// syncs them; returns the identity of the file.
Result<platform::FileIdentity> write_empty_database(File& file, const header::Header& h) {
    KESTROVE_ASSIGN_OR_RETURN(const platform::FileStatus status, file.status());
    const auto slot = header::encode_header_slot(h);
    KESTROVE_TRY(file.write_all(slot.data(), slot.size()));
    KESTROVE_TRY(file.write_all(slot.data(), slot.size()));
    KESTROVE_TRY(file.sync_data());
    return status.identity;
}

SchemaLock lock_from_database_schema(DatabaseSchema schema) {
    SchemaLock lock;
    for (DatabaseSchemaSection& section : schema.sections) {
        lock.sections.insert_or_assign(section.kind, section.key,
                                       schema::SchemaEntry{section.type_tag, section.per_atom,
                                                           section.elem_bytes, section.slot_bytes});
    }
    lock.positions_type = schema.positions_type;
    return lock;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Creation and opening

Result<AtomDatabase> AtomDatabase::create_with_format(const std::string& path, uint32_t kind,
                                                      int32_t level, ExistingFile existing) {
    // Resolved once: writes open the file by this path, whatever the current directory is by
    // then.
    KESTROVE_ASSIGN_OR_RETURN(std::string absolute, platform::absolute_path(path));
    // A file made here is removed again when the creation fails, so that nothing blocks a retry;
    // nothing else can be lost with it. A file taken over in place is left as the failure leaves
    // it.
    KESTROVE_ASSIGN_OR_RETURN(ClaimedFile claimed, claim_file(absolute, existing));
    header::Header h;
    h.compression = compression::CompressionType{kind, level};
    h.generation = 0;
    h.data_start = kDataStart;
    h.record_format = kRecordFormat2;
    auto identity = write_empty_database(claimed.file, h);
    if (!identity.ok()) {
        if (claimed.made_path) platform::remove_if_still_named(claimed.file, *claimed.made_path);
        return std::move(identity).error();
    }
    // Best effort: the file itself is complete and synced, and a directory that may be written
    // and searched but not read (mode -wx) cannot be opened for its sync. Reporting that as a
    // failure would leave a valid database behind that a retry then refuses as existing. A file
    // made at the end of a symbolic link has its entry in the target's directory.
    (void)platform::sync_directory_of(claimed.made_path ? *claimed.made_path : absolute);

    AtomDatabase db;
    db.path_ = std::move(absolute);
    db.identity_ = identity.value();
    db.compression_ = h.compression;
    db.file_ = std::move(claimed.file);  // what it wrote is already durable
    return db;
}

Result<AtomDatabase> AtomDatabase::open_with_options(std::string path, bool mmap, bool populate) {
    // Resolved once, as at creation.
    KESTROVE_ASSIGN_OR_RETURN(path, platform::absolute_path(path));
    KESTROVE_ASSIGN_OR_RETURN(platform::OpenedFile opened,
                              platform::open_existing(path, platform::Access::kRead));
    File file = std::move(opened.file);

    uint8_t head[8];
    KESTROVE_TRY(file.read_exact_at(0, head, sizeof head));
    if (std::memcmp(head, header::kHeaderMagic.data(), header::kHeaderMagic.size()) != 0) {
        return Error::invalid_data("Invalid file format");
    }
    const uint32_t version = coding::load<uint32_t>(head + 4);
    if (version != header::kHeaderVersion) {
        return Error::invalid_data("Unsupported file format version " + std::to_string(version) +
                                   " (expected " + std::to_string(header::kHeaderVersion) + ")");
    }
    return open_v1(std::move(path), std::move(file), mmap, populate);
}

Result<AtomDatabase> AtomDatabase::open_v1(std::string path, File file, bool mmap,
                                           bool /*populate*/) {
    auto best = header::read_best_header_slots(file);
    if (!best.ok()) return std::move(best).error();
    const header::Header& h = best->header;
    if (h.record_format != kRecordFormat2 && h.record_format != kRecordFormat3) {
        return Error::invalid_data("Unsupported record format " + std::to_string(h.record_format) +
                                   ".");
    }
    const bool has_index = h.index_offset != 0 && h.index_len != 0;
    uint64_t committed_end = h.data_start;
    if (has_index) {
        auto end = checked_end(h.index_offset, h.index_len);
        if (!end) return Error::invalid_data("Index end overflow");
        committed_end = *end;
    }
    // Taken after the slots were read: the file holds at least every byte the chosen slot names.
    KESTROVE_ASSIGN_OR_RETURN(const platform::FileStatus status, file.status());
    const uint64_t file_len = status.length;

    AtomDatabase db;
    db.path_ = std::move(path);
    db.identity_ = status.identity;
    db.compression_ = h.compression;
    db.generation_ = h.generation;
    db.committed_end_ = committed_end;
    db.written_end_ = committed_end;
    db.record_format_ = h.record_format;
    if (best->other_rejected) db.rejected_slot_ = RejectedSlot{1 - best->slot, h};

    if (mmap) {
        // Mapped only now, through the handle that read the slots: the file holds every byte the
        // chosen slot names by then and never shrinks below it, so the map covers the blobs and
        // records it names. One map serves the records and the index.
        KESTROVE_ASSIGN_OR_RETURN(db.data_mmap_, platform::MappedFile::map(file));
        if (h.index_offset != 0) {
            db.index_ = index::IndexStorage::mapped(db.data_mmap_, db.data_mmap_->bytes(),
                                                    h.index_offset, h.count);
        }
        // A mapped file is never shortened, whatever lies past its commit.
        db.tail_dirty_ = false;
    } else {
        db.tail_dirty_ = file_len > committed_end;
        if (has_index) {
            // The header slot was only accepted with its index blob inside the file.
            Bytes blob(h.index_len);
            KESTROVE_TRY(file.read_exact_at(h.index_offset, blob.data(), blob.size()));
            auto entries = index::decode_index(blob);
            if (!entries.ok()) return std::move(entries).error();
            db.index_ = index::IndexStorage(std::move(entries).value(), file_len);
        }
    }

    if (h.schema_offset != 0 && h.schema_len != 0) {
        Bytes blob(h.schema_len);
        KESTROVE_TRY(file.read_exact_at(h.schema_offset, blob.data(), blob.size()));
        auto lock = schema::decode_schema_lock(blob);
        if (!lock.ok()) return std::move(lock).error();
        db.schema_lock_ = std::move(lock).value();
    }
    db.file_ = std::move(file);
    return db;
}

Result<platform::OpenedFile> AtomDatabase::open_own_file_for_writing(
    platform::Access access) const {
    KESTROVE_ASSIGN_OR_RETURN(platform::OpenedFile opened, platform::open_existing(path_, access));
    if (opened.status.identity != identity_) return replaced_file_error(path_);
    if (opened.status.length < written_end_) {
        return Error::io("The file at '" + path_ + "' holds " +
                         std::to_string(opened.status.length) + " bytes, fewer than the " +
                         std::to_string(written_end_) +
                         " this database wrote: another process cut it short. Reopen the "
                         "database.");
    }
    return opened;
}

Status AtomDatabase::repair_rejected_slot_if_needed() {
    if (!rejected_slot_) return {};
    KESTROVE_ASSIGN_OR_RETURN(platform::OpenedFile opened,
                              open_own_file_for_writing(platform::Access::kWrite));
    const auto slot = header::encode_header_slot(rejected_slot_->chosen);
    const uint64_t at = rejected_slot_->slot * header::kHeaderSlotSize;
    KESTROVE_TRY(opened.file.write_all_at(at, slot.data(), slot.size()));
    KESTROVE_TRY(opened.file.sync_data());
    rejected_slot_.reset();
    return {};
}

Status AtomDatabase::truncate_uncommitted_tail_if_needed() {
    if (!tail_dirty_) return {};
    // Nothing was appended since the open: what this database wrote ends at the commit.
    KESTROVE_ASSIGN_OR_RETURN(platform::OpenedFile opened,
                              open_own_file_for_writing(platform::Access::kWrite));
    if (opened.status.length > committed_end_) {
        KESTROVE_TRY(opened.file.truncate(committed_end_));
        KESTROVE_TRY(opened.file.sync_data());
    }
    tail_dirty_ = false;
    return {};
}

// ---------------------------------------------------------------------------------------------
// Appends

bool AtomDatabase::may_move_to_format3() const {
    return record_format_ == kRecordFormat2 && !schema_lock_ && index_.size() == 0;
}

Status AtomDatabase::add_molecule(const atom::Molecule& molecule) {
    const atom::Molecule* one[] = {&molecule};
    return add_molecules(one);
}

Status AtomDatabase::add_molecules(std::span<const atom::Molecule* const> molecules) {
    if (molecules.empty()) return {};

    // An empty format-2 database moves to format 3 for the first molecule that needs it.
    uint32_t format = record_format_;
    if (may_move_to_format3()) {
        for (const atom::Molecule* m : molecules) {
            if (soa::minimum_record_format_for_molecule(*m) == kRecordFormat3) {
                format = kRecordFormat3;
                break;
            }
        }
    }

    const size_t n = molecules.size();
    std::vector<OwnedRecord> records(n);
    std::vector<SchemaLock> locks(n);
    auto failure = platform::parallel_try_for(n, [&](size_t i) -> std::optional<Error> {
        const atom::Molecule& m = *molecules[i];
        auto record = soa::serialize_molecule_soa(m, format);
        if (!record.ok()) return std::move(record).error();
        auto lock = schema::schema_from_molecule(m);
        if (!lock.ok()) return std::move(lock).error();
        // The writer refused atom counts beyond u32.
        records[i] =
            OwnedRecord{std::move(record).value(), static_cast<uint32_t>(m.num_positions())};
        locks[i] = std::move(lock).value();
        return std::nullopt;
    });
    if (failure) return std::move(*failure);

    SchemaLock merged;
    for (const SchemaLock& lock : locks) KESTROVE_TRY(schema::merge_schema_lock(merged, lock));
    locks.clear();
    return append_owned_soa_records_prevalidated(std::move(records), std::move(merged));
}

Status AtomDatabase::add_raw_soa_records_with_schema(std::span<const BorrowedRecord> records,
                                                     DatabaseSchema schema) {
    if (records.empty()) return {};
    KESTROVE_ASSIGN_OR_RETURN(PendingSchema pending,
                              prepare_append(lock_from_database_schema(std::move(schema))));
    return write_borrowed_records(records, std::move(pending));
}

Status AtomDatabase::add_owned_soa_records_with_schema(std::vector<OwnedRecord> records,
                                                       DatabaseSchema schema) {
    if (records.empty()) return {};
    return append_owned_soa_records_prevalidated(std::move(records),
                                                 lock_from_database_schema(std::move(schema)));
}

Status AtomDatabase::add_raw_soa_records_with_positions_type(std::span<const TypedRecord> records) {
    if (records.empty()) return {};
    AppendRecordsSchema derive;
    derive.records.reserve(records.size());
    for (const TypedRecord& r : records) derive.records.emplace_back(r.bytes, r.positions_type);
    KESTROVE_ASSIGN_OR_RETURN(PendingSchema pending, prepare_append(std::move(derive)));
    std::vector<BorrowedRecord> borrowed;
    borrowed.reserve(records.size());
    for (const TypedRecord& r : records) borrowed.push_back(BorrowedRecord{r.bytes, r.num_atoms});
    return write_borrowed_records(borrowed, std::move(pending));
}

Status AtomDatabase::append_owned_soa_records_prevalidated(std::vector<OwnedRecord> records,
                                                           SchemaLock lock) {
    KESTROVE_ASSIGN_OR_RETURN(PendingSchema pending, prepare_append(std::move(lock)));
    return write_owned_records(std::move(records), std::move(pending));
}

Result<AtomDatabase::PendingSchema> AtomDatabase::prepare_append(AppendSchema schema) {
    if (index_.is_mapped()) return read_only_append_error();
    KESTROVE_TRY(repair_rejected_slot_if_needed());
    KESTROVE_TRY(truncate_uncommitted_tail_if_needed());
    KESTROVE_ASSIGN_OR_RETURN(PendingSchema pending, merged_schema(schema));
    KESTROVE_TRY(check_added_entries(pending));
    return pending;
}

Status AtomDatabase::check_added_entries(const PendingSchema& pending) const {
    const SchemaLock* held = schema_lock_ ? &*schema_lock_ : nullptr;
    // A merge only adds entries: a lock of the held size adds none.
    if (held != nullptr && held->sections.size() == pending.lock.sections.size()) return {};
    for (const auto& [key, entry] : pending.lock.sections) {
        if (held != nullptr && held->sections.find(key.kind, key.key) != nullptr) continue;
        KESTROVE_TRY(schema::check_written_entry(key.kind, key.key, entry, pending.record_format));
    }
    return {};
}

Result<AtomDatabase::PendingSchema> AtomDatabase::merged_schema(const AppendSchema& schema) const {
    auto base_lock = [&]() -> Result<SchemaLock> {
        if (schema_lock_) return *schema_lock_;
        if (index_.size() > 0) return rebuild_schema_lock();
        return SchemaLock{};
    };

    if (auto* lock = std::get_if<SchemaLock>(&schema)) {
        auto format = resolved_record_format_for_schema(*lock);
        if (!format.ok()) return std::move(format).error();
        auto base = base_lock();
        if (!base.ok()) return std::move(base).error();
        KESTROVE_TRY(schema::merge_schema_lock(base.value(), *lock));
        return PendingSchema{std::move(base).value(), format.value()};
    }

    auto base = base_lock();
    if (!base.ok()) return std::move(base).error();
    SchemaLock& merged = base.value();
    uint32_t format = record_format_;
    const bool may_move = may_move_to_format3();
    for (const auto& [bytes, own_type] : std::get<AppendRecordsSchema>(schema).records) {
        const std::optional<uint8_t> positions_type = own_type ? own_type : merged.positions_type;
        auto derived = schema::record_schema(bytes, format, positions_type);
        if (!derived.ok()) {
            if (!(may_move && format == kRecordFormat2)) return std::move(derived).error();
            derived = schema::record_schema(bytes, kRecordFormat3, positions_type);
            if (!derived.ok()) return std::move(derived).error();
            format = kRecordFormat3;
        }
        KESTROVE_TRY(schema::merge_schema_lock(merged, derived.value()));
    }
    return PendingSchema{std::move(merged), format};
}

Result<uint32_t> AtomDatabase::resolved_record_format_for_schema(const SchemaLock& lock) const {
    Status first = schema::validate_schema_lock_for_record_format(record_format_, lock);
    if (first.ok()) return record_format_;
    if (may_move_to_format3()) {
        Status second = schema::validate_schema_lock_for_record_format(kRecordFormat3, lock);
        if (second.ok()) return kRecordFormat3;
        return std::move(second).error();
    }
    return std::move(first).error();
}

Result<SchemaLock> AtomDatabase::rebuild_schema_lock() const {
    std::vector<size_t> all(index_.size());
    for (size_t i = 0; i < all.size(); ++i) all[i] = i;
    KESTROVE_ASSIGN_OR_RETURN(const std::vector<MoleculeIndex> entries, lookup_entries(all));
    KESTROVE_ASSIGN_OR_RETURN(const StoredRecords records, StoredRecords::of(*this, entries));
    SchemaLock lock;
    Bytes stored_scratch, record_scratch;
    for (const MoleculeIndex& entry : entries) {
        KESTROVE_ASSIGN_OR_RETURN(const auto stored, records.stored_bytes(entry, stored_scratch));
        KESTROVE_ASSIGN_OR_RETURN(const auto record, records.record(entry, stored, record_scratch));
        auto derived = schema::record_schema(record, record_format_, std::nullopt);
        if (!derived.ok()) return std::move(derived).error();
        KESTROVE_TRY(schema::merge_schema_lock(lock, derived.value()));
    }
    return lock;
}

Status AtomDatabase::write_owned_records(std::vector<OwnedRecord> records, PendingSchema pending) {
    for (const OwnedRecord& r : records) KESTROVE_TRY(check_indexable("Record", r.bytes.size()));
    const size_t n = records.size();
    std::vector<CompressedRecord> compressed(n);
    for (size_t i = 0; i < n; ++i) {
        compressed[i].uncompressed_size = static_cast<uint32_t>(records[i].bytes.size());
        compressed[i].num_atoms = records[i].num_atoms;
    }
    if (compression_.kind == compression::CompressionType::None) {
        // Stored bytes are the record itself: hand the buffers over instead of copying them.
        for (size_t i = 0; i < n; ++i) compressed[i].bytes = std::move(records[i].bytes);
    } else {
        KESTROVE_TRY(compress_into(
            compressed, [&](size_t i) -> std::span<const uint8_t> { return records[i].bytes; },
            [&](size_t i) { Bytes().swap(records[i].bytes); }));
    }
    records.clear();
    return write_compressed(std::move(compressed), std::move(pending));
}

Status AtomDatabase::write_borrowed_records(std::span<const BorrowedRecord> records,
                                            PendingSchema pending) {
    for (const BorrowedRecord& r : records) KESTROVE_TRY(check_indexable("Record", r.bytes.size()));
    std::vector<CompressedRecord> compressed(records.size());
    for (size_t i = 0; i < records.size(); ++i) {
        compressed[i].uncompressed_size = static_cast<uint32_t>(records[i].bytes.size());
        compressed[i].num_atoms = records[i].num_atoms;
    }
    KESTROVE_TRY(compress_into(
        compressed, [&](size_t i) { return records[i].bytes; }, [](size_t) {}));
    return write_compressed(std::move(compressed), std::move(pending));
}

template <class Source, class Release>
Status AtomDatabase::compress_into(std::vector<CompressedRecord>& out, Source source,
                                   Release release) const {
    auto failure = platform::parallel_try_for(out.size(), [&](size_t i) -> std::optional<Error> {
        auto packed = compression::compress(source(i), compression_);
        if (!packed.ok()) return std::move(packed).error();
        out[i].bytes = std::move(packed).value();
        release(i);  // at most one uncompressed and one compressed copy alive per record
        return std::nullopt;
    });
    if (failure) return std::move(*failure);
    return {};
}

Status AtomDatabase::write_compressed(std::vector<CompressedRecord> records,
                                      PendingSchema pending) {
    for (const CompressedRecord& r : records) {
        KESTROVE_TRY(check_indexable("Compressed record", r.bytes.size()));
    }
    KESTROVE_ASSIGN_OR_RETURN(platform::OpenedFile opened,
                              open_own_file_for_writing(platform::Access::kAppend));
    File& file = opened.file;
    auto start = file.seek_end();
    if (!start.ok()) return std::move(start).error();

    std::vector<MoleculeIndex> entries;
    std::vector<std::span<const uint8_t>> pieces;
    entries.reserve(records.size());
    pieces.reserve(records.size());
    uint64_t offset = start.value();
    for (const CompressedRecord& r : records) {
        entries.push_back(MoleculeIndex{offset, static_cast<uint32_t>(r.bytes.size()),
                                        r.uncompressed_size, r.num_atoms});
        pieces.emplace_back(r.bytes);
        offset += r.bytes.size();
    }
    // The records back to back, in few large writes; the index and the schema learn of them only
    // afterwards, so that a failed write leaves no trace in either.
    KESTROVE_TRY(file.write_all_gather(pieces));
    KESTROVE_TRY(index_.extend(std::move(entries)));
    schema_lock_ = std::move(pending.lock);
    record_format_ = pending.record_format;
    written_end_ = std::max(written_end_, offset);
    return {};
}

// ---------------------------------------------------------------------------------------------
// Commit

Status AtomDatabase::flush() {
    if (index_.is_mapped()) {
        return Error::invalid_data(
            "Cannot flush a database opened with a memory-mapped index (read-only); reopen "
            "without mmap to write.");
    }
    KESTROVE_TRY(repair_rejected_slot_if_needed());
    KESTROVE_TRY(truncate_uncommitted_tail_if_needed());

    const Bytes index_blob = index::encode_index(index_.owned_entries());
    std::optional<Bytes> schema_blob;
    if (schema_lock_) {
        auto encoded = schema::encode_schema_lock(*schema_lock_);
        if (!encoded.ok()) return std::move(encoded).error();
        schema_blob = std::move(encoded).value();
    }

    KESTROVE_ASSIGN_OR_RETURN(platform::OpenedFile opened,
                              open_own_file_for_writing(platform::Access::kWrite));
    File& file = opened.file;
    auto schema_start = file.seek_end();
    if (!schema_start.ok()) return std::move(schema_start).error();
    const uint64_t schema_len = schema_blob ? schema_blob->size() : 0;
    if (schema_blob) KESTROVE_TRY(file.write_all(schema_blob->data(), schema_blob->size()));
    auto index_start = file.seek_end();
    if (!index_start.ok()) return std::move(index_start).error();
    KESTROVE_TRY(file.write_all(index_blob.data(), index_blob.size()));
    KESTROVE_TRY(file.sync_data());

    // Checked before the slot is written, so that a durable commit is never reported as failed.
    const auto new_end = checked_end(index_start.value(), index_blob.size());
    if (!new_end) return Error::invalid_data("Index end overflow");

    const uint64_t generation = generation_ == UINT64_MAX ? UINT64_MAX : generation_ + 1;
    header::Header h;
    h.compression = compression_;
    h.generation = generation;
    h.data_start = kDataStart;
    h.count = index_.size();
    h.schema_offset = schema_len != 0 ? schema_start.value() : 0;
    h.schema_len = schema_len;
    h.index_offset = index_start.value();
    h.index_len = index_blob.size();
    h.record_format = record_format_;
    const auto slot = header::encode_header_slot(h);
    // Through a handle without O_APPEND: Linux would put a positional write at the end.
    KESTROVE_TRY(
        file.write_all_at((generation % 2) * header::kHeaderSlotSize, slot.data(), slot.size()));
    KESTROVE_TRY(file.sync_data());

    generation_ = generation;
    committed_end_ = *new_end;
    written_end_ = *new_end;
    tail_dirty_ = false;
    return {};
}

// ---------------------------------------------------------------------------------------------
// Reads

Result<std::vector<MoleculeIndex>> AtomDatabase::lookup_entries(
    std::span<const size_t> indices) const {
    std::vector<MoleculeIndex> entries;
    entries.reserve(indices.size());
    for (size_t i : indices) {
        auto entry = index_.get(i);
        if (!entry) return Error::invalid_data("Index " + std::to_string(i) + " out of bounds");
        entries.push_back(*entry);
    }
    return entries;
}

Result<std::vector<Bytes>> AtomDatabase::get_raw_bytes(std::span<const size_t> indices) const {
    auto entries = lookup_entries(indices);
    if (!entries.ok()) return std::move(entries).error();
    return decompress_entries_parallel(entries.value());
}

Result<DecompressedRecords> AtomDatabase::read_decompress_parallel(
    std::span<const size_t> indices) const {
    auto entries = lookup_entries(indices);
    if (!entries.ok()) return std::move(entries).error();
    DecompressedRecords out;
    out.num_atoms.reserve(entries->size());
    for (const MoleculeIndex& e : entries.value()) out.num_atoms.push_back(e.num_atoms);
    auto records = decompress_entries_parallel(entries.value());
    if (!records.ok()) return std::move(records).error();
    out.records = std::move(records).value();
    return out;
}

std::optional<std::span<const uint8_t>> AtomDatabase::mapped_range(
    const MoleculeIndex& entry) const {
    // Below the data start lie the header slots, never a record: such an entry is left to the
    // file read, which refuses it.
    if (!data_mmap_ || entry.offset < kDataStart) return std::nullopt;
    const auto end = checked_end(entry.offset, entry.compressed_size);
    if (!end || *end > data_mmap_->size()) return std::nullopt;
    return data_mmap_->bytes().subspan(entry.offset, entry.compressed_size);
}

Result<uint64_t> AtomDatabase::file_length() const { return file_.size(); }

Status AtomDatabase::read_file_at(uint64_t offset, void* buf, size_t len) const {
    return file_.read_exact_at(offset, buf, len);
}

Result<std::vector<Bytes>> AtomDatabase::decompress_entries_parallel(
    std::span<const MoleculeIndex> entries) const {
    KESTROVE_ASSIGN_OR_RETURN(const StoredRecords records, StoredRecords::of(*this, entries));
    std::vector<Bytes> decompressed(entries.size());
    // Each chunk stages the compressed bytes of its records in one buffer, reused record after
    // record.
    auto failure = platform::parallel_try_for_with<Bytes>(
        entries.size(), [&](size_t i, Bytes& staged) -> std::optional<Error> {
            auto record = records.owned_record(entries[i], staged);
            if (!record.ok()) return std::move(record).error();
            decompressed[i] = std::move(record).value();
            return std::nullopt;
        });
    if (failure) return std::move(*failure);
    return decompressed;
}

std::optional<std::span<const uint8_t>> AtomDatabase::get_compressed_slice(uint64_t i) const {
    const auto entry = index_.get(i);
    if (!entry) return std::nullopt;
    return mapped_range(*entry);
}

std::optional<SharedMmapBytes> AtomDatabase::get_shared_mmap_bytes(uint64_t i) const {
    const auto entry = index_.get(i);
    if (!entry) return std::nullopt;
    if (!mapped_range(*entry)) return std::nullopt;
    return SharedMmapBytes(data_mmap_, entry->offset, entry->offset + entry->compressed_size);
}

std::optional<uint32_t> AtomDatabase::uncompressed_size(uint64_t i) const {
    const auto entry = index_.get(i);
    if (!entry) return std::nullopt;
    return entry->uncompressed_size;
}

std::optional<uint32_t> AtomDatabase::num_atoms(uint64_t i) const {
    const auto entry = index_.get(i);
    if (!entry) return std::nullopt;
    return entry->num_atoms;
}

std::optional<DatabaseSchema> AtomDatabase::schema_info() const {
    if (!schema_lock_) return std::nullopt;
    DatabaseSchema schema;
    schema.sections.reserve(schema_lock_->sections.size());
    for (const auto& [key, entry] : schema_lock_->sections) {
        schema.sections.push_back(DatabaseSchemaSection{
            key.kind, key.key, entry.type_tag, entry.per_atom, entry.elem_bytes, entry.slot_bytes});
    }
    schema.positions_type = schema_lock_->positions_type;
    return schema;
}

}  // namespace kestrove::storage
