// Tests of the eager record parser and of the two section column derivations.
#include "engine/view/record_parser.hpp"

#include <gtest/gtest.h>

#include "engine/storage/soa.hpp"
#include "tests/engine/record_test_util.hpp"

namespace kestrove::view {
namespace {

using testing::cut;
using testing::le_bytes;
using testing::RecordBuilder;

std::vector<uint8_t> raw(std::span<const uint8_t> bytes) { return {bytes.begin(), bytes.end()}; }

TEST(RecordParserTest, ParsesEverySectionInRecordOrderWithoutCopying) {
    const atom::Molecule m = testing::full_molecule(types::kF64);
    auto record = storage::soa::serialize_molecule_soa(m, 3);
    ASSERT_TRUE(record.ok());
    const Bytes& bytes = record.value();
    auto parsed = parse_mol_fast_soa(bytes, 24);
    ASSERT_TRUE(parsed.ok()) << parsed.error().display();
    EXPECT_EQ(parsed->n_atoms, 3u);
    EXPECT_EQ(parsed->positions.data(), bytes.data() + 4);
    EXPECT_EQ(parsed->positions.size(), 72u);
    EXPECT_EQ(raw(parsed->atomic_numbers), m.atomic_numbers);
    ASSERT_EQ(parsed->sections.size(), 8u + 11u + 11u);
    EXPECT_EQ(parsed->sections[0].key, "charges");
    EXPECT_EQ(parsed->sections[7].key, "velocities");
    EXPECT_EQ(parsed->sections[8].kind, 1);
    const SoaSectionRef& last = parsed->sections.back();
    EXPECT_EQ(last.kind, 2);
    EXPECT_EQ(last.key, "vec3_f64");
    EXPECT_EQ(last.payload.data() + last.payload.size(), bytes.data() + bytes.size());
}

TEST(RecordParserTest, TruncationsNameTheMissingPart) {
    const std::vector<uint8_t> keyed = RecordBuilder(1, 12, 2)
                                           .section(2, "abc", 0, le_bytes<double>({1}))
                                           .section(2, "\xff", 0, {})
                                           .raw();
    const size_t head = 4 + 12 + 1 + 2;
    // The first section alone, declared so: parses, also with a trailing byte.
    std::vector<uint8_t> one_section = cut(keyed, head + 18);
    one_section[head - 2] = 1;
    const std::vector<uint8_t> huge = testing::max_atoms_record();
    const testing::RefusalCase cases[] = {
        {cut(keyed, 3), 12, "SOA n_atoms truncated"},
        {huge, SIZE_MAX, "SOA positions byte length overflow"},
        {huge, SIZE_MAX / 0xffffffffu, "SOA positions offset overflow"},
        {cut(keyed, 15), 12, "SOA positions truncated"},
        {cut(keyed, 16), 12, "SOA atomic_numbers truncated"},
        {cut(keyed, 17), 12, "SOA n_sections truncated"},
        {cut(keyed, head), 12, "SOA section kind truncated"},
        {cut(keyed, head + 1), 12, "SOA section key length truncated"},
        {cut(keyed, head + 4), 12, "SOA section key truncated"},
        {cut(keyed, head + 5), 12, "SOA section type tag truncated"},
        {cut(keyed, head + 9), 12, "SOA section payload length truncated"},
        {cut(keyed, head + 17), 12, "SOA section payload truncated"},
        // The second section cut short, the first one read already.
        {cut(keyed, head + 18), 12, "SOA section kind truncated"},
        {cut(keyed, head + 20), 12, "SOA section key truncated"},
        {keyed, 12, "Invalid UTF-8 in SOA section key"},
    };
    for (const testing::RefusalCase& c : cases) {
        auto parsed = parse_mol_fast_soa(c.bytes, c.bytes_per_atom);
        ASSERT_FALSE(parsed.ok()) << c.message;
        EXPECT_EQ(parsed.error().display(), "Invalid data: " + c.message);
        // Into a reused record that held a good parse: the failure leaves nothing of either.
        ParsedSoaRecord reused;
        ASSERT_TRUE(parse_mol_fast_soa_into(one_section, 12, reused).ok());
        ASSERT_EQ(reused.sections.size(), 1u);
        EXPECT_FALSE(parse_mol_fast_soa_into(c.bytes, c.bytes_per_atom, reused).ok()) << c.message;
        EXPECT_TRUE(reused.sections.empty()) << c.message;
        EXPECT_EQ(reused.n_atoms, 0u) << c.message;
        EXPECT_TRUE(reused.positions.empty() && reused.atomic_numbers.empty()) << c.message;
    }
    one_section.push_back(0xaa);
    EXPECT_TRUE(parse_mol_fast_soa(one_section, 12).ok());
}

// One section of a 3-atom record through both derivations.
struct SchemaCase {
    uint8_t kind;
    std::string key;
    uint8_t tag;
    std::vector<uint8_t> payload;
    std::string flat;    // "elem/slot/per_atom" or the error's message
    std::string re_add;  // the same for database_schema_section
};

TEST(SectionSchemaTest, FlatAndReAddDerivationsFollowTheirOwnRules) {
    const std::string len16 = "Section 'x' has invalid payload length 16 (expected 24)";
    const SchemaCase cases[] = {
        {2, "x", 2, {'h', 'i'}, "0/0/0", "0/0/0"},
        {2, "x", 2, {0xff}, "Invalid UTF-8 in section 'x'", "0/0/0"},
        {1, "x", 2, {'h'}, "String section 'x' cannot be per-atom in flat extraction", "0/0/1"},
        {2, "x", 13, {}, "0/0/0", "0/0/0"},
        {2, "x", 13, {1}, "Section 'x' has invalid payload length 1 (expected 0)", "0/0/0"},
        {1, "x", 0, std::vector<uint8_t>(8), "8/8/1",
         "Section 'x' has invalid payload length 8 (expected 24)"},
        {1, "x", 0, std::vector<uint8_t>(24),
         "Section 'x' has invalid payload length 24 (expected 8)", "8/8/1"},
        {1, "x", 3, std::vector<uint8_t>(16), len16, len16},
        {0, "forces", 4, std::vector<uint8_t>(36), "12/12/1", "12/12/1"},
        {0, "energy", 0, std::vector<uint8_t>(8), "8/8/0", "8/8/0"},
        {2, "x", 10, std::vector<uint8_t>(72), "72/72/0", "72/72/0"},
        {2, "x", 3, std::vector<uint8_t>(40), "40/40/0", "8/40/0"},
        {2, "x", 20, std::vector<uint8_t>(5), "5/5/0", "Unsupported section type tag 20 for 'x'"},
        {1,
         "x",
         20,
         {},
         "Unsupported per-atom section type tag 20 for key 'x'",
         "Unsupported section type tag 20 for 'x'"},
    };
    auto describe = [](uint64_t elem, uint64_t slot, bool per_atom) {
        return std::to_string(elem) + "/" + std::to_string(slot) + "/" + (per_atom ? "1" : "0");
    };
    for (const SchemaCase& c : cases) {
        const SoaSectionRef ref{c.key, c.payload, c.kind, c.tag};
        auto flat = section_schema_from_ref(ref, 3);
        EXPECT_EQ(flat.ok() ? describe(flat->elem_bytes, flat->slot_bytes, flat->per_atom)
                            : flat.error().message(),
                  c.flat)
            << c.key << " kind " << int(c.kind) << " tag " << int(c.tag);
        if (flat.ok()) {
            EXPECT_EQ(flat->key, c.key);
            EXPECT_EQ(flat->kind, c.kind);
            EXPECT_EQ(flat->type_tag, c.tag);
        }
        auto re_add = database_schema_section(c.kind, c.key, c.tag, c.payload.size(), 3);
        EXPECT_EQ(re_add.ok() ? describe(re_add->elem_bytes, re_add->slot_bytes, re_add->per_atom)
                              : re_add.error(),
                  c.re_add)
            << c.key << " kind " << int(c.kind) << " tag " << int(c.tag);
    }
}

TEST(SectionSchemaTest, PerAtomSizeOverflowIsRefused) {
    const SoaSectionRef ref{"x", {}, 1, 7};
    EXPECT_EQ(section_schema_from_ref(ref, SIZE_MAX).error().message(),
              "Section 'x' payload length overflow");
    EXPECT_EQ(database_schema_section(1, "x", 7, 0, SIZE_MAX).error(),
              "Section 'x' payload length overflow");
}

}  // namespace
}  // namespace kestrove::view
