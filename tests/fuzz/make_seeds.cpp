// Writes the seed corpora of the engine's fuzz targets with the engine's own writers:
// `make_fuzz_seeds DIR` fills DIR/<target>/ (tests/fuzz/corpus/ in the repository).
//
// Seeds are small on purpose: a few molecules of a few atoms, every field and property type
// present somewhere, every compression kind and both record formats.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/atom.hpp"
#include "engine/compact.hpp"
#include "engine/compression.hpp"
#include "engine/storage/database.hpp"
#include "engine/storage/header.hpp"
#include "engine/storage/soa.hpp"
#include "tests/fuzz/fuzz_util.hpp"

using namespace kestrove;
using atom::Molecule;
using storage::AtomDatabase;

namespace {

std::string g_root;

void die(const std::string& what) {
    std::fprintf(stderr, "make_fuzz_seeds: %s\n", what.c_str());
    std::exit(1);
}

std::string text_of(const Error& error) { return error.display(); }
std::string text_of(const std::string& error) { return error; }

template <class R>
auto value_or_die(R result, const char* what) {
    if (!result.ok()) die(std::string(what) + ": " + text_of(result.error()));
    return std::move(result).value();
}

void check(const Status& status, const char* what) {
    if (!status.ok()) die(std::string(what) + ": " + status.error().display());
}

void write_seed(const std::string& target, const std::string& name,
                std::span<const uint8_t> bytes) {
    const std::string dir = g_root + "/" + target;
    std::filesystem::create_directories(dir);
    fuzz::write_file(dir + "/" + name, bytes);
}

std::vector<uint8_t> concat(std::initializer_list<std::span<const uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

template <class T>
std::vector<uint8_t> le(T value) {
    std::vector<uint8_t> out(sizeof(T));
    coding::store<T>(out.data(), value);
    return out;
}

// A molecule of `n` atoms; `rich` adds every built-in field and a property of each type.
Molecule molecule(size_t n, int seed, bool rich, bool double_positions) {
    std::vector<types::Vec3f> pf(n);
    std::vector<types::Vec3d> pd(n);
    std::vector<uint8_t> numbers(n);
    for (size_t i = 0; i < n; ++i) {
        const float x = static_cast<float>(seed) + 0.5f * static_cast<float>(i);
        pf[i] = {x, -x, 0.25f * x};
        pd[i] = {x, -x, 1e-300};
        numbers[i] = static_cast<uint8_t>(1 + (seed + i) % 10);
    }
    Molecule m = double_positions ? value_or_die(Molecule::create_f64(pd, numbers), "molecule")
                                  : value_or_die(Molecule::create(pf, numbers), "molecule");
    m.energy = types::FloatScalarData(-1.5 * seed);
    if (!rich) return m;
    m.name = "mol-" + std::to_string(seed);
    m.forces = types::Vec3Data(pf);
    m.charges = types::FloatArrayData(std::vector<double>(n, 0.125));
    m.velocities = types::Vec3Data(pf);
    m.cell = types::Mat3Data(types::Mat3d{5, 0, 0, 0, 6, 0, 0, 0, 7});
    m.pbc = std::array<bool, 3>{true, false, true};
    m.stress = types::Mat3Data(types::Mat3d{1, 2, 3, 4, 5, 6, 7, 8, 9});
    m.atom_properties.emplace("spin", std::vector<double>(n, -0.5));
    m.atom_properties.emplace("tag", std::vector<int32_t>(n, 3));
    m.atom_properties.emplace("dipole", std::vector<types::Vec3f>(n, {1, 2, 3}));
    m.properties.emplace("none", std::monostate{});
    m.properties.emplace("t", 300.0);
    m.properties.emplace("step", int64_t{seed});
    m.properties.emplace("smiles", std::string("O"));
    m.properties.emplace("grid", std::vector<float>{1, 2});
    m.properties.emplace("ids", std::vector<int64_t>{7, 8, 9});
    m.properties.emplace("axis", std::vector<types::Vec3d>{{0, 0, 1}});
    return m;
}

std::vector<const Molecule*> pointers(const std::vector<Molecule>& molecules) {
    std::vector<const Molecule*> out;
    for (const Molecule& m : molecules) out.push_back(&m);
    return out;
}

struct DatabaseSeed {
    std::string name;
    uint32_t kind;
    bool rich;
    bool double_positions;
    size_t commits;    // each of two molecules
    bool uncommitted;  // one more molecule appended after the last commit
};

void write_database_seeds(const std::string& scratch) {
    const DatabaseSeed seeds[] = {
        {"created-empty", 0, false, false, 0, false},
        {"none-one-commit", 0, false, false, 1, false},
        {"lz4-two-commits", 1, false, false, 2, false},
        {"zstd-every-field", 2, true, false, 1, false},
        {"zstd-format3-double", 2, true, true, 1, false},
        {"none-uncommitted-tail", 0, true, false, 1, true},
    };
    const compression::CompressionType kinds[] = {{0, 0}, {1, 0}, {2, 3}};
    for (const DatabaseSeed& seed : seeds) {
        const std::string path = scratch + "/" + seed.name;
        {
            auto db = value_or_die(AtomDatabase::create_with_format(path, seed.kind, 3), "create");
            int s = 1;
            for (size_t c = 0; c < seed.commits; ++c) {
                const std::vector<Molecule> batch = {
                    molecule(2, s, seed.rich, seed.double_positions),
                    molecule(3, s + 1, seed.rich, seed.double_positions)};
                s += 2;
                check(db.add_molecules(pointers(batch)), "append");
                check(db.flush(), "flush");
            }
            if (seed.uncommitted) {
                check(db.add_molecule(molecule(1, 99, seed.rich, seed.double_positions)), "append");
            }
        }
        const std::vector<uint8_t> file = fuzz::read_file(path);
        const auto input = fuzz::compact_database_file(file, 0);
        if (!input) die(seed.name + ": slot bytes past the head are not zero");
        write_seed("database_file", seed.name, *input);
        // The same file, its slots' checksums recomputed by the target: mutated fields count.
        auto fixed = *input;
        fixed[0] = 3;
        write_seed("database_file", seed.name + "-checksummed", fixed);
        if (seed.commits > 0) {
            // ... and appending its first record back instead of a molecule.
            fixed[0] = seed.double_positions ? 3 | 4 | 8 : 3 | 8;
            write_seed("database_file", seed.name + "-append-stored", fixed);
        }

        // The blobs and the best slot of this file, for their own targets.
        using namespace storage::header;
        const auto slot_span = [&](size_t s) {
            return std::span<const uint8_t, kHeaderSlotSize>(file.data() + s * kHeaderSlotSize,
                                                             kHeaderSlotSize);
        };
        const auto slot0 = decode_header_slot(slot_span(0), file.size());
        const auto slot1 = decode_header_slot(slot_span(1), file.size());
        if (!slot0 || !slot1) die(seed.name + ": a slot does not decode");
        const size_t best = slot1->generation > slot0->generation ? 1 : 0;
        const Header& h = best == 1 ? *slot1 : *slot0;
        const std::span<const uint8_t> head(file.data() + best * kHeaderSlotSize,
                                            fuzz::kSlotHeadFields);
        write_seed("header_slot", seed.name,
                   concat({le<uint64_t>(file.size()), le<uint8_t>(1), head}));
        if (h.index_len != 0) {
            write_seed("index_blob", seed.name, {file.data() + h.index_offset, h.index_len});
        }
        if (h.schema_len != 0) {
            write_seed("schema_blob", seed.name, {file.data() + h.schema_offset, h.schema_len});
        }
        if (seed.kind == 1 && seed.commits == 2) {
            // One whole slot as written, stored checksum and all.
            write_seed("header_slot", seed.name + "-whole-slot",
                       concat({le<uint64_t>(file.size()), le<uint8_t>(0), slot_span(best)}));
        }
    }

    // Records, raw and compressed by each kind.
    const Molecule records[] = {molecule(3, 5, true, false), molecule(2, 6, true, true),
                                molecule(0, 7, false, false)};
    for (size_t r = 0; r < std::size(records); ++r) {
        const uint32_t format = storage::soa::minimum_record_format_for_molecule(records[r]);
        const Bytes record =
            value_or_die(storage::soa::serialize_molecule_soa(records[r], format), "serialize");
        const uint8_t positions_type = r == 1 ? 7 : 4;
        write_seed("soa_record", "record-" + std::to_string(r),
                   concat({le<uint8_t>(format == 3), le<uint8_t>(positions_type), record}));
        // The lazy view and the flat parser read the record as it is, under both contexts.
        write_seed("lazy_view", "record-" + std::to_string(r), record);
        write_seed("flat_record", "record-" + std::to_string(r), record);
        for (const auto& type : kinds) {
            if (r == 2 && type.kind != 2) continue;
            const Bytes packed = value_or_die(compression::compress(record, type), "compress");
            const std::string name =
                "kind" + std::to_string(type.kind) + "-record-" + std::to_string(r);
            write_seed("decompress", name + "-exact-hint",
                       concat({le<uint8_t>(type.kind), le<uint8_t>(1), le<uint64_t>(record.size()),
                               packed}));
            write_seed("decompress", name + "-no-hint",
                       concat({le<uint8_t>(type.kind), le<uint8_t>(0), le<uint64_t>(0), packed}));
        }
    }
}

// Compact payloads (what a pickle carries): every field, double precision, the bare minimum,
// and one property per map so that the payload's bytes are the ones it encodes back to.
void write_compact_seeds() {
    Molecule single = molecule(2, 9, false, false);
    single.properties.emplace("t", 1.0);
    single.atom_properties.emplace("q", std::vector<float>{0.5f, -0.5f});
    const Molecule molecules[] = {molecule(3, 1, true, false), molecule(2, 2, true, true),
                                  molecule(0, 3, false, false), std::move(single)};
    const char* names[] = {"every-field", "every-field-double", "empty", "one-property-each"};
    for (size_t i = 0; i < std::size(molecules); ++i) {
        write_seed("compact_molecule", names[i], compact::serialize_molecule(molecules[i]));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    g_root = argv[1];
    write_database_seeds(fuzz::scratch_dir());
    write_compact_seeds();
    return 0;
}
