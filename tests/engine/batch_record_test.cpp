// Tests of the batch record builder: its refusals and byte equality with the molecule writer.
#include "engine/view/batch_record.hpp"

#include <sys/mman.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/storage/dtypes.hpp"
#include "engine/storage/soa.hpp"
#include "tests/engine/molecule_test_util.hpp"

namespace kestrove::view {
namespace {

using atom::Molecule;
using types::PropertyValue;
namespace dtypes = storage::dtypes;

std::vector<uint8_t> bytes_of(const Bytes& b) { return {b.begin(), b.end()}; }

template <class Variant>
std::span<const uint8_t> raw_variant(const Variant& data) {
    return std::visit(
        [](const auto& v) -> std::span<const uint8_t> {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_arithmetic_v<V>) {
                return {reinterpret_cast<const uint8_t*>(&v), sizeof v};
            } else {
                return {reinterpret_cast<const uint8_t*>(v.data()),
                        v.size() * sizeof(typename V::value_type)};
            }
        },
        data);
}

// One molecule cut into the raw slices a batch row provides. Custom sections are given in the
// molecule writer's order (per-atom, then per-molecule, each by key) so both records agree.
struct Row {
    uint8_t positions_tag;
    std::span<const uint8_t> positions;
    std::span<const uint8_t> atomic_numbers;
    SoaBuiltinSlices builtins;
    std::vector<Bytes> payloads;
    std::vector<SoaSectionRef> custom;

    explicit Row(const Molecule& m) {
        positions_tag =
            m.positions.index() == types::kF32 ? dtypes::kTagVec3F32 : dtypes::kTagVec3F64;
        positions = raw_variant(m.positions);
        atomic_numbers = m.atomic_numbers;
        auto typed = [](const auto& field, uint8_t single, uint8_t dual) {
            std::optional<SoaTypedSlice> slice;
            if (field)
                slice = SoaTypedSlice{raw_variant(*field), field->index() == 0 ? single : dual};
            return slice;
        };
        builtins.energy = typed(m.energy, dtypes::kTagF32, dtypes::kTagF64);
        builtins.forces = typed(m.forces, dtypes::kTagVec3F32, dtypes::kTagVec3F64);
        builtins.charges = typed(m.charges, dtypes::kTagF32Array, dtypes::kTagF64Array);
        builtins.velocities = typed(m.velocities, dtypes::kTagVec3F32, dtypes::kTagVec3F64);
        builtins.cell = typed(m.cell, dtypes::kTagMat3F32, dtypes::kTagMat3F64);
        builtins.stress = typed(m.stress, dtypes::kTagMat3F32, dtypes::kTagMat3F64);
        if (m.name) builtins.name = *m.name;
        if (m.pbc) builtins.pbc = {(*m.pbc)[0], (*m.pbc)[1], (*m.pbc)[2]};
        const std::pair<uint8_t, const atom::PropertyMap*> maps[] = {
            {dtypes::kKindAtomProperty, &m.atom_properties},
            {dtypes::kKindMolProperty, &m.properties}};
        for (const auto& [kind, map] : maps) {
            for (const auto* entry : storage::soa::sorted_properties(*map)) {
                payloads.push_back(dtypes::property_value_to_bytes(entry->second));
                custom.push_back(SoaSectionRef{entry->first, payloads.back(), kind,
                                               dtypes::property_type_tag(entry->second)});
            }
        }
        // The payload list may have moved while growing; point the refs at the final buffers.
        for (size_t i = 0; i < custom.size(); ++i) custom[i].payload = payloads[i];
    }

    Result<Bytes, std::string> build() const {
        return build_soa_record_unchecked(positions_tag, positions, atomic_numbers, builtins,
                                          custom);
    }
};

TEST(BatchRecordTest, RecordsEqualThoseOfTheMoleculeWriter) {
    std::mt19937_64 rng(31);
    for (int round = 0; round < 500; ++round) {
        const size_t precision = round % 2 == 0 ? types::kF32 : types::kF64;
        const Molecule m = testing::random_molecule(rng, precision, testing::Fields::kRandom);
        auto expected = storage::soa::serialize_molecule_soa(m, dtypes::kRecordFormat3);
        ASSERT_TRUE(expected.ok()) << expected.error().display();
        auto built = Row(m).build();
        ASSERT_TRUE(built.ok()) << built.error();
        ASSERT_EQ(bytes_of(*built), bytes_of(*expected)) << "round " << round;
        EXPECT_EQ(built->capacity(), built->size()) << "one allocation of the exact size";
    }
}

TEST(BatchRecordTest, BuiltinsFollowTheRecordOrderAndCustomSectionsTheGivenOrder) {
    const double energy = -1.5;
    SoaBuiltinSlices builtins;
    builtins.pbc = {1, 0, 1};
    builtins.name = "w";
    builtins.energy = SoaTypedSlice{{reinterpret_cast<const uint8_t*>(&energy), 8}, 0};
    const uint8_t payload_b[] = {9};
    const SoaSectionRef custom[] = {{"b", payload_b, 2, 13}, {"a", {}, 1, 6}};
    auto record = build_soa_record_unchecked(4, {}, {}, builtins, custom);
    ASSERT_TRUE(record.ok()) << record.error();
    const std::vector<uint8_t> golden = {
        0, 0, 0,   0,   5,   0,                                 // no atoms, 5 sections
        0, 6, 'e', 'n', 'e', 'r', 'g',  'y',  0, 8, 0, 0,   0,  // energy
        0, 0, 0,   0,   0,   0,   0xf8, 0xbf,                   //
        0, 4, 'n', 'a', 'm', 'e', 2,    1,    0, 0, 0, 'w',     // name
        0, 3, 'p', 'b', 'c', 9,   3,    0,    0, 0, 1, 0,   1,  // pbc
        2, 1, 'b', 13,  1,   0,   0,    0,    9,                // b, as given
        1, 1, 'a', 6,   0,   0,   0,    0,                      // a
    };
    EXPECT_EQ(bytes_of(*record), golden);
}

// Anonymous pages that are never touched: a payload longer than the u32 range without using memory.
struct HugeSpan {
    static constexpr size_t kLen = (size_t{1} << 32) + 1;
    void* base =
        ::mmap(nullptr, kLen, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ~HugeSpan() {
        if (base != MAP_FAILED) ::munmap(base, kLen);
    }
    std::span<const uint8_t> span() const { return {static_cast<const uint8_t*>(base), kLen}; }
};

TEST(BatchRecordTest, RefusalsComeInTheirOrder) {
    HugeSpan huge;
    if (huge.base == MAP_FAILED) GTEST_SKIP() << "cannot reserve address space";
    const std::vector<uint8_t> zeros(96, 0);
    auto first = [&](size_t n) { return std::span<const uint8_t>(zeros.data(), n); };
    const std::string long_key(256, 'k');

    SoaBuiltinSlices big_stress;
    big_stress.stress = SoaTypedSlice{huge.span(), 10};
    SoaBuiltinSlices with_name;
    with_name.name = "n";
    std::vector<SoaSectionRef> most(65535 - 1, SoaSectionRef{"", {}, 2, 13});
    std::vector<SoaSectionRef> too_many = most;
    too_many.push_back({long_key, {}, 1, 0});
    const SoaSectionRef long_then_big[] = {
        {"ok", {}, 1, 0}, {long_key, {}, 1, 0}, {"x", huge.span(), 2, 0}};
    const SoaSectionRef big_then_long[] = {{"x", huge.span(), 2, 0}, {long_key, {}, 1, 0}};
    const SoaSectionRef longest[] = {{std::string_view(long_key).substr(1), first(3), 2, 13}};

    const struct {
        const char* what;
        uint8_t tag;
        size_t positions;
        size_t numbers;
        const SoaBuiltinSlices* builtins;
        std::span<const SoaSectionRef> custom;
        std::string message;  // empty: accepted
    } cases[] = {
        {"tag 5", 5, 36, 3, nullptr, {}, "Unsupported positions type tag 5"},
        {"tag before length", 0, 40, 1, nullptr, {}, "Unsupported positions type tag 0"},
        {"f32", 4, 40, 3, nullptr, {}, "positions payload length (40) is not a multiple of 12"},
        {"f64", 7, 36, 3, nullptr, {}, "positions payload length (36) is not a multiple of 24"},
        {"z", 7, 48, 3, nullptr, {}, "Atomic numbers length (3) doesn't match atom count (2)"},
        {"numbers before sections", 4, 12, 0, &big_stress, too_many,
         "Atomic numbers length (0) doesn't match atom count (1)"},
        {"65535 sections", 4, 0, 0, &with_name, most, ""},
        {"65536 sections before any key", 4, 0, 0, &with_name, too_many, "Too many SOA sections"},
        {"built-ins before custom", 4, 0, 0, &big_stress, long_then_big,
         "Section 'stress' payload is too large"},
        {"custom in the given order", 4, 0, 0, nullptr, long_then_big,
         "Section key '" + long_key + "' is too long"},
        {"payload", 4, 0, 0, nullptr, big_then_long, "Section 'x' payload is too large"},
        {"255-byte key", 4, 24, 2, nullptr, longest, ""},
    };
    for (const auto& c : cases) {
        const SoaBuiltinSlices none;
        auto built = build_soa_record_unchecked(c.tag, first(c.positions), first(c.numbers),
                                                c.builtins ? *c.builtins : none, c.custom);
        if (c.message.empty()) {
            EXPECT_TRUE(built.ok()) << c.what << ": " << built.error();
        } else {
            ASSERT_FALSE(built.ok()) << c.what;
            EXPECT_EQ(built.error(), c.message) << c.what;
        }
    }
}

TEST(BatchRecordTest, WriteSectionRawAppendsOneSectionOrNothing) {
    HugeSpan huge;
    Bytes out = {0xee};
    const uint8_t payload[] = {0xaa, 0xbb};
    EXPECT_EQ(write_soa_section_raw(out, 2, "key", 8, payload), std::nullopt);
    EXPECT_EQ(bytes_of(out),
              (std::vector<uint8_t>{0xee, 2, 3, 'k', 'e', 'y', 8, 2, 0, 0, 0, 0xaa, 0xbb}));

    const std::string long_key(256, 'k');
    EXPECT_EQ(write_soa_section_raw(out, 1, long_key, 0, {}),
              "Section key '" + long_key + "' is too long");
    if (huge.base != MAP_FAILED) {
        EXPECT_EQ(write_soa_section_raw(out, 1, "big", 0, huge.span()),
                  "Section 'big' payload is too large");
    }
    EXPECT_EQ(out.size(), 13u);
}

}  // namespace
}  // namespace kestrove::view
