// Tests of the schema lock: entry derivation, record parsing, merging, the record-format check
// and the blob.
#include "engine/storage/schema.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "engine/storage/soa.hpp"

namespace kestrove::storage::schema {
namespace {

using types::Vec3d;
using types::Vec3f;

SchemaEntry entry(uint8_t tag, bool per_atom, size_t elem, size_t slot) {
    return SchemaEntry{tag, per_atom, elem, slot};
}

template <class T>
std::string message_of(const Result<T>& result) {
    return result.ok() ? "<ok>" : result.error().message();
}

TEST(SchemaEntryTest, DerivationAndRefusals) {
    const size_t kHuge = SIZE_MAX / 2;
    const struct {
        uint8_t kind;
        const char* key;
        uint8_t tag;
        size_t payload_len, n_atoms;
        SchemaEntry expected;
        const char* error;
    } cases[] = {
        {0, "energy", 0, 8, 5, entry(0, false, 8, 8), nullptr},
        {0, "charges", 3, 32, 4, entry(3, true, 8, 8), nullptr},
        {0, "forces", 7, 48, 2, entry(7, true, 24, 24), nullptr},
        {3, "forces", 7, 48, 5, entry(7, false, 24, 48), nullptr},  // kinds above 2: per molecule
        {2, "charges", 3, 24, 4, entry(3, false, 8, 24), nullptr},
        {2, "t", 2, 17, 4, entry(2, false, 0, 0), nullptr},  // text: any length, no slot
        {2, "n", 13, 5, 4, entry(13, false, 0, 0), nullptr},
        {1, "s", 2, 0, 4, entry(2, true, 0, 0), nullptr},
        {1, "f", 0, 8, 1, entry(0, true, 8, 8), nullptr},
        {1, "f", 0, 0, 0, entry(0, true, 8, 0), nullptr},  // scalar tag in no atoms: slot 0
        {1, "f", 3, 0, 0, entry(3, true, 8, 8), nullptr},  // array tag: slot is the element
        {1, "p", 9, 6, 2, entry(9, true, 3, 3), nullptr},
        {1, "x", 14, 0, 0, {}, "Unsupported section type tag 14"},
        {2, "x", 255, 0, 0, {}, "Unsupported section type tag 255"},
        {1, "big", 7, 0, kHuge, {}, "Schema overflow for section 'big'"},
        {0,
         "charges",
         3,
         24,
         4,
         {},
         "Section 'charges' payload length 24 does not match expected 32"},
        {1, "s", 2, 1, 4, {}, "Section 's' payload length 1 does not match expected 0"},
    };
    for (const auto& c : cases) {
        auto result = schema_entry(c.kind, c.key, c.tag, c.payload_len, c.n_atoms);
        if (c.error) {
            EXPECT_EQ(message_of(result), c.error) << c.key;
        } else {
            ASSERT_TRUE(result.ok()) << c.key << ": " << message_of(result);
            EXPECT_EQ(result.value(), c.expected) << c.key;
        }
    }
}

// One atom at (1, 2, 3), energy -1.5, per-molecule Int property "a" = 7.
const std::vector<uint8_t> kExampleRecord = {
    0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x3f, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00,
    0x40, 0x40, 0x01, 0x02, 0x00, 0x00, 0x06, 0x65, 0x6e, 0x65, 0x72, 0x67, 0x79, 0x00,
    0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xf8, 0xbf, 0x02, 0x01,
    0x61, 0x01, 0x08, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

TEST(RecordSchemaTest, DescribesEachSection) {
    auto lock = record_schema(kExampleRecord, 2, std::nullopt);
    ASSERT_TRUE(lock.ok()) << message_of(lock);
    SchemaLock expected;
    expected.positions_type = 4;
    expected.sections.insert_or_assign(2, "a", entry(1, false, 8, 8));
    expected.sections.insert_or_assign(0, "energy", entry(0, false, 8, 8));
    EXPECT_EQ(lock.value(), expected);

    // Trailing bytes are not examined; a repeated (kind, key) takes the later section.
    std::vector<uint8_t> record = kExampleRecord;
    record[17] = 3;  // n_sections
    for (uint8_t byte : {0x02, 0x01, 0x61, 0x02, 0x03, 0x00, 0x00, 0x00, 0x68, 0x69, 0x21, 0xEE}) {
        record.push_back(byte);
    }
    lock = record_schema(record, 3, 4);
    ASSERT_TRUE(lock.ok()) << message_of(lock);
    EXPECT_EQ(*lock->sections.find(2, "a"), entry(2, false, 0, 0));
    EXPECT_EQ(lock->sections.size(), 2u);
}

TEST(RecordSchemaTest, EveryTruncationHasItsMessage) {
    const struct {
        size_t below;  // prefixes shorter than this and not caught by an earlier row
        const char* message;
    } rows[] = {
        {6, "SOA record too small"},
        {16, "SOA record truncated at positions"},
        {17, "SOA record truncated at atomic_numbers"},
        {19, "SOA record truncated at n_sections"},
        {26, "SOA section header truncated"},
        {27, "SOA section key truncated"},
        {32, "SOA section header truncated"},
        {40, "SOA section payload truncated"},
        {48, "SOA section header truncated"},  // 47: a whole key, then only 4 bytes
        {56, "SOA section payload truncated"},
    };
    size_t len = 0;
    for (const auto& row : rows) {
        for (; len < row.below; ++len) {
            auto lock = record_schema({kExampleRecord.data(), len}, 2, std::nullopt);
            EXPECT_EQ(message_of(lock), row.message) << "prefix " << len;
        }
    }
    EXPECT_TRUE(record_schema(kExampleRecord, 2, std::nullopt).ok());
}

TEST(RecordSchemaTest, Refusals) {
    std::vector<uint8_t> float32_energy = kExampleRecord;
    float32_energy[27] = 11;
    float32_energy[28] = 4;
    float32_energy.erase(float32_energy.begin() + 32, float32_energy.begin() + 36);
    std::vector<uint8_t> custom_float32_energy = float32_energy;
    custom_float32_energy[19] = 2;
    std::vector<uint8_t> bad_key = kExampleRecord;
    bad_key[42] = 0xC0;  // a lead byte with no continuation
    std::vector<uint8_t> huge_counts = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
    std::vector<uint8_t> many_sections = {0, 0, 0, 0, 0xFF, 0xFF, 0, 9, 'e', 'n', 'e', 'r', 'g'};

    const struct {
        const std::vector<uint8_t>* record;
        uint32_t format;
        std::optional<uint8_t> positions;
        const char* message;
    } cases[] = {
        {&kExampleRecord, 3, std::nullopt, "Missing positions dtype for record format 3"},
        {&kExampleRecord, 2, 7, "record format 2 does not support float64 positions"},
        {&kExampleRecord, 3, 5, "Unsupported positions type tag 5"},
        {&kExampleRecord, 9, 4, "Unsupported record format 9"},
        {&float32_energy, 2, std::nullopt, "record format 2 does not support float32 energy"},
        {&float32_energy, 3, 4, "<ok>"},
        {&custom_float32_energy, 2, std::nullopt, "<ok>"},  // the rule is for built-ins only
        {&bad_key, 2, std::nullopt, "Invalid UTF-8 in section key"},
        {&huge_counts, 3, 7, "SOA record truncated at positions"},
        {&many_sections, 2, std::nullopt, "SOA section key truncated"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(message_of(record_schema(*c.record, c.format, c.positions)), c.message);
    }
}

atom::Molecule molecule_f32(size_t n) {
    return atom::Molecule::create(std::vector<Vec3f>(n, Vec3f{1, 2, 3}), std::vector<uint8_t>(n, 6))
        .value();
}
atom::Molecule molecule_f64(size_t n) {
    return atom::Molecule::create_f64(std::vector<Vec3d>(n, Vec3d{1, 2, 3}),
                                      std::vector<uint8_t>(n, 6))
        .value();
}

// Molecules covering every built-in field in both precisions and every property variant.
std::vector<atom::Molecule> varied_molecules() {
    std::vector<atom::Molecule> out;
    out.push_back(molecule_f32(0));

    atom::Molecule single = molecule_f32(2);
    single.charges = std::vector<float>{1, 2};
    single.cell = types::Mat3f{};
    single.energy = 1.0f;
    single.forces = std::vector<Vec3f>(2);
    single.name = "water";
    single.pbc = std::array<bool, 3>{true, false, true};
    single.stress = types::Mat3f{};
    single.velocities = std::vector<Vec3f>(2);
    single.atom_properties["q64"] = std::vector<double>{1, 2};
    single.atom_properties["v32"] = std::vector<Vec3f>(2);
    single.atom_properties["i64"] = std::vector<int64_t>{1, 2};
    single.atom_properties["q32"] = std::vector<float>{1, 2};
    single.atom_properties["v64"] = std::vector<Vec3d>(2);
    single.atom_properties["i32"] = std::vector<int32_t>{1, 2};
    single.atom_properties["null"] = std::monostate{};
    single.atom_properties["text"] = std::string();
    single.properties["energy"] = 2.0;  // a custom key equal to a built-in one
    single.properties["q64"] = std::vector<double>{1, 2, 3};
    single.properties["Z"] = int64_t{4};
    single.properties["text"] = std::string("\xC3\xA9t\xC3\xA9");
    single.properties["null"] = std::monostate{};
    single.properties["v32"] = std::vector<Vec3f>(3);
    single.properties["i64"] = std::vector<int64_t>{};
    single.properties["q32"] = std::vector<float>{1};
    single.properties["v64"] = std::vector<Vec3d>(1);
    single.properties["i32"] = std::vector<int32_t>{1, 2, 3, 4};
    out.push_back(single);

    atom::Molecule dual = molecule_f64(3);
    dual.charges = std::vector<double>{1, 2, 3};
    dual.cell = types::Mat3d{};
    dual.energy = 1.0;
    dual.forces = std::vector<Vec3d>(3);
    dual.stress = types::Mat3d{};
    dual.velocities = std::vector<Vec3d>(3);
    out.push_back(dual);

    atom::Molecule format2 = molecule_f32(1);  // the precisions record format 2 admits
    format2.charges = std::vector<double>{1};
    format2.cell = types::Mat3d{};
    format2.energy = 1.0;
    format2.forces = std::vector<Vec3f>(1);
    format2.velocities = std::vector<Vec3f>(1);
    format2.atom_properties["f"] = 1.0;  // scalars are per atom only with one atom
    format2.atom_properties["i"] = int64_t{1};
    format2.properties["f"] = 1.0;
    out.push_back(format2);
    return out;
}

TEST(SchemaFromMoleculeTest, EqualsTheSchemaOfTheSerialisedRecord) {
    for (const atom::Molecule& m : varied_molecules()) {
        auto from_molecule = schema_from_molecule(m);
        ASSERT_TRUE(from_molecule.ok()) << message_of(from_molecule);
        for (uint32_t format : {2u, 3u}) {
            if (format < soa::minimum_record_format_for_molecule(m)) continue;
            auto record = soa::serialize_molecule_soa(m, format);
            ASSERT_TRUE(record.ok()) << message_of(record);
            auto from_record = record_schema(
                record.value(), format, format == 3 ? from_molecule->positions_type : std::nullopt);
            ASSERT_TRUE(from_record.ok()) << message_of(from_record);
            EXPECT_EQ(from_molecule.value(), from_record.value()) << m.num_positions();
        }
    }
}

TEST(SchemaFromMoleculeTest, PerAtomLengthMustMatchTheAtomCount) {
    atom::Molecule charges = molecule_f32(4);
    charges.charges = std::vector<double>{1, 2, 3};
    charges.velocities = std::vector<Vec3f>(1);  // also wrong, but charges come first
    EXPECT_EQ(message_of(schema_from_molecule(charges)),
              "Section 'charges' payload length 24 does not match expected 32");

    atom::Molecule property = molecule_f64(2);
    property.atom_properties["q"] = std::vector<double>{1, 2, 3};
    property.properties["q"] = std::vector<double>{1, 2, 3};  // per molecule: any length
    EXPECT_EQ(message_of(schema_from_molecule(property)),
              "Section 'q' payload length 24 does not match expected 16");
}

SchemaLock lock_of(const atom::Molecule& m) { return schema_from_molecule(m).value(); }

// The check of stored entries refuses no lock that molecules give, in any record format that
// admits them.
TEST(CheckWrittenEntryTest, WriterLocksPassAndFormatAndForeignRulesHold) {
    for (const atom::Molecule& m : varied_molecules()) {
        for (uint32_t format : {2u, 3u}) {
            if (format < soa::minimum_record_format_for_molecule(m)) continue;
            const Status checked = check_written_lock(lock_of(m), format);
            EXPECT_TRUE(checked.ok()) << checked.error().message();
        }
    }
    // The flat-read tests forge each rule for custom and built-in sections of record format 3;
    // these are the format-2 tags and the sections of kinds this system does not write.
    const struct {
        uint8_t kind;
        const char* key;
        SchemaEntry entry;
        uint32_t format;
        const char* error;
    } cases[] = {
        {0, "energy", entry(11, false, 4, 4), 2, "Section 'energy' has invalid type tag 11"},
        {0, "energy", entry(11, false, 4, 4), 3, nullptr},
        {2, "s", entry(10, false, 72, 72), 3, "Section 's' has invalid type tag 10"},
        {3, "x", entry(9, false, 3, 3), 3, nullptr},
        {0, "extra", entry(12, false, 36, 36), 2, nullptr},
        {3, "x", entry(0, true, 8, 8), 3, "Section 'x' has invalid per_atom flag 1"},
        {3, "x", entry(14, false, 0, 0), 3, "Section 'x' has invalid type tag 14"},
    };
    for (const auto& c : cases) {
        const Status checked = check_written_entry(c.kind, c.key, c.entry, c.format);
        EXPECT_EQ(checked.ok() ? "<ok>" : checked.error().message(), c.error ? c.error : "<ok>")
            << c.key << " " << debug_string(c.entry);
    }
}

TEST(MergeSchemaLockTest, AgreeingLocksCombine) {
    atom::Molecule a = molecule_f32(1);
    a.properties["text"] = std::string("short");
    a.properties["m"] = 1.0;
    atom::Molecule b = molecule_f32(2);
    b.properties["text"] = std::string("a longer text");
    b.atom_properties["k"] = std::vector<int32_t>{1, 2};
    b.energy = 1.0;

    SchemaLock base;
    ASSERT_TRUE(merge_schema_lock(base, lock_of(a)).ok());
    EXPECT_EQ(base, lock_of(a));
    ASSERT_TRUE(merge_schema_lock(base, lock_of(b)).ok());
    ASSERT_TRUE(merge_schema_lock(base, lock_of(a)).ok());
    ASSERT_TRUE(merge_schema_lock(base, SchemaLock{}).ok());  // no positions type: keeps base's
    std::vector<std::pair<int, std::string>> keys;
    for (const auto& [key, e] : base.sections) keys.emplace_back(key.kind, key.key);
    EXPECT_EQ(keys, (std::vector<std::pair<int, std::string>>{
                        {0, "energy"}, {1, "k"}, {2, "m"}, {2, "text"}}));
    EXPECT_EQ(base.positions_type, 4);
}

TEST(MergeSchemaLockTest, DisagreementIsRefusedAndLeavesTheBaseAsItWas) {
    atom::Molecule three = molecule_f32(1);
    three.properties["arr"] = std::vector<double>{1, 2, 3};
    atom::Molecule four = molecule_f32(1);
    four.properties["arr"] = std::vector<double>{1, 2, 3, 4};
    four.properties["new"] = 1.0;

    SchemaLock base = lock_of(three);
    base.positions_type.reset();
    const SchemaLock before = base;
    auto status = merge_schema_lock(base, lock_of(four));
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error(),
              Error::invalid_data("Schema mismatch for section 'arr': expected SchemaEntry { "
                                  "type_tag: 3, per_atom: false, elem_bytes: 8, slot_bytes: 24 }, "
                                  "got SchemaEntry { type_tag: 3, per_atom: false, elem_bytes: 8, "
                                  "slot_bytes: 32 }"));
    EXPECT_EQ(base, before);

    base = lock_of(molecule_f64(1));
    status = merge_schema_lock(base, lock_of(three));
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().message(), "Position dtype mismatch: expected type tag 7, got 4");
    EXPECT_EQ(base, lock_of(molecule_f64(1)));
}

SchemaLock builtin_lock(std::optional<uint8_t> positions,
                        std::vector<std::tuple<uint8_t, std::string, uint8_t>> sections) {
    SchemaLock lock;
    lock.positions_type = positions;
    for (const auto& [kind, key, tag] : sections) {
        lock.sections.insert_or_assign(kind, key, entry(tag, false, 0, 0));
    }
    return lock;
}

TEST(ValidateSchemaLockTest, RecordFormatRules) {
    const struct {
        uint32_t format;
        SchemaLock lock;
        const char* message;
    } cases[] = {
        {2, builtin_lock(std::nullopt, {}), "<ok>"},
        {3, builtin_lock(std::nullopt, {}), "Missing positions dtype for record format 3"},
        {2, builtin_lock(7, {}), "record format 2 does not support float64 positions"},
        {3, builtin_lock(7, {{0, "cell", 12}, {0, "energy", 11}}), "<ok>"},
        {3, builtin_lock(5, {}), "Unsupported positions type tag 5"},
        {4, builtin_lock(4, {}), "Unsupported record format 4"},
        {2, builtin_lock(4, {{0, "energy", 11}, {0, "cell", 12}}),
         "record format 2 does not support float32 cell"},  // map order: "cell" first
        {2, builtin_lock(4, {{2, "cell", 12}, {1, "energy", 11}}), "<ok>"},
    };
    for (const auto& c : cases) {
        auto status = validate_schema_lock_for_record_format(c.format, c.lock);
        EXPECT_EQ(status.ok() ? "<ok>" : status.error().message(), c.message);
    }
}

std::vector<uint8_t> to_vector(const Bytes& bytes) { return {bytes.begin(), bytes.end()}; }

TEST(SchemaBlobTest, GoldenBytes) {
    EXPECT_EQ(to_vector(encode_schema_lock(SchemaLock{}).value()),
              (std::vector<uint8_t>{0x01, 0, 0, 0, 0xFF, 0, 0, 0, 0}));

    SchemaLock lock;
    lock.positions_type = 7;
    lock.sections.insert_or_assign(2, "a", entry(2, false, 0, 0));
    lock.sections.insert_or_assign(1, "a", entry(3, true, 8, 8));
    lock.sections.insert_or_assign(1, "Z", entry(4, true, 12, 12));
    lock.sections.insert_or_assign(0, "energy", entry(0, false, 8, 8));
    // clang-format off
    const std::vector<uint8_t> golden = {
        0x01, 0, 0, 0,  0x07,  0x04, 0, 0, 0,
        0, 0, 0, 6, 0, 8, 0, 0, 0, 8, 0, 0, 0, 'e', 'n', 'e', 'r', 'g', 'y',
        1, 4, 1, 1, 0, 12, 0, 0, 0, 12, 0, 0, 0, 'Z',  // "Z" (0x5A) sorts before "a" (0x61)
        1, 3, 1, 1, 0, 8, 0, 0, 0, 8, 0, 0, 0, 'a',
        2, 2, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'a',
    };
    // clang-format on
    auto blob = encode_schema_lock(lock);
    ASSERT_TRUE(blob.ok());
    EXPECT_EQ(to_vector(blob.value()), golden);
    EXPECT_EQ(decode_schema_lock(golden).value(), lock);
    EXPECT_EQ(decode_schema_lock(encode_schema_lock(SchemaLock{}).value()).value(), SchemaLock{});
}

TEST(SchemaBlobTest, EncodeRefusesWhatTheBlobCannotHold) {
    const std::string longest(65535, 'k');
    const std::string too_long(65536, 'k');
    const uint64_t kBig = uint64_t{UINT32_MAX} + 1;
    const struct {
        std::string key;
        SchemaEntry e;
        std::string message;
    } cases[] = {
        {longest, entry(2, false, UINT32_MAX, UINT32_MAX), "<ok>"},
        {too_long, entry(2, false, kBig, kBig), "Schema key '" + too_long + "' is too long"},
        {"k", entry(3, false, kBig, kBig), "Schema elem_bytes overflow for 'k'"},
        {"k", entry(3, false, 8, kBig), "Schema slot_bytes overflow for 'k'"},
    };
    for (const auto& c : cases) {
        SchemaLock lock;
        lock.sections.insert_or_assign(2, c.key, c.e);
        auto blob = encode_schema_lock(lock);
        EXPECT_EQ(message_of(blob), c.message) << c.message.substr(0, 40);
        if (blob.ok()) {
            EXPECT_EQ(decode_schema_lock(blob.value()).value(), lock);
        }
    }
}

std::vector<uint8_t> blob_of(std::vector<uint8_t> head, std::vector<uint8_t> tail = {}) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

TEST(SchemaBlobTest, DecodeRefusesMalformedBlobs) {
    const std::vector<uint8_t> one = {1, 0, 0, 0, 0xFF, 1, 0, 0, 0};  // one entry follows
    const std::vector<uint8_t> entry_head = {2, 0, 0, 2, 0, 8, 0, 0, 0, 8, 0, 0, 0};
    const struct {
        std::vector<uint8_t> blob;
        const char* message;
    } cases[] = {
        {{}, "Schema blob too small"},
        {{1, 0, 0, 0, 0xFF, 0, 0, 0}, "Schema blob too small"},
        {{2, 0, 0, 0, 5, 0, 0, 0, 0}, "Unsupported schema blob version 2"},
        {{1, 0, 0, 0, 5, 0, 0, 0, 0}, "Unsupported schema positions type tag 5"},
        {{1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "Schema blob truncated"},
        {blob_of(one, {2, 0, 0, 2, 0, 8, 0, 0, 0, 8, 0, 0}), "Schema blob truncated"},
        {blob_of(one, {2, 0, 2, 9, 0, 8, 0, 0, 0, 8, 0, 0, 0}), "Invalid schema per_atom flag"},
        {blob_of(one, blob_of(entry_head, {'a'})), "Schema blob truncated at key"},
        {blob_of(one, blob_of(entry_head, {0xC3, 0x28})), "Invalid UTF-8 in schema key"},
        {blob_of(one, blob_of(entry_head, {'a', 'b', 0})), "Schema blob trailing bytes"},
        {{1, 0, 0, 0, 0xFF, 0, 0, 0, 0, 0}, "Schema blob trailing bytes"},
        {blob_of(one, blob_of(entry_head, {'a', 'b'})), "<ok>"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(message_of(decode_schema_lock(c.blob)), c.message) << c.message;
    }
}

TEST(SchemaBlobTest, RepeatedKeyKeepsTheLaterEntry) {
    const std::vector<uint8_t> blob = {
        1, 0, 0, 0, 4, 3, 0, 0, 0,                    //
        2, 3, 0, 1, 0, 8, 0, 0, 0, 24, 0, 0, 0, 'x',  //
        1, 3, 1, 1, 0, 8, 0, 0, 0, 8,  0, 0, 0, 'x',  // another kind: a key of its own
        2, 3, 0, 1, 0, 8, 0, 0, 0, 32, 0, 0, 0, 'x',
    };
    auto lock = decode_schema_lock(blob);
    ASSERT_TRUE(lock.ok()) << message_of(lock);
    EXPECT_EQ(lock->positions_type, 4);
    ASSERT_EQ(lock->sections.size(), 2u);
    EXPECT_EQ(*lock->sections.find(2, "x"), entry(3, false, 8, 32));
    EXPECT_EQ(*lock->sections.find(1, "x"), entry(3, true, 8, 8));
}

TEST(SchemaBlobTest, KeysMustBeStrictUtf8) {
    const struct {
        std::vector<uint8_t> key;
        bool valid;
    } cases[] = {
        {{'a', 0, 'b'}, true},
        {{0xC3, 0xA9}, true},               // é
        {{0xE2, 0x82, 0xAC}, true},         // €
        {{0xF0, 0x9D, 0x84, 0x9E}, true},   // U+1D11E
        {{0xF4, 0x8F, 0xBF, 0xBF}, true},   // U+10FFFF
        {{0xC0, 0x80}, false},              // overlong NUL
        {{0xE0, 0x80, 0xAF}, false},        // overlong
        {{0xED, 0xA0, 0x80}, false},        // surrogate
        {{0xF4, 0x90, 0x80, 0x80}, false},  // above U+10FFFF
        {{0xE2, 0x82}, false},              // cut short
        {{0x80}, false},                    // lone continuation
        {{0xFF}, false},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> blob = {
            1, 0, 0, 0, 0xFF, 1, 0, 0, 0, 2, 2, 0, static_cast<uint8_t>(c.key.size()),
            0, 0, 0, 0, 0,    0, 0, 0, 0};
        blob.insert(blob.end(), c.key.begin(), c.key.end());
        EXPECT_EQ(decode_schema_lock(blob).ok(), c.valid) << int(c.key[0]);
    }
}

// Prefixes and random byte flips of valid blobs and records must be refused or parsed, never
// crash (this test earns its keep under AddressSanitizer).
TEST(SchemaFuzzTest, DamagedBlobsAndRecordsAreHandled) {
    std::vector<Bytes> blobs, records;
    for (const atom::Molecule& m : varied_molecules()) {
        blobs.push_back(encode_schema_lock(lock_of(m)).value());
        records.push_back(soa::serialize_molecule_soa(m, 3).value());
    }
    std::mt19937_64 rng(99);
    for (const Bytes& blob : blobs) {
        for (size_t len = 0; len < blob.size(); ++len) {
            EXPECT_FALSE(decode_schema_lock({blob.data(), len}).ok()) << len;
        }
        for (int round = 0; round < 3000; ++round) {
            Bytes damaged = blob;
            for (int i = 0, n = 1 + static_cast<int>(rng() % 3); i < n; ++i) {
                damaged[rng() % damaged.size()] = static_cast<uint8_t>(rng());
            }
            auto lock = decode_schema_lock(damaged);
            // Whatever decodes must encode again to a blob that decodes to the same lock.
            if (lock.ok()) {
                EXPECT_EQ(decode_schema_lock(encode_schema_lock(lock.value()).value()).value(),
                          lock.value());
            }
        }
    }
    for (const Bytes& record : records) {
        for (size_t len = 0; len <= record.size(); ++len) {
            (void)record_schema({record.data(), len}, 3, 4);
        }
        for (int round = 0; round < 3000; ++round) {
            Bytes damaged = record;
            for (int i = 0, n = 1 + static_cast<int>(rng() % 3); i < n; ++i) {
                damaged[rng() % damaged.size()] = static_cast<uint8_t>(rng());
            }
            (void)record_schema(damaged, 3, 7);
        }
    }
}

}  // namespace
}  // namespace kestrove::storage::schema
