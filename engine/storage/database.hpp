// The open database file: creation, opening, appends, commits and reads.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "base/error.hpp"
#include "engine/atom.hpp"
#include "engine/coding.hpp"
#include "engine/compression.hpp"
#include "engine/storage/dtypes.hpp"
#include "engine/storage/header.hpp"
#include "engine/storage/index.hpp"
#include "engine/storage/schema.hpp"
#include "platform/file.hpp"
#include "platform/mmap.hpp"

namespace kestrove::storage {

class StoredRecords;

// One section that records may hold: a schema-lock entry flattened, in the exchange form.
struct DatabaseSchemaSection {
    uint8_t kind = 0;
    std::string key;
    uint8_t type_tag = 0;
    bool per_atom = false;
    uint64_t elem_bytes = 0;
    uint64_t slot_bytes = 0;

    bool operator==(const DatabaseSchemaSection&) const = default;
};

// The schema of a database or of a batch of records.
struct DatabaseSchema {
    std::vector<DatabaseSchemaSection> sections;
    std::optional<uint8_t> positions_type;

    bool operator==(const DatabaseSchema&) const = default;
};

// One stored record's bytes inside the whole-file memory map. The share keeps the map alive, also
// after the database is gone, and may be dropped on any thread.
class SharedMmapBytes {
public:
    SharedMmapBytes(std::shared_ptr<const platform::MappedFile> mmap, size_t start, size_t end)
        : mmap_(std::move(mmap)), start_(start), end_(end) {}

    std::span<const uint8_t> as_slice() const {
        return mmap_->bytes().subspan(start_, end_ - start_);
    }
    size_t start() const { return start_; }
    size_t end() const { return end_; }

private:
    std::shared_ptr<const platform::MappedFile> mmap_;
    size_t start_;
    size_t end_;
};

// A ready record the caller keeps, with its atom count.
struct BorrowedRecord {
    std::span<const uint8_t> bytes;
    uint32_t num_atoms = 0;
};

// A ready record handed over to the database, with its atom count.
struct OwnedRecord {
    Bytes bytes;
    uint32_t num_atoms = 0;
};

// A ready record whose schema the append derives from its bytes.
struct TypedRecord {
    std::span<const uint8_t> bytes;
    uint32_t num_atoms = 0;
    uint8_t positions_type = 0;
};

// Where the schema of an append comes from: one lock that the caller built for every record, or
// the records themselves, each with its positions type when known.
struct AppendRecordsSchema {
    std::vector<std::pair<std::span<const uint8_t>, std::optional<uint8_t>>> records;
};
using AppendSchema = std::variant<schema::SchemaLock, AppendRecordsSchema>;

// The decompressed records of a bulk read, with the atom counts of their index entries.
struct DecompressedRecords {
    std::vector<Bytes> records;
    std::vector<uint32_t> num_atoms;
};

// The open database file. It holds no lock: operations that change it need exclusive access,
// reads need shared access, and its owner provides both.
//
// Nothing is durable until flush(): appends only add records at the end of the file and entries
// to the in-memory index. A flush appends the schema-lock and index blobs, syncs, then writes the
// header slot that names them into the slot not holding the previous commit, and syncs again.
class AtomDatabase {
public:
    inline static constexpr uint64_t kDataStart = header::kDataStart;

    AtomDatabase(AtomDatabase&&) noexcept = default;
    AtomDatabase& operator=(AtomDatabase&&) noexcept = default;
    AtomDatabase(const AtomDatabase&) = delete;
    AtomDatabase& operator=(const AtomDatabase&) = delete;

    // Both ways in look the path up once, made absolute against the current directory of that
    // moment, and keep the file they made or opened: reads go through it, whatever another
    // process puts at the path later. Writes open the path again and refuse a file that is not
    // that one.
    //
    // What a creation does with a file already at its path.
    enum class ExistingFile : uint8_t {
        kRefuse,   // fails with the OS's EEXIST and leaves the file untouched
        kReplace,  // removes it and makes a new file in its place; only a regular file whose
                   // entry cannot be removed is truncated and taken over in place
    };

    // Creates `path` as an empty database of record format 2: two identical header slots of
    // generation 0, synced; the directory is synced too where it can be opened. The file is made
    // exclusively (at the end of a symbolic link to nothing yet, too), so the database ends up
    // with a file that it made itself: a file that another process makes at the path meanwhile is
    // refused, or with kReplace removed in turn, never taken over. A creation that fails removes
    // the file it made; a file that was there before is left as the failure leaves it.
    static Result<AtomDatabase> create_with_format(const std::string& path, uint32_t kind,
                                                   int32_t level,
                                                   ExistingFile existing = ExistingFile::kRefuse);
    // Opens an existing database from its best header slot. With `mmap` the file is mapped for
    // record reads and, when it has a committed index, that index is read in place and the
    // database is read-only. The map is made from the handle that read the header slots.
    // `populate` has no effect.
    static Result<AtomDatabase> open_with_options(std::string path, bool mmap, bool populate);

    // --- Appends (exclusive access) ---
    Status add_molecule(const atom::Molecule& molecule);
    Status add_molecules(std::span<const atom::Molecule* const> molecules);
    Status add_raw_soa_records_with_schema(std::span<const BorrowedRecord> records,
                                           DatabaseSchema schema);
    Status add_raw_soa_records_with_positions_type(std::span<const TypedRecord> records);
    Status add_owned_soa_records_with_schema(std::vector<OwnedRecord> records,
                                             DatabaseSchema schema);
    Status append_owned_soa_records_prevalidated(std::vector<OwnedRecord> records,
                                                 schema::SchemaLock lock);
    // The schema of every stored record, read back from the file.
    Result<schema::SchemaLock> rebuild_schema_lock() const;

    // --- Commit (exclusive access) ---
    Status flush();

    // Cuts bytes past the last commit that an open without memory mapping found in the file.
    Status truncate_uncommitted_tail_if_needed();
    // After an open that rejected one header slot, overwrites that slot with the chosen one and
    // syncs, before the file is first cut or grown. A slot rejected because it names blobs past
    // the end of the file would otherwise become valid again once the file grows, and a later
    // open would prefer its stale commit; and with both slots holding the last commit, the next
    // flush always leaves an intact copy of it in the slot it does not write.
    Status repair_rejected_slot_if_needed();

    // --- Reads (shared access) ---
    // Records are read through the file this database created or opened, never by its path.
    uint64_t len() const { return index_.size(); }
    // The index entries of `indices`, in their order; "Index {} out of bounds" for the first
    // position past the end.
    Result<std::vector<index::MoleculeIndex>> lookup_entries(std::span<const size_t> indices) const;
    Result<std::vector<Bytes>> get_raw_bytes(std::span<const size_t> indices) const;
    Result<DecompressedRecords> read_decompress_parallel(std::span<const size_t> indices) const;
    Result<std::vector<Bytes>> decompress_entries_parallel(
        std::span<const index::MoleculeIndex> entries) const;
    // The stored bytes of record i inside the memory map, or nothing.
    std::optional<std::span<const uint8_t>> get_compressed_slice(uint64_t i) const;
    // The same for an entry already looked up: its stored bytes when they lie wholly inside the
    // data map, past the header slots.
    std::optional<std::span<const uint8_t>> mapped_range(const index::MoleculeIndex& entry) const;
    std::optional<SharedMmapBytes> get_shared_mmap_bytes(uint64_t i) const;
    std::optional<uint32_t> uncompressed_size(uint64_t i) const;
    std::optional<uint32_t> num_atoms(uint64_t i) const;
    std::optional<DatabaseSchema> schema_info() const;

    // --- State ---
    const std::string& path() const { return path_; }
    const index::IndexStorage& index() const { return index_; }
    compression::CompressionType compression() const { return compression_; }
    const std::optional<schema::SchemaLock>& schema_lock() const { return schema_lock_; }
    uint32_t record_format() const { return record_format_; }

    // --- Extra methods (for testing) that are not part of the database's interface ---
    uint64_t generation() const { return generation_; }
    uint64_t committed_end() const { return committed_end_; }
    bool tail_dirty() const { return tail_dirty_; }
    bool has_data_mmap() const { return data_mmap_ != nullptr; }

private:
    // Reads the records outside the map through the file, with the two calls below.
    friend class StoredRecords;

    AtomDatabase() = default;

    // The length of the file this database created or opened, as it is now.
    Result<uint64_t> file_length() const;
    // Fills buf[0, len) from that file at `offset`; fewer bytes there fail as a short read.
    Status read_file_at(uint64_t offset, void* buf, size_t len) const;

    static Result<AtomDatabase> open_v1(std::string path, platform::File file, bool mmap,
                                        bool populate);
    struct CompressedRecord {
        Bytes bytes;
        uint32_t uncompressed_size = 0;
        uint32_t num_atoms = 0;
    };

    // Opens the database's file by its path for one write, refusing a file that is not the one
    // this database created or opened (another process may have replaced the path since), or
    // that is shorter than what this database wrote (another process cut it, and a commit would
    // name bytes that are gone).
    Result<platform::OpenedFile> open_own_file_for_writing(platform::Access access) const;

    // The schema lock and record format of the database once the records of an append are in.
    struct PendingSchema {
        schema::SchemaLock lock;
        uint32_t record_format = dtypes::kRecordFormat2;
    };
    // Refuses a read-only database, cuts an uncommitted tail, and works out the record format and
    // the schema lock that the records about to be written bring, refusing a lock entry that flat
    // reads would refuse (`check_added_entries`). The database takes them only once those records
    // are written and indexed: an append that fails leaves both unchanged.
    Result<PendingSchema> prepare_append(AppendSchema schema);
    // The database's lock (rebuilt from its records where it has none) merged with the lock of
    // the records to append, and the record format they need.
    Result<PendingSchema> merged_schema(const AppendSchema& schema) const;
    // Refuses an entry that the pending lock adds to the held one (every entry, where none is
    // held) and that no writer of this system gives its section (`check_written_entry`). Flat
    // reads lay out their columns from the committed lock and refuse every read of a lock with
    // such an entry. A record added as it is brings entries that nothing else holds to these
    // rules, and a damaged one could bring one. Entries already held were checked as they were
    // added, or came with the file, and are left to the reads.
    Status check_added_entries(const PendingSchema& pending) const;
    // The record format that `lock` needs: the database's own, or format 3 where an empty
    // format-2 database may still move to it.
    Result<uint32_t> resolved_record_format_for_schema(const schema::SchemaLock& lock) const;

    Status write_owned_records(std::vector<OwnedRecord> records, PendingSchema pending);
    Status write_borrowed_records(std::span<const BorrowedRecord> records, PendingSchema pending);
    // Compresses `source(i)` into out[i].bytes for every i on the worker pool, calling
    // `release(i)` once record i is compressed. Stops at the first failure.
    template <class Source, class Release>
    Status compress_into(std::vector<CompressedRecord>& out, Source source, Release release) const;
    // Appends the records at the end of the file and only then extends the index and takes the
    // pending schema.
    Status write_compressed(std::vector<CompressedRecord> records, PendingSchema pending);
    bool may_move_to_format3() const;

    std::string path_;
    // The file this database created or opened. Every handle that a write opens by `path_` must
    // have the same; `file_` stays open meanwhile, so that no other file can take its numbers.
    platform::FileIdentity identity_;
    index::IndexStorage index_;
    compression::CompressionType compression_;
    std::optional<schema::SchemaLock> schema_lock_;
    uint64_t generation_ = 0;
    uint64_t committed_end_ = kDataStart;
    // The end of the last commit or of the last record appended since, whichever is later: the
    // file holds at least this many bytes unless another process cut it.
    uint64_t written_end_ = kDataStart;
    // The handle through which the database created or opened its file, held until it is
    // dropped. Reads outside the map go through it with positional reads; writes never do.
    platform::File file_;
    std::shared_ptr<const platform::MappedFile> data_mmap_;
    uint32_t record_format_ = dtypes::kRecordFormat2;
    bool tail_dirty_ = false;
    struct RejectedSlot {
        size_t slot;
        header::Header chosen;
    };
    std::optional<RejectedSlot> rejected_slot_;
};

}  // namespace kestrove::storage
