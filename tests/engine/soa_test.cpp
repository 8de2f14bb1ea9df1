// Tests of the structure-of-arrays record writer, its type tags and the record-format rules.
#include "engine/storage/soa.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/storage/dtypes.hpp"

namespace kestrove::storage::soa {
namespace {

using atom::Molecule;
using types::Mat3d;
using types::Mat3f;
using types::PropertyValue;
using types::Vec3d;
using types::Vec3f;

std::vector<uint8_t> bytes_of(const Bytes& b) { return {b.begin(), b.end()}; }

template <class T>
std::vector<uint8_t> raw_bytes(const T* data, size_t count) {
    std::vector<uint8_t> out(sizeof(T) * count);
    if (count != 0) std::memcpy(out.data(), data, out.size());
    return out;
}

struct Section {
    uint8_t kind;
    std::string key;
    uint8_t tag;
    std::vector<uint8_t> payload;
};

struct ParsedRecord {
    uint32_t n_atoms = 0;
    std::vector<uint8_t> positions;
    std::vector<uint8_t> atomic_numbers;
    std::vector<Section> sections;
};

// Reads a record back, failing the test unless its lengths describe exactly the bytes given.
ParsedRecord parse_record(const Bytes& record, size_t position_bytes) {
    ParsedRecord parsed;
    size_t at = 0;
    auto take = [&](size_t n) {
        EXPECT_LE(at + n, record.size()) << "record ends early at " << at;
        if (at + n > record.size()) throw std::runtime_error("short record");
        std::vector<uint8_t> out(record.begin() + at, record.begin() + at + n);
        at += n;
        return out;
    };
    auto u32 = [&] {
        uint32_t v;
        std::memcpy(&v, take(4).data(), 4);
        return v;
    };
    parsed.n_atoms = u32();
    parsed.positions = take(position_bytes * parsed.n_atoms);
    parsed.atomic_numbers = take(parsed.n_atoms);
    uint16_t n_sections;
    std::memcpy(&n_sections, take(2).data(), 2);
    for (uint16_t i = 0; i < n_sections; ++i) {
        Section s;
        s.kind = take(1)[0];
        const auto key = take(take(1)[0]);
        s.key.assign(key.begin(), key.end());
        s.tag = take(1)[0];
        s.payload = take(u32());
        parsed.sections.push_back(std::move(s));
    }
    EXPECT_EQ(at, record.size()) << "bytes after the last section";
    return parsed;
}

Molecule one_atom() {
    auto m = Molecule::create({{1.0f, 2.0f, 3.0f}}, {1});
    EXPECT_TRUE(m.ok());
    return std::move(m).value();
}

TEST(SoaRecordTest, EmptyMoleculeIsSixZeroBytes) {
    auto molecule = Molecule::create({}, {});
    ASSERT_TRUE(molecule.ok());
    for (uint32_t format : {2u, 3u}) {
        auto record = serialize_molecule_soa(*molecule, format);
        ASSERT_TRUE(record.ok()) << record.error().message();
        EXPECT_EQ(bytes_of(*record), (std::vector<uint8_t>(6, 0)));
    }
}

TEST(SoaRecordTest, WorkedRecordMatchesGoldenBytes) {
    Molecule m = one_atom();
    m.energy = -1.5;
    m.properties.emplace("a", int64_t{7});
    const std::vector<uint8_t> golden = {
        0x01, 0x00, 0x00, 0x00,                                                        // n_atoms
        0x00, 0x00, 0x80, 0x3f, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x40, 0x40,        // positions
        0x01,                                                                          // numbers
        0x02, 0x00,                                                                    // n_sections
        0x00, 0x06, 'e',  'n',  'e',  'r',  'g',  'y',  0x00, 0x08, 0x00, 0x00, 0x00,  // energy
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xf8, 0xbf,                                //
        0x02, 0x01, 'a',  0x01, 0x08, 0x00, 0x00, 0x00,                                // property a
        0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,                                //
    };
    ASSERT_EQ(golden.size(), 56u);
    for (uint32_t format : {2u, 3u}) {
        auto record = serialize_molecule_soa(m, format);
        ASSERT_TRUE(record.ok()) << record.error().message();
        EXPECT_EQ(bytes_of(*record), golden) << "format " << format;
    }
}

TEST(SoaRecordTest, DoublePositionsTakeTwentyFourBytesPerAtom) {
    auto m = Molecule::create_f64({{1.0, 2.0, 3.0}, {-0.0, 0.1, 1e300}}, {6, 8});
    ASSERT_TRUE(m.ok());
    auto record = serialize_molecule_soa(*m, 3);
    ASSERT_TRUE(record.ok()) << record.error().message();
    ASSERT_EQ(record->size(), 4u + 48 + 2 + 2);
    ParsedRecord parsed = parse_record(*record, 24);
    EXPECT_EQ(parsed.n_atoms, 2u);
    const auto& positions = std::get<types::kF64>(m->positions);
    EXPECT_EQ(parsed.positions, raw_bytes(positions.data(), positions.size()));
    EXPECT_EQ(parsed.atomic_numbers, (std::vector<uint8_t>{6, 8}));
}

// Every optional built-in field present, in single or double precision.
Molecule all_builtins(types::Precision precision) {
    Molecule m;
    m.name = "H\xc3\xa9";  // UTF-8, 3 bytes
    m.atomic_numbers = {1, 2};
    m.pbc = std::array<bool, 3>{true, false, true};
    if (precision == types::kF32) {
        m.positions = std::vector<Vec3f>{{1, 2, 3}, {4, 5, 6}};
        m.charges = std::vector<float>{0.5f, -0.5f};
        m.cell = Mat3f{1, 2, 3, 4, 5, 6, 7, 8, 9};
        m.energy = -2.25f;
        m.forces = std::vector<Vec3f>{{0.1f, 0.2f, 0.3f}, {-0.1f, -0.2f, -0.3f}};
        m.stress = Mat3f{9, 8, 7, 6, 5, 4, 3, 2, 1};
        m.velocities = std::vector<Vec3f>{{1, 0, 0}, {0, 1, 0}};
    } else {
        m.positions = std::vector<Vec3d>{{1, 2, 3}, {4, 5, 6}};
        m.charges = std::vector<double>{0.5, -0.5};
        m.cell = Mat3d{1, 2, 3, 4, 5, 6, 7, 8, 9};
        m.energy = -2.25;
        m.forces = std::vector<Vec3d>{{0.1, 0.2, 0.3}, {-0.1, -0.2, -0.3}};
        m.stress = Mat3d{9, 8, 7, 6, 5, 4, 3, 2, 1};
        m.velocities = std::vector<Vec3d>{{1, 0, 0}, {0, 1, 0}};
    }
    return m;
}

template <class Variant>
std::vector<uint8_t> payload_of(const Variant& v) {
    return std::visit(
        [](const auto& x) {
            using X = std::decay_t<decltype(x)>;
            if constexpr (std::is_arithmetic_v<X>) {
                return raw_bytes(&x, 1);
            } else {
                return raw_bytes(x.data(), x.size());
            }
        },
        v);
}

TEST(SoaRecordTest, BuiltinSectionsFollowTheFixedOrderWithPrecisionTags) {
    const struct {
        types::Precision precision;
        std::vector<uint8_t> tags;  // charges, cell, energy, forces, name, pbc, stress, velocities
        size_t position_bytes;
    } cases[] = {
        {types::kF32, {6, 12, 11, 4, 2, 9, 12, 4}, 12},
        {types::kF64, {3, 10, 0, 7, 2, 9, 10, 7}, 24},
    };
    const std::vector<std::string> order = {"charges", "cell", "energy", "forces",
                                            "name",    "pbc",  "stress", "velocities"};
    for (const auto& c : cases) {
        Molecule m = all_builtins(c.precision);
        auto record = serialize_molecule_soa(m, 3);
        ASSERT_TRUE(record.ok()) << record.error().message();
        ParsedRecord parsed = parse_record(*record, c.position_bytes);
        ASSERT_EQ(parsed.sections.size(), order.size());
        for (size_t i = 0; i < order.size(); ++i) {
            EXPECT_EQ(parsed.sections[i].kind, 0);
            EXPECT_EQ(parsed.sections[i].key, order[i]);
            EXPECT_EQ(parsed.sections[i].tag, c.tags[i]) << order[i];
        }
        EXPECT_EQ(parsed.sections[0].payload, payload_of(*m.charges));
        EXPECT_EQ(parsed.sections[1].payload, payload_of(*m.cell));
        EXPECT_EQ(parsed.sections[1].payload.size(), 9 * (c.precision == types::kF32 ? 4u : 8u));
        EXPECT_EQ(parsed.sections[2].payload, payload_of(*m.energy));
        EXPECT_EQ(parsed.sections[3].payload, payload_of(*m.forces));
        EXPECT_EQ(parsed.sections[4].payload, (std::vector<uint8_t>{'H', 0xc3, 0xa9}));
        EXPECT_EQ(parsed.sections[5].payload, (std::vector<uint8_t>{1, 0, 1}));
        EXPECT_EQ(parsed.sections[6].payload, payload_of(*m.stress));
        EXPECT_EQ(parsed.sections[7].payload, payload_of(*m.velocities));
    }
}

std::vector<std::string> section_keys(const ParsedRecord& parsed, uint8_t kind) {
    std::vector<std::string> keys;
    for (const Section& s : parsed.sections) {
        if (s.kind == kind) keys.push_back(s.key);
    }
    return keys;
}

TEST(SoaRecordTest, CustomSectionsFollowUnsignedByteKeyOrder) {
    // Sorted as unsigned bytes, a prefix before the longer key: "" < "B" (0x42) < "a" (0x61)
    // < "a\0" < "ab" < "z" < "é" (0xc3 0xa9).
    const std::vector<std::string> sorted = {"",   "B", "a",       std::string("a\0", 2),
                                             "ab", "z", "\xc3\xa9"};
    std::vector<Bytes> records;
    for (bool reversed : {false, true}) {
        Molecule m = one_atom();
        for (size_t i = 0; i < sorted.size(); ++i) {
            const std::string& key = sorted[reversed ? sorted.size() - 1 - i : i];
            m.atom_properties.emplace(key, std::vector<float>{1.5f});
            m.properties.emplace(key, key);
        }
        auto record = serialize_molecule_soa(m, 2);
        ASSERT_TRUE(record.ok()) << record.error().message();
        ParsedRecord parsed = parse_record(*record, 12);
        ASSERT_EQ(parsed.sections.size(), 2 * sorted.size());
        // All per-atom sections come before all per-molecule ones.
        for (size_t i = 0; i < parsed.sections.size(); ++i) {
            EXPECT_EQ(parsed.sections[i].kind, i < sorted.size() ? 1 : 2);
        }
        EXPECT_EQ(section_keys(parsed, 1), sorted);
        EXPECT_EQ(section_keys(parsed, 2), sorted);
        records.push_back(std::move(record).value());
    }
    // Insertion order and the maps' seeds leave no trace in the record.
    EXPECT_EQ(records[0], records[1]);
}

TEST(SoaRecordTest, CustomKeyEqualToBuiltinKeyIsWrittenAfterTheBuiltins) {
    Molecule m = one_atom();
    m.energy = -1.0;
    m.properties.emplace("energy", 2.0);
    m.atom_properties.emplace("energy", std::vector<double>{3.0});
    m.properties.emplace("aaa", types::PropertyValue{});
    auto record = serialize_molecule_soa(m, 2);
    ASSERT_TRUE(record.ok()) << record.error().message();
    ParsedRecord parsed = parse_record(*record, 12);
    ASSERT_EQ(parsed.sections.size(), 4u);
    const std::vector<std::pair<uint8_t, std::string>> expected = {
        {0, "energy"}, {1, "energy"}, {2, "aaa"}, {2, "energy"}};
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(parsed.sections[i].kind, expected[i].first) << i;
        EXPECT_EQ(parsed.sections[i].key, expected[i].second) << i;
    }
    // A Null property: tag 13, payload length 0.
    EXPECT_EQ(parsed.sections[2].tag, 13);
    EXPECT_TRUE(parsed.sections[2].payload.empty());
}

TEST(SoaRecordTest, PropertyValuesCarryTheirTagAndBarePayload) {
    const struct {
        PropertyValue value;
        uint8_t tag;
        std::vector<uint8_t> payload;
    } cases[] = {
        {PropertyValue{}, 13, {}},
        {PropertyValue{-1.5}, 0, {0, 0, 0, 0, 0, 0, 0xf8, 0xbf}},
        {PropertyValue{int64_t{-2}}, 1, {0xfe, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}},
        {PropertyValue{std::string("\xc3\xa9")}, 2, {0xc3, 0xa9}},
        {PropertyValue{std::string()}, 2, {}},
        {PropertyValue{std::vector<double>{}}, 3, {}},
        {PropertyValue{std::vector<double>{1.0}}, 3, {0, 0, 0, 0, 0, 0, 0xf0, 0x3f}},
        {PropertyValue{std::vector<Vec3f>{{1, 2, 3}}},
         4,
         {0, 0, 0x80, 0x3f, 0, 0, 0, 0x40, 0, 0, 0x40, 0x40}},
        {PropertyValue{std::vector<int64_t>{1, 256}},
         5,
         {1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0}},
        {PropertyValue{std::vector<float>{1.0f, -2.0f}}, 6, {0, 0, 0x80, 0x3f, 0, 0, 0, 0xc0}},
        {PropertyValue{std::vector<Vec3d>{{1, 2, 3}}},
         7,
         {0, 0, 0, 0, 0, 0, 0xf0, 0x3f, 0, 0, 0, 0, 0, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 0x08, 0x40}},
        {PropertyValue{std::vector<int32_t>{-1, 2}}, 8, {0xff, 0xff, 0xff, 0xff, 2, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        const size_t variant = c.value.index();
        EXPECT_EQ(dtypes::property_type_tag(c.value), c.tag) << "variant " << variant;
        EXPECT_EQ(bytes_of(dtypes::property_value_to_bytes(c.value)), c.payload)
            << "variant " << variant;
        EXPECT_EQ(dtypes::property_payload_len(c.value), c.payload.size());

        Molecule m = one_atom();
        m.properties.emplace("p", c.value);
        auto record = serialize_molecule_soa(m, 2);
        ASSERT_TRUE(record.ok()) << record.error().message();
        ParsedRecord parsed = parse_record(*record, 12);
        ASSERT_EQ(parsed.sections.size(), 1u);
        EXPECT_EQ(parsed.sections[0].tag, c.tag) << "variant " << variant;
        EXPECT_EQ(parsed.sections[0].payload, c.payload) << "variant " << variant;
    }
}

TEST(SoaRecordTest, TypeTagElementSizes) {
    const uint64_t expected[] = {8, 8, 0, 8, 12, 8, 4, 24, 4, 3, 72, 4, 36, 0};
    for (unsigned tag = 0; tag < 256; ++tag) {
        const uint64_t want = tag < std::size(expected) ? expected[tag] : 0;
        EXPECT_EQ(dtypes::type_tag_elem_bytes(static_cast<uint8_t>(tag)), want) << tag;
    }
}

TEST(SoaRecordTest, KeyOfMoreThan255BytesIsRefused) {
    const std::string longest(255, 'k');
    const std::string too_long(256, 'k');

    Molecule fits = one_atom();
    fits.properties.emplace(longest, int64_t{1});
    auto record = serialize_molecule_soa(fits, 2);
    ASSERT_TRUE(record.ok()) << record.error().message();
    ParsedRecord parsed = parse_record(*record, 12);
    ASSERT_EQ(parsed.sections.size(), 1u);
    EXPECT_EQ(parsed.sections[0].key, longest);
    EXPECT_EQ((*record)[4 + 12 + 1 + 2 + 1], 255);

    Molecule refused = one_atom();
    refused.atom_properties.emplace(too_long, std::vector<float>{1});
    auto error = serialize_molecule_soa(refused, 2);
    ASSERT_FALSE(error.ok());
    EXPECT_EQ(error.error(), Error::invalid_data("Section key '" + too_long + "' is too long"));

    // Sections are checked in writing order: per-atom keys first, each map in key order.
    Molecule two = one_atom();
    two.properties.emplace("a" + too_long, PropertyValue{});
    two.atom_properties.emplace("c" + too_long, PropertyValue{});
    two.atom_properties.emplace("b" + too_long, PropertyValue{});
    error = serialize_molecule_soa(two, 2);
    ASSERT_FALSE(error.ok());
    EXPECT_EQ(error.error().message(), "Section key 'b" + too_long + "' is too long");
}

TEST(SoaRecordTest, PayloadOfMoreThanFourGigabytesIsRefused) {
    EXPECT_TRUE(check_section(std::string(255, 'x'), UINT32_MAX).ok());
    Status status = check_section("big", uint64_t{UINT32_MAX} + 1);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error(), Error::invalid_data("Section 'big' payload is too large"));
    // The key is checked first.
    status = check_section(std::string(256, 'y'), uint64_t{1} << 40);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().message(), "Section key '" + std::string(256, 'y') + "' is too long");
}

TEST(SoaRecordTest, WriteSectionLaysDownOneSectionOrNothing) {
    Bytes buffer(7 + 3 + 2, 0xee);
    coding::Writer out(buffer);
    const uint8_t payload[] = {0xaa, 0xbb};
    ASSERT_TRUE(write_section(out, 2, "key", 8, payload, 2).ok());
    EXPECT_EQ(bytes_of(buffer),
              (std::vector<uint8_t>{2, 3, 'k', 'e', 'y', 8, 2, 0, 0, 0, 0xaa, 0xbb}));
    EXPECT_EQ(out.remaining(), 0u);

    Bytes untouched(8, 0xee);
    coding::Writer refused(untouched);
    Status status = write_section(refused, 1, std::string(256, 'k'), 0, nullptr, 0);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(refused.remaining(), 8u);
    EXPECT_EQ(bytes_of(untouched), std::vector<uint8_t>(8, 0xee));
}

// A molecule with `total` sections: the eight built-in ones, the rest split between the maps.
Molecule with_sections(size_t total) {
    Molecule m = all_builtins(types::kF32);
    size_t remaining = total - 8;
    for (size_t i = 0; remaining > 0; ++i, --remaining) {
        auto& map = i % 2 == 0 ? m.atom_properties : m.properties;
        map.emplace(std::to_string(i), PropertyValue{});
    }
    return m;
}

TEST(SoaRecordTest, AtMost65535SectionsAreWritten) {
    Molecule most = with_sections(65535);
    auto record = serialize_molecule_soa(most, 3);
    ASSERT_TRUE(record.ok()) << record.error().message();
    const size_t count_at = 4 + 2 * 12 + 2;
    EXPECT_EQ((*record)[count_at], 0xff);
    EXPECT_EQ((*record)[count_at + 1], 0xff);
    EXPECT_EQ(parse_record(*record, 12).sections.size(), 65535u);

    Molecule too_many = with_sections(65536);
    auto refused = serialize_molecule_soa(too_many, 3);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error(), Error::invalid_data("Too many SOA sections"));

    // The count is checked before any key, and after the record-format check.
    too_many.properties.emplace(std::string(256, 'k'), PropertyValue{});
    refused = serialize_molecule_soa(too_many, 3);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().message(), "Too many SOA sections");
    refused = serialize_molecule_soa(too_many, 2);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().message(), "record format 2 does not support float32 charges");
}

TEST(SoaRecordTest, MismatchedAtomicNumbersAreRefused) {
    const struct {
        size_t positions;
        size_t numbers;
        const char* message;
    } cases[] = {
        {3, 2, "Atomic numbers length (2) doesn't match atom count (3)"},
        {0, 1, "Atomic numbers length (1) doesn't match atom count (0)"},
        {1, 4, "Atomic numbers length (4) doesn't match atom count (1)"},
    };
    for (const auto& c : cases) {
        Molecule m;  // as the compact form's decoder may produce it
        m.positions = std::vector<Vec3f>(c.positions);
        m.atomic_numbers.assign(c.numbers, 1);
        for (uint32_t format : {2u, 3u}) {
            auto record = serialize_molecule_soa(m, format);
            ASSERT_FALSE(record.ok());
            EXPECT_EQ(record.error(), Error::invalid_data(c.message));
        }
    }
}

// Record-format rules -------------------------------------------------------------------------

// One atom with the fields named in `single` present in single precision and those in `dual` in
// double: q charges, c cell, e energy, f forces, s stress, v velocities.
Molecule with_fields(bool double_positions, std::string_view single, std::string_view dual) {
    Molecule m;
    m.atomic_numbers = {1};
    m.positions = double_positions ? types::Vec3Data(std::vector<Vec3d>(1))
                                   : types::Vec3Data(std::vector<Vec3f>(1));
    auto set = [&m](char field, bool f32) {
        const types::Vec3Data triples =
            f32 ? types::Vec3Data(std::vector<Vec3f>(1)) : types::Vec3Data(std::vector<Vec3d>(1));
        const types::Mat3Data matrix = f32 ? types::Mat3Data(Mat3f{}) : types::Mat3Data(Mat3d{});
        if (field == 'q') {
            m.charges = f32 ? types::FloatArrayData(std::vector<float>(1))
                            : types::FloatArrayData(std::vector<double>(1));
        }
        if (field == 'c') m.cell = matrix;
        if (field == 'e') {
            m.energy = f32 ? types::FloatScalarData(0.0f) : types::FloatScalarData(0.0);
        }
        if (field == 'f') m.forces = triples;
        if (field == 's') m.stress = matrix;
        if (field == 'v') m.velocities = triples;
    };
    for (char field : single) set(field, true);
    for (char field : dual) set(field, false);
    return m;
}

TEST(RecordFormatTest, MoleculeCompatibilityFollowsTheFieldOrder) {
    const struct {
        bool double_positions;
        const char* single;
        const char* dual;
        uint32_t format;
        const char* refusal;  // nullptr: accepted
    } cases[] = {
        {false, "fv", "qces", 2, nullptr},
        {false, "", "", 2, nullptr},
        {false, "efv", "qcs", 2, "record format 2 does not support float32 energy"},
        {false, "q", "", 2, "record format 2 does not support float32 charges"},
        {false, "c", "", 2, "record format 2 does not support float32 cell"},
        {false, "", "f", 2, "record format 2 does not support float64 forces"},
        {false, "s", "", 2, "record format 2 does not support float32 stress"},
        {false, "", "v", 2, "record format 2 does not support float64 velocities"},
        // The first refusal in the order charges, cell, energy, forces, stress, velocities.
        {false, "cq", "", 2, "record format 2 does not support float32 charges"},
        {false, "ec", "", 2, "record format 2 does not support float32 cell"},
        {false, "e", "f", 2, "record format 2 does not support float32 energy"},
        {false, "s", "f", 2, "record format 2 does not support float64 forces"},
        {false, "s", "v", 2, "record format 2 does not support float32 stress"},
        // Double positions are refused by format 2 whatever else the molecule holds, and under
        // format 3 nothing else is looked at.
        {true, "fv", "qces", 2, "record format 2 does not support float64 positions"},
        {true, "q", "", 2, "record format 2 does not support float64 positions"},
        {true, "qes", "cfv", 3, nullptr},
        {false, "ef", "qcsv", 3, nullptr},
        {false, "", "", 4, "Unsupported record format 4"},
        {true, "", "", 1, "Unsupported record format 1"},
        {false, "e", "", 0, "Unsupported record format 0"},
        {true, "", "", UINT32_MAX, "Unsupported record format 4294967295"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("single '") + c.single + "' double '" + c.dual + "' format " +
                     std::to_string(c.format) + (c.double_positions ? ", double positions" : ""));
        const Molecule m = with_fields(c.double_positions, c.single, c.dual);
        Status status = validate_record_format_compat(m, c.format);
        auto record = serialize_molecule_soa(m, c.format);
        if (c.refusal == nullptr) {
            EXPECT_TRUE(status.ok()) << status.error().message();
            EXPECT_TRUE(record.ok());
        } else {
            ASSERT_FALSE(status.ok());
            EXPECT_EQ(status.error(), Error::invalid_data(c.refusal));
            ASSERT_FALSE(record.ok());
            EXPECT_EQ(record.error(), status.error());
        }
        if (c.format == 2) {
            EXPECT_EQ(minimum_record_format_for_molecule(m), c.refusal == nullptr ? 2u : 3u);
        }
    }
}

TEST(RecordFormatTest, NamePbcAndCustomPropertiesAreNotExamined) {
    Molecule m = with_fields(false, "", "");
    m.name = "x";
    m.pbc = std::array<bool, 3>{false, false, false};
    m.properties.emplace("energy", std::vector<float>{1});
    m.atom_properties.emplace("forces", std::vector<Vec3d>{{0, 0, 0}});
    EXPECT_TRUE(validate_record_format_compat(m, 2).ok());
    EXPECT_EQ(minimum_record_format_for_molecule(m), 2u);
}

TEST(RecordFormatTest, PerKeyRuleAdmitsOneTagPerPrecisionTaggedKeyUnderFormatTwo) {
    const struct {
        const char* key;
        uint8_t accepted;
        const char* refusal;
    } rules[] = {
        {"cell", 10, "record format 2 does not support float32 cell"},
        {"energy", 0, "record format 2 does not support float32 energy"},
        {"forces", 4, "record format 2 does not support float64 forces"},
        {"stress", 10, "record format 2 does not support float32 stress"},
        {"charges", 3, "record format 2 does not support float32 charges"},
        {"velocities", 4, "record format 2 does not support float64 velocities"},
    };
    for (const auto& rule : rules) {
        for (unsigned tag = 0; tag < 256; ++tag) {
            Status status =
                dtypes::validate_builtin_type_tag_for_record_format(2, rule.key, uint8_t(tag));
            if (tag == rule.accepted) {
                EXPECT_TRUE(status.ok()) << rule.key;
            } else {
                ASSERT_FALSE(status.ok()) << rule.key << " tag " << tag;
                EXPECT_EQ(status.error(), Error::invalid_data(rule.refusal));
            }
            // Format 3 admits everything.
            EXPECT_TRUE(
                dtypes::validate_builtin_type_tag_for_record_format(3, rule.key, uint8_t(tag))
                    .ok());
        }
    }
    for (uint32_t format : {0u, 1u, 4u, UINT32_MAX}) {
        for (const char* key : {"cell", "name", "custom"}) {
            Status status = dtypes::validate_builtin_type_tag_for_record_format(format, key, 2);
            ASSERT_FALSE(status.ok());
            EXPECT_EQ(status.error(),
                      Error::invalid_data("Unsupported record format " + std::to_string(format)));
        }
    }
    for (const char* key : {"name", "pbc", "", "Cell", "energy2", "positions"}) {
        for (unsigned tag = 0; tag < 256; ++tag) {
            EXPECT_TRUE(
                dtypes::validate_builtin_type_tag_for_record_format(2, key, uint8_t(tag)).ok())
                << key << " tag " << tag;
        }
    }
}

TEST(RecordFormatTest, ResolvePositionsType) {
    const struct {
        uint32_t format;
        std::optional<uint8_t> given;
        std::optional<uint8_t> result;
        const char* refusal;
    } cases[] = {
        {2, std::nullopt, 4, nullptr},
        {2, 4, 4, nullptr},
        {2, 5, 4, nullptr},
        {2, 0, 4, nullptr},
        {2, 7, std::nullopt, "record format 2 does not support float64 positions"},
        {3, 4, 4, nullptr},
        {3, 7, 7, nullptr},
        {3, 5, 5, nullptr},
        {3, std::nullopt, std::nullopt, "Missing positions dtype for record format 3"},
        {1, 4, std::nullopt, "Unsupported record format 1"},
        {4, std::nullopt, std::nullopt, "Unsupported record format 4"},
    };
    for (const auto& c : cases) {
        auto resolved = resolve_positions_type(c.format, c.given);
        if (c.refusal == nullptr) {
            ASSERT_TRUE(resolved.ok()) << resolved.error().message();
            EXPECT_EQ(*resolved, *c.result);
        } else {
            ASSERT_FALSE(resolved.ok());
            EXPECT_EQ(resolved.error(), Error::invalid_data(c.refusal));
        }
    }
}

}  // namespace
}  // namespace kestrove::storage::soa
