// Tests of the compact serialised form: golden bytes, bit-exact round trips and damaged input.
#include "engine/compact.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "engine/storage/soa.hpp"
#include "tests/engine/molecule_test_util.hpp"

namespace kestrove::compact {
namespace {

using atom::Molecule;
using testing::Fields;
using testing::random_molecule;
using testing::same_bits;
using types::PropertyValue;

constexpr const char* kEndOfInput = "io error: unexpected end of file";

std::vector<uint8_t> bytes_of(const Bytes& b) { return {b.begin(), b.end()}; }

// Builds input byte strings field by field.
struct Input {
    std::vector<uint8_t> bytes;
    template <class T>
    Input& put(T value) {
        const auto* p = reinterpret_cast<const uint8_t*>(&value);
        bytes.insert(bytes.end(), p, p + sizeof value);
        return *this;
    }
    Input& u8(uint8_t v) { return put(v); }
    Input& u32(uint32_t v) { return put(v); }
    Input& u64(uint64_t v) { return put(v); }
    Input& text(std::string_view s) {
        u64(s.size());
        bytes.insert(bytes.end(), s.begin(), s.end());
        return *this;
    }
    // No name, `n` single-precision atoms at the origin with atomic number 1.
    Input& head(uint64_t n) {
        u8(0).u32(0).u64(n);
        for (uint64_t i = 0; i < 3 * n; ++i) put(0.0f);
        u64(n);
        for (uint64_t i = 0; i < n; ++i) u8(1);
        return *this;
    }
    // `count` absent optionals; all seven by default.
    Input& absent(int count = 7) {
        for (int i = 0; i < count; ++i) u8(0);
        return *this;
    }
};

Result<Molecule, std::string> decode(const std::vector<uint8_t>& bytes) {
    return deserialize_molecule(bytes);
}

Molecule one_atom() {
    auto created = Molecule::create({{1.0f, 2.0f, 3.0f}}, {1});
    EXPECT_TRUE(created.ok());
    return std::move(created).value();
}

// ---------------------------------------------------------------------------------------------

TEST(CompactFormTest, GoldenBytes) {
    const std::vector<uint8_t> minimal = {
        0x00,                                                                    // no name
        0x00, 0x00, 0x00, 0x00,                                                  // positions: F32
        0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,                          // one triple
        0x00, 0x00, 0x80, 0x3f, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x40, 0x40,  //
        0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01,                    // atomic numbers
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,        // seven absent optionals
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // no atom properties
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // no properties
    };
    ASSERT_EQ(minimal.size(), 57u);

    Molecule full = one_atom();
    full.name = "ab";
    full.energy = -1.5;
    full.pbc = std::array<bool, 3>{true, false, true};
    full.properties.emplace("a", PropertyValue{});
    const std::vector<uint8_t> golden = {
        0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 'a',  'b',         // name
        0x00, 0x00, 0x00, 0x00,                                                  // positions: F32
        0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,                          //
        0x00, 0x00, 0x80, 0x3f, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x40, 0x40,  //
        0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01,                    // atomic numbers
        0x00,                                                                    // no forces
        0x01, 0x01, 0x00, 0x00, 0x00,                                            // energy: F64
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xf8, 0xbf,                          //
        0x00, 0x00, 0x00,                                     // no charges, velocities, cell
        0x01, 0x01, 0x00, 0x01,                               // pbc
        0x00,                                                 // no stress
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,       // no atom properties
        0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,       // one property:
        0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 'a',  //   key "a"
        0x00, 0x00, 0x00, 0x00,                               //   Null
    };

    const std::pair<Molecule, std::vector<uint8_t>> cases[] = {{one_atom(), minimal},
                                                               {std::move(full), golden}};
    for (const auto& [molecule, bytes] : cases) {
        EXPECT_EQ(serialized_size(molecule), bytes.size());
        const Bytes encoded = serialize_molecule(molecule);
        EXPECT_EQ(bytes_of(encoded), bytes);
        EXPECT_EQ(encoded.capacity(), bytes.size()) << "one allocation of the exact size";

        // Decoding gives the molecule back, and bytes after the last field change nothing.
        std::vector<uint8_t> padded = bytes;
        padded.insert(padded.end(), {0xff, 0x00, 0x13});
        const std::vector<uint8_t>* inputs[] = {&bytes, &padded};
        for (const auto* input : inputs) {
            auto decoded = decode(*input);
            ASSERT_TRUE(decoded.ok()) << decoded.error();
            EXPECT_TRUE(same_bits(*decoded, molecule));
        }
    }
}

TEST(CompactFormTest, EveryFieldRoundTripsBitExact) {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 40; ++round) {
        for (size_t precision : {types::kF32, types::kF64}) {
            for (Fields fields : {Fields::kNone, Fields::kAll}) {
                const Molecule m = random_molecule(rng, precision, fields);
                const Bytes encoded = serialize_molecule(m);
                ASSERT_EQ(encoded.size(), serialized_size(m));
                auto decoded = deserialize_molecule(encoded);
                ASSERT_TRUE(decoded.ok()) << decoded.error();
                EXPECT_TRUE(same_bits(*decoded, m)) << "round " << round;
                EXPECT_EQ(decoded->positions.index(), precision);
            }
        }
    }
}

TEST(CompactFormTest, MalformedInputIsRefusedWithItsText) {
    const struct {
        const char* what;
        std::vector<uint8_t> bytes;
        std::string message;
    } cases[] = {
        {"empty", {}, kEndOfInput},
        {"name tag 2", Input().u8(2).bytes, "tag for enum is not valid, found 2"},
        {"positions variant 2", Input().u8(0).u32(2).bytes,
         "invalid value: integer `2`, expected variant index 0 <= i < 2"},
        {"energy variant 7", Input().head(0).absent(1).u8(1).u32(7).bytes,
         "invalid value: integer `7`, expected variant index 0 <= i < 2"},
        {"cell variant u32 max", Input().head(0).absent(4).u8(1).u32(UINT32_MAX).bytes,
         "invalid value: integer `4294967295`, expected variant index 0 <= i < 2"},
        {"property variant 10", Input().head(1).absent().u64(0).u64(1).text("a").u32(10).bytes,
         "invalid value: integer `10`, expected variant index 0 <= i < 10"},
        {"pbc flag 2 before the end", Input().head(0).absent(5).u8(1).u8(1).u8(2).bytes,
         "invalid u8 while decoding bool, expected 0 or 1, found 2"},
        {"pbc tag 3", Input().head(0).absent(5).u8(3).bytes, "tag for enum is not valid, found 3"},
        {"name too long", Input().u8(1).u64(3).u8('a').bytes, kEndOfInput},
        {"positions count unbacked", Input().u8(0).u32(0).u64(UINT64_MAX / 12).bytes, kEndOfInput},
        {"positions bytes overflow", Input().u8(0).u32(1).u64(UINT64_MAX).bytes, kEndOfInput},
        {"atomic numbers unbacked", Input().u8(0).u32(0).u64(0).u64(1ull << 62).bytes, kEndOfInput},
        {"map count unbacked", Input().head(0).absent().u64(UINT64_MAX).bytes, kEndOfInput},
        {"property array unbacked",
         Input().head(0).absent().u64(1).text("a").u32(8).u64(UINT64_MAX / 24 + 1).bytes,
         kEndOfInput},
        {"string value unbacked",
         Input().head(0).absent().u64(1).text("k").u32(3).u64(UINT64_MAX).bytes, kEndOfInput},
    };
    for (const auto& c : cases) {
        auto decoded = decode(c.bytes);
        ASSERT_FALSE(decoded.ok()) << c.what;
        EXPECT_EQ(decoded.error(), c.message) << c.what;
    }
}

TEST(CompactFormTest, TextMustBeValidUtf8) {
    const struct {
        std::string text;
        std::string fault;
    } cases[] = {
        {"\xff", "invalid utf-8 sequence of 1 bytes from index 0"},
        {"ab\x80", "invalid utf-8 sequence of 1 bytes from index 2"},
        {"\xc0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},          // overlong
        {"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},      // surrogate
        {"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // > U+10FFFF
        {"x\xe2\x82(", "invalid utf-8 sequence of 2 bytes from index 1"},
        {"\xf0\x9f\x98(", "invalid utf-8 sequence of 3 bytes from index 0"},
        {"a\xe2\x82", "incomplete utf-8 byte sequence from index 1"},
        {"\xf0\x9f", "incomplete utf-8 byte sequence from index 0"},
        {"\xc3", "incomplete utf-8 byte sequence from index 0"},
    };
    for (const auto& c : cases) {
        const std::string expected = "string is not valid utf8: " + c.fault;
        // In the name, in a map key and in a String value.
        const std::vector<uint8_t> inputs[] = {
            Input().u8(1).text(c.text).bytes,
            Input().head(0).absent().u64(1).text(c.text).bytes,
            Input().head(0).absent().u64(0).u64(1).text("k").u32(3).text(c.text).bytes,
        };
        for (const auto& input : inputs) {
            auto decoded = decode(input);
            ASSERT_FALSE(decoded.ok()) << c.fault;
            EXPECT_EQ(decoded.error(), expected);
        }
    }
    const std::string text = "\xe2\x82\xac\xf0\x9f\x98\x80\xed\x9f\xbf\x7f";
    auto valid = decode(Input().u8(1).text(text).u32(0).u64(0).u64(0).absent().u64(0).u64(0).bytes);
    ASSERT_TRUE(valid.ok()) << valid.error();
    EXPECT_EQ(valid->name, text);
}

TEST(CompactFormTest, LaterDuplicateKeyWinsAndInvariantsAreNotChecked) {
    // Two atomic numbers for one position triple, and a repeated key.
    Input in;
    in.u8(0).u32(0).u64(1).put(1.0f).put(2.0f).put(3.0f);  // one position triple
    in.u64(2).u8(6).u8(8).absent();                        // two atomic numbers
    in.u64(2).text("q").u32(2).put(int64_t{1});            // "q": Int 1
    in.text("q").u32(1).put(0.5).u64(0);                   // "q" again: Float 0.5
    const std::vector<uint8_t>& bytes = in.bytes;
    auto decoded = decode(bytes);
    ASSERT_TRUE(decoded.ok()) << decoded.error();
    ASSERT_EQ(decoded->atom_properties.size(), 1u);
    EXPECT_TRUE(same_bits(decoded->atom_properties.at("q"), PropertyValue{0.5}));
    EXPECT_EQ(decoded->atomic_numbers.size(), 2u);
    // Such a molecule never becomes a record.
    auto record = storage::soa::serialize_molecule_soa(*decoded, 3);
    ASSERT_FALSE(record.ok());
    EXPECT_EQ(record.error().message(), "Atomic numbers length (2) doesn't match atom count (1)");
}

// Every strict prefix of a valid encoding ends early; random byte flips decode or are refused
// with one of the decoder's texts, and whatever decodes encodes and decodes to itself. Run under
// AddressSanitizer this also shows that no read strays and no unbacked count allocates.
TEST(CompactFormTest, PrefixesAndByteFlipsAreHandled) {
    std::mt19937_64 rng(2024);
    const char* const families[] = {"io error: ", "tag for enum is not valid, found ",
                                    "invalid value: integer `", "invalid u8 while decoding bool",
                                    "string is not valid utf8: "};
    for (int round = 0; round < 6; ++round) {
        const Molecule m = random_molecule(rng, round % 2, Fields::kAll);
        const Bytes encoded = serialize_molecule(m);
        for (size_t len = 0; len < encoded.size(); ++len) {
            auto decoded = deserialize_molecule(std::span(encoded.data(), len));
            ASSERT_FALSE(decoded.ok()) << len;
            ASSERT_EQ(decoded.error(), kEndOfInput) << len;
        }
        for (int flip = 0; flip < 3000; ++flip) {
            Bytes damaged = encoded;
            const int flips = 1 + static_cast<int>(rng() % 3);
            for (int k = 0; k < flips; ++k) {
                damaged[rng() % damaged.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
            }
            auto decoded = deserialize_molecule(damaged);
            if (!decoded.ok()) {
                const std::string& error = decoded.error();
                const bool known = std::any_of(std::begin(families), std::end(families),
                                               [&](const char* f) { return error.starts_with(f); });
                EXPECT_TRUE(known) << error;
                continue;
            }
            auto again = deserialize_molecule(serialize_molecule(*decoded));
            ASSERT_TRUE(again.ok()) << again.error();
            EXPECT_TRUE(same_bits(*again, *decoded));
        }
    }
}

}  // namespace
}  // namespace kestrove::compact
