// Flat batch extraction: many records as one dictionary of concatenated NumPy arrays.
#include "python/database_flat.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "engine/compression.hpp"
#include "engine/storage/builtin_fields.hpp"
#include "engine/storage/dtypes.hpp"
#include "engine/storage/stored_records.hpp"
#include "engine/utf8.hpp"
#include "engine/view/record_parser.hpp"
#include "engine/view/record_view.hpp"
#include "platform/thread_pool.hpp"
#include "python/database.hpp"
#include "python/index_args.hpp"
#include "python/numpy_bridge.hpp"

namespace kestrove_rs::database::flat {

using binding::PyRef;
using kestrove::Error;
using kestrove::storage::AtomDatabase;
using kestrove::storage::index::MoleculeIndex;
using kestrove::view::ParsedSoaRecord;
using kestrove::view::SectionSchema;
using kestrove::view::SoaContext;
using kestrove::view::SoaSectionRef;
using numpy::Dtype;
using numpy::HeapBuffer;
namespace dtypes = kestrove::storage::dtypes;

namespace {

// Every record holds its u32 atom count, a u16 section count and, per atom, at least a
// single-precision position triple and an atomic number.
constexpr uint64_t kRecordFrame = 6;
constexpr uint64_t kMinAtomBytes = 13;

// The NumPy element type and trailing shape of a fixed-size column, by type tag.
struct ArrayRow {
    Dtype dtype;
    Py_ssize_t inner;  // 1 (scalars), 3 (triples) or 9 (3 × 3 matrices)
};

std::optional<ArrayRow> array_row(uint8_t tag) {
    switch (tag) {
        case dtypes::kTagF64:
        case dtypes::kTagF64Array:
            return ArrayRow{Dtype::kFloat64, 1};
        case dtypes::kTagI64:
        case dtypes::kTagI64Array:
            return ArrayRow{Dtype::kInt64, 1};
        case dtypes::kTagVec3F32:
            return ArrayRow{Dtype::kFloat32, 3};
        case dtypes::kTagF32Array:
        case dtypes::kTagF32:
            return ArrayRow{Dtype::kFloat32, 1};
        case dtypes::kTagVec3F64:
            return ArrayRow{Dtype::kFloat64, 3};
        case dtypes::kTagI32Array:
            return ArrayRow{Dtype::kInt32, 1};
        case dtypes::kTagBool3:
            return ArrayRow{Dtype::kBool, 3};
        case dtypes::kTagMat3F64:
            return ArrayRow{Dtype::kFloat64, 9};
        case dtypes::kTagMat3F32:
            return ArrayRow{Dtype::kFloat32, 9};
        default:
            return std::nullopt;
    }
}

// The bytes of one row of a column: one element of an array tag, the whole value of a scalar,
// boolean triple or matrix tag; none for a tag without an element type.
std::optional<uint64_t> row_bytes(uint8_t tag) {
    const auto row = array_row(tag);
    if (!row) return std::nullopt;
    return numpy::dtype_size(row->dtype) * static_cast<uint64_t>(row->inner);
}

// What a column becomes in the result.
enum class Output : uint8_t {
    kSkip,   // not a section this system writes: matched and checked, never returned
    kArray,  // an array of the tag's element type
    kBytes,  // a uint8 array of the stored bytes (a tag without an element type)
    kList,   // a list of texts or None
};

Output output_of(const SectionSchema& schema) {
    if (schema.kind == dtypes::kKindBuiltin) {
        // Any kind-0 key other than a built-in field's is not ours.
        if (kestrove::storage::builtin_fields::find_builtin_field(schema.key) == nullptr) {
            return Output::kSkip;
        }
    } else if (schema.kind != dtypes::kKindAtomProperty &&
               schema.kind != dtypes::kKindMolProperty) {
        return Output::kSkip;
    }
    if (schema.type_tag == dtypes::kTagString || schema.type_tag == dtypes::kTagNull)
        return Output::kList;
    return array_row(schema.type_tag) ? Output::kArray : Output::kBytes;
}

struct Column {
    SectionSchema schema;
    Output output = Output::kSkip;
    // A column of boolean triples: each stored byte is copied as 0 or 1, never more, so that the
    // array needs no pass over its rows afterwards (which would commit every zero row).
    bool booleans = false;
    HeapBuffer buffer;  // kArray and kBytes: the column's bytes, zero-filled
    // kList: item m is written only by molecule m's task, so the items need no lock.
    std::vector<std::optional<std::string>> texts;
};

// No column.
constexpr size_t kNone = std::numeric_limits<size_t>::max();

// A lookup table from section kind to a table from key to column position. The keys view the
// columns' own key strings.
class ColumnLookup {
public:
    // Indexes `columns`; where two columns share a kind and key, the first one is found.
    void build(const std::vector<Column>& columns) {
        kinds_.clear();
        for (size_t c = 0; c < columns.size(); ++c) {
            const SectionSchema& schema = columns[c].schema;
            keys_of(schema.kind).emplace(schema.key, c);
        }
    }

    // The column of (kind, key), or kNone.
    size_t find(uint8_t kind, std::string_view key) const {
        for (const auto& [k, keys] : kinds_) {
            if (k != kind) continue;
            const auto found = keys.find(key);
            return found == keys.end() ? kNone : found->second;
        }
        return kNone;
    }

private:
    using KeyTable = std::unordered_map<std::string_view, size_t>;

    KeyTable& keys_of(uint8_t kind) {
        for (auto& [k, keys] : kinds_) {
            if (k == kind) return keys;
        }
        return kinds_.emplace_back(kind, KeyTable()).second;
    }

    // Records hold sections of three kinds, so a short list beats a table here.
    std::vector<std::pair<uint8_t, KeyTable>> kinds_;
};

// Everything one call fills. The buffers are allocated once at their final size before the fill
// starts; only a call that turns keyed replaces its columns, once.
struct Batch {
    size_t n_molecules = 0;
    uint64_t total_atoms = 0;
    std::vector<uint64_t> offsets;  // n_molecules + 1 atom offsets
    HeapBuffer counts;              // uint32 per molecule, from the index
    HeapBuffer positions;           // bytes_per_atom per atom
    HeapBuffer atomic_numbers;      // one byte per atom
    std::vector<Column> columns;
    ColumnLookup lookup;  // over `columns`, rebuilt whenever they are replaced
    bool keyed = false;
    // Positional mode over the schema lock: a record whose sections are not the columns' raises
    // `turn_keyed`, and the call is then read again in keyed mode.
    bool may_turn_keyed = false;
    std::atomic<bool> turn_keyed{false};
    SoaContext context;
};

std::string quoted(std::string_view key) { return "'" + std::string(key) + "'"; }

Error invalid_length(std::string_view key, uint64_t got, uint64_t expected) {
    return Error::invalid_data("Section " + quoted(key) + " has invalid payload length " +
                               std::to_string(got) + " (expected " + std::to_string(expected) +
                               ")");
}

// Copies a payload into a column's buffer at byte `at`; any non-zero stored byte of a boolean
// column is true.
void copy_into(Column& column, uint64_t at, std::span<const uint8_t> payload) {
    uint8_t* out = static_cast<uint8_t*>(column.buffer.data()) + at;
    if (!column.booleans) {
        std::memcpy(out, payload.data(), payload.size());
        return;
    }
    for (size_t i = 0; i < payload.size(); ++i) out[i] = payload[i] != 0;
}

// Checks the payload of section `section` of molecule m (r atoms) against column c and copies
// it into the column. Every write stays inside molecule m's rows and slot.
std::optional<Error> copy_payload(Batch& batch, size_t m, size_t r, const SoaSectionRef& section,
                                  Column& column) {
    const SectionSchema& schema = column.schema;
    const uint64_t len = section.payload.size();
    const bool has_buffer = column.output == Output::kArray || column.output == Output::kBytes;
    if (schema.per_atom) {
        // The first record's layout refuses a per-atom text; a later molecule that holds one is
        // refused alike, never read as absent.
        if (schema.type_tag == dtypes::kTagString) {
            return kestrove::view::per_atom_text_error(section.key);
        }
        uint64_t expected;
        if (__builtin_mul_overflow(static_cast<uint64_t>(r), schema.elem_bytes, &expected)) {
            return Error::invalid_data("Section " + quoted(section.key) +
                                       " payload length overflow");
        }
        if (len != expected) return invalid_length(section.key, len, expected);
        // A slot of 0 holds nothing per atom: only the empty payload of a record of no atoms
        // fits it, and stored values are never read as zeros.
        if (schema.slot_bytes == 0 && len != 0) return invalid_length(section.key, len, 0);
        if (has_buffer && len != 0) {
            copy_into(column, batch.offsets[m] * schema.elem_bytes, section.payload);
        }
        return std::nullopt;
    }
    if (schema.slot_bytes != 0 || column.output != Output::kList) {
        // A fixed-size column, also one whose slots are empty (zero values stored).
        if (len != schema.slot_bytes) return invalid_length(section.key, len, schema.slot_bytes);
        if (has_buffer && len != 0) copy_into(column, m * schema.slot_bytes, section.payload);
        return std::nullopt;
    }
    if (schema.type_tag == dtypes::kTagNull) return std::nullopt;
    if (!kestrove::is_valid_utf8(section.payload)) {
        return Error::invalid_data("Invalid UTF-8 in section " + quoted(section.key));
    }
    if (column.output == Output::kList) {
        column.texts[m].emplace(reinterpret_cast<const char*>(section.payload.data()), len);
    }
    return std::nullopt;
}

// A record that positional mode cannot match to the columns. Over the schema lock the columns
// are exactly its sections, so keyed mode reads such a record, or refuses it with its own
// message: the call turns keyed, as it would have had the first record been this one.
// Otherwise the mismatch is the molecule's failure.
std::optional<Error> positional_mismatch(Batch& batch, Error mismatch) {
    if (batch.may_turn_keyed) batch.turn_keyed.store(true, std::memory_order_relaxed);
    return mismatch;
}

// What one chunk of molecules reuses from record to record.
struct ChunkState {
    ParsedSoaRecord parsed;
    kestrove::Bytes stored_scratch;  // a record's stored bytes, read from the file
    kestrove::Bytes record_scratch;  // a decompressed record
    std::vector<size_t> matched;     // keyed mode: the column of each section position, or kNone
};

// Parses one record and copies it into molecule m's rows and slots.
std::optional<Error> fill_one(Batch& batch, size_t m, std::span<const uint8_t> record,
                              ChunkState& state) {
    ParsedSoaRecord& parsed = state.parsed;
    auto status =
        kestrove::view::parse_mol_fast_soa_into(record, batch.context.bytes_per_atom, parsed);
    if (!status.ok()) return std::move(status).error();
    const size_t r = parsed.n_atoms;
    const uint64_t expected_atoms = batch.offsets[m + 1] - batch.offsets[m];
    if (r != expected_atoms) {
        // The rows were laid out from the index; a record of another size would spill over.
        return Error::invalid_data("Molecule " + std::to_string(m) + " holds " + std::to_string(r) +
                                   " atoms but its index entry says " +
                                   std::to_string(expected_atoms));
    }
    const size_t bpa = batch.context.bytes_per_atom;
    if (r != 0) {
        std::memcpy(static_cast<uint8_t*>(batch.positions.data()) + batch.offsets[m] * bpa,
                    parsed.positions.data(), r * bpa);
        std::memcpy(static_cast<uint8_t*>(batch.atomic_numbers.data()) + batch.offsets[m],
                    parsed.atomic_numbers.data(), r);
    }
    if (!batch.keyed && parsed.sections.size() != batch.columns.size()) {
        return positional_mismatch(
            batch, Error::invalid_data("SOA schema mismatch for molecule " + std::to_string(m) +
                                       ": expected " + std::to_string(batch.columns.size()) +
                                       " sections, got " + std::to_string(parsed.sections.size())));
    }
    for (size_t j = 0; j < parsed.sections.size(); ++j) {
        const SoaSectionRef& section = parsed.sections[j];
        // Records of one database mostly list their sections in one order: column j
        // (positional), or the column that position matched in the chunk's last record (keyed),
        // is tried before the lookup table.
        size_t c = !batch.keyed ? j : j < state.matched.size() ? state.matched[j] : kNone;
        if (c == kNone || batch.columns[c].schema.kind != section.kind ||
            batch.columns[c].schema.key != section.key) {
            c = batch.lookup.find(section.kind, section.key);
            if (c == kNone && batch.keyed) {
                return Error::invalid_data("Unexpected SOA section " + quoted(section.key) +
                                           " in molecule " + std::to_string(m));
            }
            if (c == kNone) {
                return positional_mismatch(
                    batch,
                    Error::invalid_data("SOA schema order mismatch at molecule " +
                                        std::to_string(m) + " for section " + quoted(section.key)));
            }
            if (batch.keyed) {
                if (j >= state.matched.size()) state.matched.resize(j + 1, kNone);
                state.matched[j] = c;
            }
        }
        Column& column = batch.columns[c];
        if (column.schema.type_tag != section.type_tag) {
            return Error::invalid_data("SOA schema mismatch at molecule " + std::to_string(m) +
                                       " for section " + quoted(section.key));
        }
        if (auto failure = copy_payload(batch, m, r, section, column)) return failure;
    }
    return std::nullopt;
}

// Asks the processor to start loading a record's stored bytes from the map, so that reading them
// overlaps the work on the record before it: random records are cache misses, and following one
// record's fields is a chain of them.
void prefetch_record(std::span<const uint8_t> stored_bytes) {
    constexpr size_t kCacheLine = 64;
    constexpr size_t kMaxPrefetchBytes = 4096;
    // Both bounds stay in the loop's condition: g++ 12 deletes this loop, prefetches and all,
    // when its bound is their minimum computed beforehand.
    for (size_t at = 0; at < kMaxPrefetchBytes && at < stored_bytes.size(); at += kCacheLine) {
        __builtin_prefetch(stored_bytes.data() + at);
    }
}

// Where the call finds its records: the index entries of the requested molecules, and the
// stored bytes those entries name, in the map or in the database's own file.
struct RecordSource {
    const AtomDatabase& db;
    bool from_map;
    const kestrove::storage::StoredRecords& records;
    const std::vector<uint64_t>& indices;
    const std::vector<MoleculeIndex>& entries;  // entries[m]: that of indices[m]
};

// The record of molecule m: the map's own bytes when uncompressed (valid while the map lives),
// else read or decompressed into the chunk's buffers (valid until its next record).
kestrove::Result<std::span<const uint8_t>> read_record(const RecordSource& source, size_t m,
                                                       ChunkState& state) {
    const MoleculeIndex& entry = source.entries[m];
    const auto named = [&](const char* what) {
        return [&source, m, what] {
            return std::string(what) + " record of molecule " + std::to_string(source.indices[m]);
        };
    };
    KESTROVE_ASSIGN_OR_RETURN(const auto stored,
                              binding::naming_allocations(named("the stored"), [&] {
                                  return source.records.stored_bytes(entry, state.stored_scratch);
                              }));
    return binding::naming_allocations(named("the decompressed"), [&] {
        return source.records.record(entry, stored, state.record_scratch);
    });
}

// Whether a record of `record_bytes` bytes can hold `count` atoms: every record holds its u32
// atom count, a u16 section count and, per atom, at least a single-precision position triple and
// an atomic number.
bool can_hold(uint64_t record_bytes, uint64_t count) {
    return count * kMinAtomBytes + kRecordFrame <= record_bytes;
}

Error count_refusal(uint64_t index, uint64_t count) {
    return Error::invalid_data("Index entry of molecule " + std::to_string(index) + " declares " +
                               std::to_string(count) + " atoms that its record cannot hold");
}

// A record read from the file is checked against the atom count of its entry as it was read,
// before it is parsed: too short for that count, it is refused as the count check refuses one.
// From the map, the count was checked against what the stored bytes can yield, and a record of
// another count is refused as it is filled.
std::optional<Error> check_record_count(const RecordSource& source, const Batch& batch, size_t m,
                                        std::span<const uint8_t> record) {
    const uint64_t count = batch.offsets[m + 1] - batch.offsets[m];
    if (source.from_map || can_hold(record.size(), count)) return std::nullopt;
    return count_refusal(source.indices[m], count);
}

// Bounds the slot of a per-molecule column, which the schema lock declares untrusted: a slot is
// the payload of a record that holds the column, so no longer than such a record. The requested
// records are tried first. A slot longer than all of them can only be that of a column which
// other records alone hold (each requested molecule then gets zeros); for it, the longest record
// that any entry of the index can yield is the bound.
class SlotBound {
public:
    SlotBound(const AtomDatabase& db, uint64_t longest_requested)
        : db_(db), longest_requested_(longest_requested) {}

    bool admits(uint64_t slot_bytes) const {
        if (slot_bytes <= longest_requested_) return true;
        return slot_bytes <= db_.index().longest_record_size(db_.compression());
    }

private:
    const AtomDatabase& db_;
    uint64_t longest_requested_;
};

// What a new buffer holds before it is filled.
enum class Fill : uint8_t {
    kZeros,    // rows that no molecule writes read as zero
    kNothing,  // every row is written before the buffer is read
};

// A buffer of `bytes` bytes for what `what()` names. Its size was derived from untrusted counts:
// it is checked to be addressable, and an allocation that fails is raised as a MemoryError that
// says what was being sized.
template <class What>
kestrove::Result<HeapBuffer> allocate(uint64_t bytes, Fill fill, What what) {
    if (bytes > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
        return Error::invalid_data("flat column size overflow");
    }
    return binding::naming_allocations(
        [&] { return std::to_string(bytes) + " bytes for " + what(); },
        [&] {
            const auto size = static_cast<size_t>(bytes);
            return fill == Fill::kZeros ? HeapBuffer::zeroed(size) : HeapBuffer(size);
        });
}

// Makes `schemas` the call's columns, in that order, and indexes them; nothing is allocated yet.
void assign_columns(Batch& batch, std::vector<SectionSchema> schemas) {
    batch.columns.clear();
    batch.columns.resize(schemas.size());
    for (size_t c = 0; c < schemas.size(); ++c) {
        batch.columns[c].output = output_of(schemas[c]);
        batch.columns[c].booleans =
            batch.columns[c].output == Output::kArray && schemas[c].type_tag == dtypes::kTagBool3;
        batch.columns[c].schema = std::move(schemas[c]);
    }
    batch.lookup.build(batch.columns);
}

// Whether the schema lock holds exactly the columns' sections, in any order.
bool columns_match(const Batch& batch, const kestrove::storage::DatabaseSchema& lock) {
    if (lock.sections.size() != batch.columns.size()) return false;
    return std::all_of(lock.sections.begin(), lock.sections.end(), [&](const auto& s) {
        const size_t c = batch.lookup.find(s.kind, s.key);
        if (c == kNone) return false;
        const SectionSchema& f = batch.columns[c].schema;
        return f.type_tag == s.type_tag && f.per_atom == s.per_atom &&
               f.elem_bytes == s.elem_bytes && f.slot_bytes == s.slot_bytes;
    });
}

// Checks that a column has a tag and slot that records of its section can have, before it sizes the
// rows of every molecule, also of those that lack the section: another slot would give them extra
// rows, or too few, and another tag another element type. A built-in field carries its single- or
// double-precision tag, whatever the record format, and the slot of a tag with an element type fits
// the tag (`slot_fits_tag`); a slot of 0 takes only empty payloads. A first record's columns are
// held to this and to the derivation they come from (`section_schema_from_ref`), no more. The
// schema lock's columns have besides passed `check_written_lock` (the per_atom flag, the element
// length, the tags of custom properties and of format 2), once for the call, in `checked_lock`.
kestrove::Status check_tag_and_slot(const SectionSchema& schema) {
    const auto refuse = [&](const std::string& what) {
        return Error::invalid_data("Section " + quoted(schema.key) + " has invalid " + what);
    };
    if (schema.kind == dtypes::kKindBuiltin) {
        const auto* field = kestrove::storage::builtin_fields::find_builtin_field(schema.key);
        if (field != nullptr && schema.type_tag != field->tag_f32 &&
            schema.type_tag != field->tag_f64) {
            return refuse("type tag " + std::to_string(schema.type_tag));
        }
    }
    if (!row_bytes(schema.type_tag)) return {};
    if (kestrove::storage::schema::slot_fits_tag(schema.type_tag, schema.per_atom,
                                                 schema.slot_bytes)) {
        return {};
    }
    return refuse("slot length " + std::to_string(schema.slot_bytes) + " for type tag " +
                  std::to_string(schema.type_tag));
}

// Allocates every column's zero-filled buffer or text list.
kestrove::Status allocate_columns(Batch& batch, const SlotBound& slots) {
    // Every column is checked before any is sized.
    for (const Column& column : batch.columns) {
        if (column.output != Output::kSkip) KESTROVE_TRY(check_tag_and_slot(column.schema));
    }
    for (Column& column : batch.columns) {
        const SectionSchema& schema = column.schema;
        if (column.output == Output::kArray || column.output == Output::kBytes) {
            // The schema lock is untrusted: a per-atom element has its tag's row size, and a
            // slot is a payload that some record holds.
            const uint64_t unit = schema.per_atom ? schema.elem_bytes : schema.slot_bytes;
            const uint64_t rows = schema.per_atom ? batch.total_atoms : batch.n_molecules;
            const bool fits =
                schema.per_atom ? row_bytes(schema.type_tag) == unit : slots.admits(unit);
            uint64_t bytes;
            if (!fits || __builtin_mul_overflow(unit, rows, &bytes)) {
                return Error::invalid_data("Section " + quoted(schema.key) +
                                           " payload length overflow");
            }
            KESTROVE_ASSIGN_OR_RETURN(column.buffer, allocate(bytes, Fill::kZeros, [&] {
                                          return "section " + quoted(schema.key) + " of " +
                                                 std::to_string(rows) +
                                                 (schema.per_atom ? " atoms" : " molecules");
                                      }));
        } else if (column.output == Output::kList) {
            column.texts.resize(batch.n_molecules);
        }
    }
    return {};
}

// Keyed mode: the columns are the schema lock's sections, in its order.
kestrove::Status lay_out_keyed(Batch& batch, const kestrove::storage::DatabaseSchema& lock,
                               const SlotBound& slots) {
    std::vector<SectionSchema> schemas;
    schemas.reserve(lock.sections.size());
    for (const auto& s : lock.sections) {
        schemas.push_back(
            SectionSchema{s.key, s.elem_bytes, s.slot_bytes, s.per_atom, s.kind, s.type_tag});
    }
    batch.keyed = true;
    batch.may_turn_keyed = false;
    assign_columns(batch, std::move(schemas));
    return allocate_columns(batch, slots);
}

// Lays out the columns from the first record and the schema lock, and allocates them:
// positional mode over the first record's sections when there is no schema lock or it holds
// exactly those sections, keyed mode otherwise.
kestrove::Status lay_out(Batch& batch, std::vector<SectionSchema> first,
                         const std::optional<kestrove::storage::DatabaseSchema>& lock,
                         const SlotBound& slots) {
    assign_columns(batch, std::move(first));
    if (lock && !columns_match(batch, *lock)) return lay_out_keyed(batch, *lock, slots);
    batch.may_turn_keyed = lock.has_value();
    return allocate_columns(batch, slots);
}

// Molecules per task: enough work per task that waking a worker pays off; a small batch runs on
// fewer threads, or inline. Copying a record costs far less per atom than decompressing one, so a
// task that decompresses holds fewer atoms, which spreads a batch over more threads.
size_t flat_chunk(const Batch& batch, bool decompresses) {
    constexpr uint64_t kCopiedAtomsPerTask = 1024;
    constexpr uint64_t kDecompressedAtomsPerTask = 256;
    const uint64_t atoms_per_task = decompresses ? kDecompressedAtomsPerTask : kCopiedAtomsPerTask;
    const uint64_t mean_atoms = std::max<uint64_t>(1, batch.total_atoms / batch.n_molecules);
    return static_cast<size_t>(std::max<uint64_t>(1, atoms_per_task / mean_atoms));
}

// The failure a fill reports. From the map, that of the lowest position that failed. From the
// file, a failure to read or decompress a record outranks every other failure (of those, the
// first one a worker recorded is reported); otherwise again the lowest position's failure.
class FillFailure {
public:
    explicit FillFailure(bool reads_first) : reads_first_(reads_first) {}

    void note(size_t m, Error error, bool read) {
        // Any read failure will do: each one counts as the lowest position.
        lowest_.note(reads_first_ && read ? 0 : m + 1, std::move(error));
    }
    std::optional<Error> take() { return lowest_.take(); }

private:
    bool reads_first_;
    kestrove::platform::LowestFailure<Error> lowest_;
};

// Fills every molecule's rows and slots on the worker pool. Each chunk of molecules reads its
// records one at a time into buffers it reuses; every molecule is processed. Once the call turns
// keyed the pass stops early: it is read again, and what this pass found no longer counts.
std::optional<Error> fill_all(const RecordSource& source, Batch& batch) {
    FillFailure failures(!source.from_map);
    const bool compressed =
        source.db.compression().kind != kestrove::compression::CompressionType::None;
    const size_t chunk = flat_chunk(batch, compressed);
    kestrove::platform::parallel_for(batch.n_molecules, chunk, [&](size_t begin, size_t end) {
        ChunkState state;
        for (size_t m = begin; m < end; ++m) {
            if (batch.turn_keyed.load(std::memory_order_relaxed)) return;
            if (source.from_map && m + 1 < end) {
                if (const auto next = source.db.mapped_range(source.entries[m + 1])) {
                    prefetch_record(*next);
                }
            }
            auto record = read_record(source, m, state);
            if (!record.ok()) {
                failures.note(m, std::move(record).error(), true);
                return;
            }
            auto failure = check_record_count(source, batch, m, record.value());
            if (!failure) failure = fill_one(batch, m, record.value(), state);
            if (!failure) continue;
            failures.note(m, std::move(*failure), false);
            // Later molecules of this chunk cannot beat this one; the rest of the batch is
            // dropped anyway.
            return;
        }
    });
    return failures.take();
}

// A requested position whose record the pre-pass refuses, and why.
struct Refusal {
    size_t at;
    Error error;
};

// The index entry, atom count and atom offset of every requested molecule. Fails at the first
// position past the end of the index, before any record is read.
kestrove::Status gather_entries(const AtomDatabase& db, const std::vector<uint64_t>& indices,
                                Batch& batch, std::vector<MoleculeIndex>& entries) {
    const size_t n = indices.size();
    entries.resize(n);
    batch.counts = HeapBuffer(n * sizeof(uint32_t));
    batch.offsets.resize(n + 1);
    batch.offsets[0] = 0;
    // Random entries are cache misses: the fewer instructions this loop runs per entry, the more
    // of those loads it keeps in flight at once.
    for (size_t m = 0; m < n; ++m) {
        const auto entry = db.index().get(indices[m]);
        if (!entry) {
            return Error::invalid_data("Index " + std::to_string(indices[m]) + " out of bounds");
        }
        entries[m] = *entry;
        const uint32_t count = entry->num_atoms;
        std::memcpy(static_cast<uint8_t*>(batch.counts.data()) + m * sizeof(uint32_t), &count,
                    sizeof(uint32_t));
        if (__builtin_add_overflow(batch.offsets[m], uint64_t{count}, &batch.offsets[m + 1])) {
            return Error::invalid_data("atom offset overflow");
        }
    }
    return {};
}

// The first position whose stored bytes cannot be read. From the map, a record the map does not
// hold is refused there, and the molecules before it are still filled. From the file, stored
// bytes that do not lie inside it fail the call at once.
kestrove::Result<std::optional<Refusal>> find_unreadable(const RecordSource& source) {
    const bool compressed =
        source.db.compression().kind != kestrove::compression::CompressionType::None;
    for (size_t m = 0; m < source.entries.size(); ++m) {
        if (!source.from_map) {
            KESTROVE_TRY(source.records.check_stored_range(source.entries[m]));
        } else if (!source.db.mapped_range(source.entries[m])) {
            return std::optional<Refusal>(Refusal{
                m,
                missing_part(source.indices[m], compressed ? "compressed bytes" : "mmap bytes")});
        }
    }
    return std::optional<Refusal>();
}

// Checks the count of every position before `end` against the longest record its stored bytes
// can yield, so that no buffer is sized from a count the stored bytes cannot back; the first
// position that fails is refused in place of `refused`. Returns the longest of those records.
uint64_t check_counts(const RecordSource& source, const Batch& batch,
                      std::optional<Refusal>& refused) {
    const size_t end = refused ? refused->at : source.entries.size();
    uint64_t longest = 0;
    for (size_t m = 0; m < end; ++m) {
        const MoleculeIndex& entry = source.entries[m];
        const uint64_t record_bytes = kestrove::compression::max_decompressed_size(
            source.db.compression(), entry.compressed_size, entry.uncompressed_size);
        const uint64_t count = batch.offsets[m + 1] - batch.offsets[m];
        if (!can_hold(record_bytes, count)) {
            refused = Refusal{m, count_refusal(source.indices[m], count)};
            break;
        }
        longest = std::max(longest, record_bytes);
    }
    return longest;
}

// Lays out and allocates the columns from the first requested record and the schema lock.
kestrove::Status lay_out_from_first(const RecordSource& source,
                                    const std::optional<kestrove::storage::DatabaseSchema>& lock,
                                    Batch& batch, const SlotBound& slots) {
    ChunkState state;
    KESTROVE_ASSIGN_OR_RETURN(const auto first_record, read_record(source, 0, state));
    if (auto refused = check_record_count(source, batch, 0, first_record)) return *refused;
    KESTROVE_ASSIGN_OR_RETURN(
        ParsedSoaRecord parsed,
        kestrove::view::parse_mol_fast_soa(first_record, batch.context.bytes_per_atom));
    std::vector<SectionSchema> first;
    first.reserve(parsed.sections.size());
    for (const SoaSectionRef& section : parsed.sections) {
        KESTROVE_ASSIGN_OR_RETURN(SectionSchema schema,
                                  kestrove::view::section_schema_from_ref(section, parsed.n_atoms));
        first.push_back(std::move(schema));
    }
    return lay_out(batch, std::move(first), lock, slots);
}

// The database's schema lock, when it has one, once every entry is known to be one that this
// system's writers give their sections. The columns of a call are laid out from it, also for
// molecules that lack a section: an entry that disagrees with its kind or its tag would give them
// rows of another count, or read values that the records hold as absent.
kestrove::Result<std::optional<kestrove::storage::DatabaseSchema>> checked_lock(
    const AtomDatabase& db) {
    if (const auto& lock = db.schema_lock()) {
        KESTROVE_TRY(kestrove::storage::schema::check_written_lock(*lock, db.record_format()));
    }
    return db.schema_info();
}

// Allocates the positions and atomic numbers of every atom; every molecule that succeeds writes
// all of its rows, so these need no zero fill.
kestrove::Status allocate_atoms(Batch& batch) {
    uint64_t position_bytes;
    if (__builtin_mul_overflow(batch.total_atoms, uint64_t{batch.context.bytes_per_atom},
                               &position_bytes) ||
        position_bytes > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
        return Error::invalid_data("atom offset overflow");
    }
    const auto atoms = [&] { return std::to_string(batch.total_atoms) + " atoms"; };
    KESTROVE_ASSIGN_OR_RETURN(batch.positions, allocate(position_bytes, Fill::kNothing, [&] {
                                  return "the positions of " + atoms();
                              }));
    KESTROVE_ASSIGN_OR_RETURN(batch.atomic_numbers,
                              allocate(batch.total_atoms, Fill::kNothing,
                                       [&] { return "the atomic numbers of " + atoms(); }));
    return {};
}

// Steps of the call that need no interpreter lock: counts, layout and the parallel fill.
//
// Every buffer is sized from the index's counts before any record is filled, and a count is used
// only once the stored bytes of its entry are known to be able to back it. The refused position
// is the first one whose count they cannot back or, from the map, whose stored bytes the map does
// not hold; no record after it is read. The call reports the first of these that applies:
// 1. the first position past the end of the index;
// 2. a decoding context that the record format and positions type do not give;
// 3. from the file, the first position whose stored bytes lie outside it;
// 4. the refused position, when it is the first one asked for;
// 5. an entry of the schema lock that no writer of this system makes;
// 6. the first position's record failing to be read, or to give the columns;
// 7. a failure to fill a molecule before the refused position, as FillFailure orders them;
// 8. the refused position.
kestrove::Status fill_batch(const AtomDatabase& db, const std::vector<uint64_t>& indices,
                            Batch& batch) {
    std::vector<MoleculeIndex> entries;
    KESTROVE_TRY(gather_entries(db, indices, batch, entries));
    KESTROVE_ASSIGN_OR_RETURN(batch.context, SoaContext::from_database(db));
    KESTROVE_ASSIGN_OR_RETURN(const auto records,
                              kestrove::storage::StoredRecords::of(db, entries));
    const RecordSource source{db, uses_map(db), records, indices, entries};
    KESTROVE_ASSIGN_OR_RETURN(std::optional<Refusal> refused, find_unreadable(source));
    const uint64_t longest = check_counts(source, batch, refused);

    const size_t filled = refused ? refused->at : indices.size();
    if (filled == 0) return std::move(refused->error);
    KESTROVE_ASSIGN_OR_RETURN(const auto lock, checked_lock(db));
    batch.n_molecules = filled;
    batch.total_atoms = batch.offsets[filled];
    const SlotBound slots(db, longest);
    KESTROVE_TRY(lay_out_from_first(source, lock, batch, slots));
    KESTROVE_TRY(allocate_atoms(batch));

    auto failure = fill_all(source, batch);
    if (batch.turn_keyed.exchange(false, std::memory_order_relaxed)) {
        KESTROVE_TRY(lay_out_keyed(batch, *lock, slots));
        failure = fill_all(source, batch);
    }
    if (failure) return std::move(*failure);
    if (refused) return std::move(refused->error);
    return {};
}

// An array over a buffer handed to NumPy without a copy; null with an exception set.
PyObject* adopt(Dtype dtype, std::initializer_list<Py_ssize_t> shape, HeapBuffer buffer) {
    return numpy::adopt_buffer(dtype, std::span<const Py_ssize_t>(shape.begin(), shape.size()),
                               std::move(buffer));
}

// The result object of one column; null with an exception set.
PyObject* column_object(Column& column, size_t n_molecules) {
    const SectionSchema& schema = column.schema;
    if (column.output == Output::kList) {
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n_molecules)));
        if (!list) return nullptr;
        for (size_t m = 0; m < n_molecules; ++m) {
            PyObject* item;
            if (column.texts[m]) {
                item = binding::to_py_str(*column.texts[m]);
                if (item == nullptr) return nullptr;
            } else {
                item = PyRef::borrow(Py_None).release();
            }
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(m), item);
        }
        return list.release();
    }
    const size_t bytes = column.buffer.size();
    if (column.output == Output::kBytes) {
        return adopt(Dtype::kUInt8, {static_cast<Py_ssize_t>(bytes)}, std::move(column.buffer));
    }
    const ArrayRow row = *array_row(schema.type_tag);
    const size_t row_bytes = numpy::dtype_size(row.dtype) * static_cast<size_t>(row.inner);
    if (bytes % row_bytes != 0) {
        return binding::raise(PyExc_ValueError, "cannot reshape " + std::to_string(bytes) +
                                                    " bytes of section " + quoted(schema.key) +
                                                    " into rows of " + std::to_string(row_bytes) +
                                                    " bytes");
    }
    const auto n = static_cast<Py_ssize_t>(bytes / row_bytes);
    if (row.inner == 1) return adopt(row.dtype, {n}, std::move(column.buffer));
    if (row.inner == 3) return adopt(row.dtype, {n, 3}, std::move(column.buffer));
    return adopt(row.dtype, {n, 3, 3}, std::move(column.buffer));
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
    if (value == nullptr) return false;
    const int failed = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return failed == 0;
}

PyObject* empty_result() {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    if (!set_item(dict.get(), "n_atoms", adopt(Dtype::kUInt32, {0}, HeapBuffer(0))) ||
        !set_item(dict.get(), "positions", adopt(Dtype::kFloat32, {0, 3}, HeapBuffer(0))) ||
        !set_item(dict.get(), "atomic_numbers", adopt(Dtype::kUInt8, {0}, HeapBuffer(0)))) {
        return nullptr;
    }
    return dict.release();
}

}  // namespace

PyObject* get_molecules_flat_soa_impl(const AtomDatabase& database,
                                      const std::vector<uint64_t>& indices) {
    if (!numpy::ensure_imported()) return nullptr;
    if (indices.empty()) return empty_result();
    Batch batch;
    auto filled = binding::without_lock([&] { return fill_batch(database, indices, batch); });
    if (!filled.ok()) return binding::raise_engine_error(filled.error());

    const auto n = static_cast<Py_ssize_t>(batch.n_molecules);
    const auto atoms = static_cast<Py_ssize_t>(batch.total_atoms);
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    const Dtype positions_dtype =
        batch.context.positions_type_tag == dtypes::kTagVec3F64 ? Dtype::kFloat64 : Dtype::kFloat32;
    if (!set_item(dict.get(), "n_atoms", adopt(Dtype::kUInt32, {n}, std::move(batch.counts))) ||
        !set_item(dict.get(), "positions",
                  adopt(positions_dtype, {atoms, 3}, std::move(batch.positions))) ||
        !set_item(dict.get(), "atomic_numbers",
                  adopt(Dtype::kUInt8, {atoms}, std::move(batch.atomic_numbers)))) {
        return nullptr;
    }
    PyRef atom_properties = PyRef::steal(PyDict_New());
    PyRef properties = PyRef::steal(PyDict_New());
    if (!atom_properties || !properties) return nullptr;
    for (Column& column : batch.columns) {
        if (column.output == Output::kSkip) continue;
        PyRef value = PyRef::steal(column_object(column, batch.n_molecules));
        if (!value) return nullptr;
        PyObject* target = column.schema.kind == dtypes::kKindBuiltin        ? dict.get()
                           : column.schema.kind == dtypes::kKindAtomProperty ? atom_properties.get()
                                                                             : properties.get();
        PyRef key = PyRef::steal(binding::to_py_str(column.schema.key));
        if (!key || PyDict_SetItem(target, key.get(), value.get()) < 0) return nullptr;
    }
    if (PyDict_GET_SIZE(atom_properties.get()) != 0 &&
        PyDict_SetItemString(dict.get(), "atom_properties", atom_properties.get()) < 0) {
        return nullptr;
    }
    if (PyDict_GET_SIZE(properties.get()) != 0 &&
        PyDict_SetItemString(dict.get(), "properties", properties.get()) < 0) {
        return nullptr;
    }
    return dict.release();
}

constexpr binding::Param kIndicesParams[] = {{"indices", true, false}};
constexpr binding::Signature kGetMoleculesFlatSig{"PyAtomDatabase.get_molecules_flat()",
                                                  kIndicesParams};

PyObject* get_molecules_flat(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return binding::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        binding::BoundArgs<1> bound(kGetMoleculesFlatSig);
        if (!bound.bind(args, nargs, kwnames)) return nullptr;
        auto* object = reinterpret_cast<PyAtomDatabaseObject*>(self);
        binding::BorrowGuard borrow;
        if (!borrow.acquire_shared(object->borrow)) return nullptr;
        std::vector<uint64_t> indices;
        if (!extract_indices(bound[0], indices)) return bound.failed(0);
        return get_molecules_flat_soa_impl(*object->db, indices);
    });
}

}  // namespace kestrove_rs::database::flat
