// Flat batch extraction: many records as one dictionary of concatenated NumPy arrays.
#include "python/database_flat.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "engine/compression.hpp"
#include "engine/storage/builtin_fields.hpp"
#include "engine/storage/dtypes.hpp"
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
        case 0:
        case 3:
            return ArrayRow{Dtype::kFloat64, 1};
        case 1:
        case 5:
            return ArrayRow{Dtype::kInt64, 1};
        case 4:
            return ArrayRow{Dtype::kFloat32, 3};
        case 6:
        case 11:
            return ArrayRow{Dtype::kFloat32, 1};
        case 7:
            return ArrayRow{Dtype::kFloat64, 3};
        case 8:
            return ArrayRow{Dtype::kInt32, 1};
        case 9:
            return ArrayRow{Dtype::kBool, 3};
        case 10:
            return ArrayRow{Dtype::kFloat64, 9};
        case 12:
            return ArrayRow{Dtype::kFloat32, 9};
        default:
            return std::nullopt;
    }
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
    HeapBuffer buffer;  // kArray and kBytes: the column's bytes, zero-filled
    // kList: item m is written only by molecule m's task, so the items need no lock.
    std::vector<std::optional<std::string>> texts;
};

// Everything one call fills; allocated once at its final size before any record is read.
struct Batch {
    size_t n_molecules = 0;
    uint64_t total_atoms = 0;
    std::vector<uint64_t> offsets;  // n_molecules + 1 atom offsets
    HeapBuffer counts;              // uint32 per molecule, from the index
    HeapBuffer positions;           // bytes_per_atom per atom
    HeapBuffer atomic_numbers;      // one byte per atom
    std::vector<Column> columns;
    bool keyed = false;
    SoaContext context;

    // The column of (kind, key), or npos.
    size_t find(uint8_t kind, std::string_view key) const {
        for (size_t c = 0; c < columns.size(); ++c) {
            if (columns[c].schema.kind == kind && columns[c].schema.key == key) return c;
        }
        return npos;
    }
    static constexpr size_t npos = std::numeric_limits<size_t>::max();
};

std::string quoted(std::string_view key) { return "'" + std::string(key) + "'"; }

Error invalid_length(std::string_view key, uint64_t got, uint64_t expected) {
    return Error::invalid_data("Section " + quoted(key) + " has invalid payload length " +
                               std::to_string(got) + " (expected " + std::to_string(expected) +
                               ")");
}

// Checks the payload of section `section` of molecule m (r atoms) against column c and copies
// it into the column. Every write stays inside molecule m's rows and slot.
std::optional<Error> copy_payload(Batch& batch, size_t m, size_t r, const SoaSectionRef& section,
                                  Column& column) {
    const SectionSchema& schema = column.schema;
    const uint64_t len = section.payload.size();
    const bool stored = column.output == Output::kArray || column.output == Output::kBytes;
    if (schema.per_atom) {
        uint64_t expected;
        if (__builtin_mul_overflow(static_cast<uint64_t>(r), schema.elem_bytes, &expected)) {
            return Error::invalid_data("Section " + quoted(section.key) +
                                       " payload length overflow");
        }
        if (len != expected) return invalid_length(section.key, len, expected);
        if (schema.slot_bytes != 0 && stored && len != 0) {
            std::memcpy(
                static_cast<uint8_t*>(column.buffer.data()) + batch.offsets[m] * schema.elem_bytes,
                section.payload.data(), len);
        }
        return std::nullopt;
    }
    if (schema.slot_bytes != 0 || column.output != Output::kList) {
        // A fixed-size column, also one whose slots are empty (zero values stored).
        if (len != schema.slot_bytes) return invalid_length(section.key, len, schema.slot_bytes);
        if (stored && len != 0) {
            std::memcpy(static_cast<uint8_t*>(column.buffer.data()) + m * schema.slot_bytes,
                        section.payload.data(), len);
        }
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

// Parses one record (into the worker's reused section list) and copies it into molecule m's
// rows and slots.
std::optional<Error> fill_one(Batch& batch, size_t m, std::span<const uint8_t> record,
                              ParsedSoaRecord& parsed) {
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
        return Error::invalid_data("SOA schema mismatch for molecule " + std::to_string(m) +
                                   ": expected " + std::to_string(batch.columns.size()) +
                                   " sections, got " + std::to_string(parsed.sections.size()));
    }
    for (size_t j = 0; j < parsed.sections.size(); ++j) {
        const SoaSectionRef& section = parsed.sections[j];
        size_t c;
        if (batch.keyed) {
            c = batch.find(section.kind, section.key);
            if (c == Batch::npos) {
                return Error::invalid_data("Unexpected SOA section " + quoted(section.key) +
                                           " in molecule " + std::to_string(m));
            }
        } else {
            // Records of one database may list the same sections in different orders.
            c = j;
            const SectionSchema& at_j = batch.columns[j].schema;
            if (at_j.kind != section.kind || at_j.key != section.key) {
                c = batch.find(section.kind, section.key);
                if (c == Batch::npos) {
                    return Error::invalid_data("SOA schema order mismatch at molecule " +
                                               std::to_string(m) + " for section " +
                                               quoted(section.key));
                }
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

// Asks the processor to start loading the stored bytes of record `index` from the map, so that
// reading them overlaps the work on the record before it: random records are cache misses, and
// following one record's fields is a chain of them.
void prefetch_record(const AtomDatabase& db, uint64_t index) {
    constexpr size_t kCacheLine = 64;
    constexpr size_t kMaxPrefetchBytes = 4096;
    const auto slice = db.get_compressed_slice(index);
    if (!slice) return;
    const size_t bytes = std::min(slice->size(), kMaxPrefetchBytes);
    for (size_t at = 0; at < bytes; at += kCacheLine) __builtin_prefetch(slice->data() + at);
}

// The largest record `db` can hold, and so the widest per-molecule slot: its file's size, times
// the largest expansion the compressors reach in practice when records are compressed.
uint64_t max_record_bytes(const AtomDatabase& db) {
    constexpr uint64_t kMaxExpansion = 1024;
    struct stat info{};
    if (::stat(db.path().c_str(), &info) != 0 || info.st_size < 0) {
        return std::numeric_limits<uint32_t>::max();
    }
    const auto size = static_cast<uint64_t>(info.st_size);
    return db.compression().kind == kestrove::compression::CompressionType::None
               ? size
               : size * kMaxExpansion;
}

// A column buffer of `bytes` zero bytes; the size was derived from untrusted counts and is
// checked to be addressable.
kestrove::Result<HeapBuffer> zeroed(uint64_t bytes) {
    if (bytes > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
        return Error::invalid_data("flat column size overflow");
    }
    HeapBuffer buffer(static_cast<size_t>(bytes));
    std::memset(buffer.data(), 0, static_cast<size_t>(bytes));
    return buffer;
}

// Lays out the columns from the first record and the stored schema, and allocates them.
kestrove::Status lay_out(Batch& batch, std::vector<SectionSchema> first,
                         const std::optional<kestrove::storage::DatabaseSchema>& stored,
                         uint64_t max_record_bytes) {
    std::vector<SectionSchema> schemas;
    if (!stored) {
        schemas = std::move(first);
    } else {
        bool same = stored->sections.size() == first.size();
        for (size_t i = 0; same && i < stored->sections.size(); ++i) {
            const auto& s = stored->sections[i];
            same = std::any_of(first.begin(), first.end(), [&](const SectionSchema& f) {
                return f.kind == s.kind && f.key == s.key && f.type_tag == s.type_tag &&
                       f.per_atom == s.per_atom && f.elem_bytes == s.elem_bytes &&
                       f.slot_bytes == s.slot_bytes;
            });
        }
        if (same) {
            schemas = std::move(first);
        } else {
            batch.keyed = true;
            for (const auto& s : stored->sections) {
                schemas.push_back(SectionSchema{s.key, s.elem_bytes, s.slot_bytes, s.per_atom,
                                                s.kind, s.type_tag});
            }
        }
    }
    batch.columns.reserve(schemas.size());
    for (SectionSchema& schema : schemas) {
        Column column;
        column.output = output_of(schema);
        if (column.output == Output::kArray || column.output == Output::kBytes) {
            // A stored schema is untrusted: a per-atom element has its tag's size, and a slot
            // is a payload that some record of this file holds.
            const uint64_t unit = schema.per_atom ? schema.elem_bytes : schema.slot_bytes;
            const uint64_t rows = schema.per_atom ? batch.total_atoms : batch.n_molecules;
            const auto row = array_row(schema.type_tag);
            const bool fits = schema.per_atom ? row && unit == numpy::dtype_size(row->dtype) *
                                                                   static_cast<uint64_t>(row->inner)
                                              : unit <= max_record_bytes;
            uint64_t bytes;
            if (!fits || __builtin_mul_overflow(unit, rows, &bytes)) {
                return Error::invalid_data("Section " + quoted(schema.key) +
                                           " payload length overflow");
            }
            KESTROVE_ASSIGN_OR_RETURN(column.buffer, zeroed(bytes));
        } else if (column.output == Output::kList) {
            column.texts.resize(batch.n_molecules);
        }
        column.schema = std::move(schema);
        batch.columns.push_back(std::move(column));
    }
    return {};
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

// Steps of the call that need no interpreter lock: counts, layout and the parallel fill.
kestrove::Status fill_batch(const AtomDatabase& db, const std::vector<uint64_t>& indices,
                            Batch& batch) {
    const size_t n = indices.size();
    batch.n_molecules = n;
    batch.counts = HeapBuffer(n * sizeof(uint32_t));
    batch.offsets.resize(n + 1);
    batch.offsets[0] = 0;
    const uint64_t record_limit = max_record_bytes(db);
    for (size_t m = 0; m < n; ++m) {
        // One lookup gives both counts: random entries are cache misses.
        const auto entry = db.index().get(indices[m]);
        if (!entry) {
            return Error::invalid_data("Index " + std::to_string(indices[m]) + " out of bounds");
        }
        const uint32_t count = entry->num_atoms;
        // The buffers are sized from these counts before any record is read: a count the entry's
        // record size cannot hold (positions, atomic numbers and the two count fields) is refused
        // here rather than allocated. That size is itself untrusted, so the file bounds it too.
        const uint64_t record_bytes = std::min<uint64_t>(entry->uncompressed_size, record_limit);
        if (uint64_t{count} * kMinAtomBytes + kRecordFrame > record_bytes) {
            return Error::invalid_data("Index entry of molecule " + std::to_string(indices[m]) +
                                       " declares " + std::to_string(count) +
                                       " atoms that its record cannot hold");
        }
        std::memcpy(static_cast<uint8_t*>(batch.counts.data()) + m * sizeof(uint32_t), &count,
                    sizeof(uint32_t));
        if (__builtin_add_overflow(batch.offsets[m], uint64_t{count}, &batch.offsets[m + 1])) {
            return Error::invalid_data("atom offset overflow");
        }
    }
    batch.total_atoms = batch.offsets[n];

    const bool from_map = uses_map(db);
    KESTROVE_ASSIGN_OR_RETURN(batch.context, SoaContext::from_database(db));
    const auto stored = db.schema_info();
    const auto compression = db.compression();

    // From the map, an uncompressed record is parsed in place: the reader borrow keeps the map
    // alive for the whole call, so no counted share is taken.
    std::vector<kestrove::Bytes> read;
    kestrove::Bytes first_scratch;
    std::span<const uint8_t> first_record;
    if (from_map) {
        KESTROVE_ASSIGN_OR_RETURN(first_record,
                                  map_record(db, indices[0], compression, first_scratch));
    } else {
        std::vector<size_t> wanted(indices.begin(), indices.end());
        KESTROVE_ASSIGN_OR_RETURN(read, db.get_raw_bytes(wanted));
        if (read.size() != n) {
            const size_t missing = std::min(read.size(), n - 1);
            return Error::invalid_data("Missing raw bytes for molecule " +
                                       std::to_string(indices[missing]));
        }
        first_record = read[0];
    }
    {
        KESTROVE_ASSIGN_OR_RETURN(
            ParsedSoaRecord parsed,
            kestrove::view::parse_mol_fast_soa(first_record, batch.context.bytes_per_atom));
        std::vector<SectionSchema> first;
        first.reserve(parsed.sections.size());
        for (const SoaSectionRef& section : parsed.sections) {
            KESTROVE_ASSIGN_OR_RETURN(SectionSchema schema, kestrove::view::section_schema_from_ref(
                                                                section, parsed.n_atoms));
            first.push_back(std::move(schema));
        }
        KESTROVE_TRY(lay_out(batch, std::move(first), stored, record_limit));
    }

    uint64_t position_bytes;
    if (__builtin_mul_overflow(batch.total_atoms, uint64_t{batch.context.bytes_per_atom},
                               &position_bytes) ||
        position_bytes > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
        return Error::invalid_data("atom offset overflow");
    }
    // Every successful molecule writes all of its rows, so these need no zero fill.
    batch.positions = HeapBuffer(static_cast<size_t>(position_bytes));
    batch.atomic_numbers = HeapBuffer(static_cast<size_t>(batch.total_atoms));

    // Each chunk of molecules reuses one section list and one decompression buffer; every
    // molecule is processed, and the failure reported is that of the lowest position.
    std::mutex failure_mutex;
    size_t failed_at = std::numeric_limits<size_t>::max();
    std::optional<Error> failure;
    const bool decompresses =
        from_map && compression.kind != kestrove::compression::CompressionType::None;
    const size_t chunk = flat_chunk(batch, decompresses);
    kestrove::platform::parallel_for(n, chunk, [&](size_t begin, size_t end) {
        ParsedSoaRecord parsed;
        kestrove::Bytes scratch;
        for (size_t m = begin; m < end; ++m) {
            std::optional<Error> result;
            if (from_map && m + 1 < end) prefetch_record(db, indices[m + 1]);
            if (from_map) {
                auto record = map_record(db, indices[m], compression, scratch);
                if (record.ok()) {
                    result = fill_one(batch, m, record.value(), parsed);
                } else {
                    result = std::move(record).error();
                }
            } else {
                result = fill_one(batch, m, read[m], parsed);
            }
            if (!result) continue;
            std::lock_guard lock(failure_mutex);
            if (m < failed_at) {
                failed_at = m;
                failure = std::move(result);
            }
            // Later molecules of this chunk cannot beat this one; the rest of the batch is
            // dropped anyway.
            return;
        }
    });
    if (failure) return std::move(*failure);
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
    if (row.dtype == Dtype::kBool) {
        // Any non-zero stored byte is true.
        auto* data = static_cast<uint8_t*>(column.buffer.data());
        for (size_t i = 0; i < bytes; ++i) data[i] = data[i] != 0;
    }
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
