// Fuzzes a whole database file: opened with and without a memory map, every record read by every
// road, then one append and commit, whose result a reopen must show.
//
// Input: the compact form of fuzz_util.hpp (flags, two slot heads, the file from byte 8,192).
// Flag bit 3 appends the file's first record, read back, as a ready record instead of a molecule;
// flag bit 2 asks for double precision positions in either.
#include <cstdint>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "engine/atom.hpp"
#include "engine/storage/database.hpp"
#include "engine/storage/header.hpp"
#include "engine/storage/soa.hpp"
#include "tests/fuzz/fuzz_util.hpp"

using namespace kestrove;
using storage::AtomDatabase;

namespace {

atom::Molecule molecule_to_append(bool double_precision) {
    auto m = double_precision
                 ? atom::Molecule::create_f64({{0.5, -1.0, 2.0}, {1e-300, 0.0, -0.0}}, {8, 1})
                 : atom::Molecule::create({{0.5f, -1.0f, 2.0f}, {1.5f, 0.0f, -0.0f}}, {8, 1});
    FUZZ_CHECK(m.ok());
    return std::move(m).value();
}

uint64_t touch(std::span<const uint8_t> bytes) {
    uint64_t sum = 0;
    for (uint8_t b : bytes) sum += b;
    return sum;
}

// Reads every record of `db` by each road it offers; the roads must agree with each other.
void read_every_road(const AtomDatabase& db) {
    const uint64_t n = db.len();
    std::vector<size_t> all(n);
    std::iota(all.begin(), all.end(), size_t{0});

    auto raw = db.get_raw_bytes(all);
    auto with_atoms = db.read_decompress_parallel(all);
    FUZZ_CHECK(raw.ok() == with_atoms.ok());
    if (raw.ok()) {
        FUZZ_CHECK(raw.value().size() == n && with_atoms.value().records == raw.value());
    }
    for (uint64_t i = 0; i < n; ++i) {
        const size_t one[] = {static_cast<size_t>(i)};
        auto single = db.get_raw_bytes(one);
        if (raw.ok()) FUZZ_CHECK(single.ok() && single.value()[0] == raw.value()[i]);
        FUZZ_CHECK(db.uncompressed_size(i).has_value() && db.num_atoms(i).has_value());
        if (with_atoms.ok()) FUZZ_CHECK(with_atoms.value().num_atoms[i] == *db.num_atoms(i));

        const auto slice = db.get_compressed_slice(i);
        const auto shared = db.get_shared_mmap_bytes(i);
        FUZZ_CHECK(slice.has_value() == shared.has_value());
        FUZZ_CHECK(!slice || db.has_data_mmap());
        if (slice) {
            FUZZ_CHECK(shared->as_slice().data() == slice->data());
            FUZZ_CHECK(touch(*slice) == touch(shared->as_slice()));
        }
    }
    const size_t past_end[] = {static_cast<size_t>(n)};
    FUZZ_CHECK(!db.get_raw_bytes(past_end).ok());
    FUZZ_CHECK(!db.get_compressed_slice(n) && !db.get_shared_mmap_bytes(n));
    FUZZ_CHECK(!db.num_atoms(n) && !db.uncompressed_size(n));
    (void)db.rebuild_schema_lock();
    if (const auto schema = db.schema_info()) {
        for (const auto& section : schema->sections)
            (void)touch({reinterpret_cast<const uint8_t*>(section.key.data()), section.key.size()});
    }
}

std::vector<storage::index::MoleculeIndex> entries_of(const AtomDatabase& db) {
    std::vector<storage::index::MoleculeIndex> entries;
    for (uint64_t i = 0; i < db.len(); ++i) entries.push_back(*db.index().get(i));
    return entries;
}

// Whether the slot that the commit of generation g did not write would be chosen over it.
bool other_slot_outranks(const std::string& path, uint64_t g) {
    using namespace storage::header;
    const std::vector<uint8_t> bytes = fuzz::read_file(path);
    FUZZ_CHECK(bytes.size() >= kDataStart);
    const size_t ours = g % 2;
    const size_t other = 1 - ours;
    const auto slot_at = [&](size_t s) {
        return std::span<const uint8_t, kHeaderSlotSize>(bytes.data() + s * kHeaderSlotSize,
                                                         kHeaderSlotSize);
    };
    const auto written = decode_header_slot(slot_at(ours), bytes.size());
    FUZZ_CHECK(written.has_value() && written->generation == g);
    const auto rival = decode_header_slot(slot_at(other), bytes.size());
    if (!rival) return false;
    return rival->generation > g || (rival->generation == g && other == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Parallel reads on a small pool: enough to run the pool's code, cheap enough per input.
    ::setenv("RAYON_NUM_THREADS", "2", 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::scratch_dir() + "/input.kstv";
    const std::vector<uint8_t> file = fuzz::expand_database_input({data, size});
    fuzz::write_file(path, file);
    const bool double_precision = size > 0 && (data[0] & 4) != 0;
    const bool append_stored_record = size > 0 && (data[0] & 8) != 0;

    {
        auto mapped = AtomDatabase::open_with_options(path, true, false);
        if (mapped.ok()) read_every_road(mapped.value());
    }
    auto opened = AtomDatabase::open_with_options(path, false, false);
    if (!opened.ok()) return 0;
    AtomDatabase& db = opened.value();
    read_every_road(db);

    // One append and commit on top of whatever the file held.
    std::optional<Bytes> record;
    const size_t first[] = {0};
    auto stored = append_stored_record && db.len() > 0 ? db.get_raw_bytes(first)
                                                       : Result<std::vector<Bytes>>(Error::io(""));
    if (stored.ok()) {
        record = std::move(stored.value()[0]);
        const auto& lock = db.schema_lock();
        const uint8_t positions_type = lock && lock->positions_type ? *lock->positions_type
                                       : double_precision           ? 7
                                                                    : 4;
        const storage::TypedRecord ready{*record, *db.num_atoms(0), positions_type};
        if (!db.add_raw_soa_records_with_positions_type({&ready, 1}).ok()) return 0;
    } else {
        const atom::Molecule extra = molecule_to_append(double_precision);
        if (!db.add_molecule(extra).ok()) return 0;
        auto serialized = storage::soa::serialize_molecule_soa(extra, db.record_format());
        FUZZ_CHECK(serialized.ok());
        record = std::move(serialized).value();
    }
    const auto before = entries_of(db);
    const uint64_t generation = db.generation();
    if (!db.flush().ok()) return 0;
    FUZZ_CHECK(db.generation() == generation + 1 || generation == UINT64_MAX);

    // A forged slot that was invalid at the open may name ranges the file now holds, with a
    // generation that outranks the commit; then a reopen rightly finds that slot instead.
    if (other_slot_outranks(path, db.generation())) return 0;

    // The commit holds every entry it held before, then the new record, byte for byte.
    for (bool mmap : {false, true}) {
        auto reopened = AtomDatabase::open_with_options(path, mmap, false);
        FUZZ_CHECK(reopened.ok());
        const AtomDatabase& again = reopened.value();
        FUZZ_CHECK(again.len() == before.size() && entries_of(again) == before);
        FUZZ_CHECK(again.record_format() == db.record_format());
        const size_t last[] = {before.size() - 1};
        auto read = again.get_raw_bytes(last);
        FUZZ_CHECK(read.ok() && read.value()[0] == *record);
        read_every_road(again);
    }
    return 0;
}
