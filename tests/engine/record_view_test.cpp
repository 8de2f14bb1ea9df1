// Tests of the lazy record view: structural checks, field readers, materialisation and corruption.
#include "engine/view/record_view.hpp"

#include <gtest/gtest.h>

#include <random>

#include "engine/storage/dtypes.hpp"
#include "engine/storage/soa.hpp"
#include "engine/view/record_parser.hpp"
#include "platform/file.hpp"
#include "tests/engine/database_test_util.hpp"
#include "tests/engine/record_test_util.hpp"

namespace kestrove::view {
namespace {

using storage::soa::serialize_molecule_soa;
using testing::cut;
using testing::full_molecule;
using testing::le_bytes;
using testing::RecordBuilder;
using types::kF32;
using types::kF64;

std::vector<uint8_t> raw(std::span<const uint8_t> bytes) { return {bytes.begin(), bytes.end()}; }

template <class T>
std::vector<uint8_t> raw_of(const T& values) {
    std::vector<uint8_t> out(values.size() * sizeof(values[0]));
    if (!out.empty()) std::memcpy(out.data(), values.data(), out.size());
    return out;
}

SoaContext context_of(types::Precision precision) {
    return precision == kF64 ? SoaContext{24, 7} : SoaContext{12, 4};
}

Bytes record_of(const atom::Molecule& molecule) {
    auto record = serialize_molecule_soa(molecule, 3);
    EXPECT_TRUE(record.ok());
    return std::move(record).value();
}

SoaMoleculeView view_of(Bytes record, SoaContext ctx = {12, 4}) {
    auto view = SoaMoleculeView::from_bytes(std::move(record), ctx);
    EXPECT_TRUE(view.ok()) << view.error().display();
    return std::move(view).value();
}

class RecordViewPrecisionTest : public ::testing::TestWithParam<types::Precision> {};
INSTANTIATE_TEST_SUITE_P(BothPrecisions, RecordViewPrecisionTest, ::testing::Values(kF32, kF64));

TEST_P(RecordViewPrecisionTest, MaterializeRoundTripsEveryFieldBitExactly) {
    const atom::Molecule original = full_molecule(GetParam());
    const Bytes record = record_of(original);
    const SoaMoleculeView view = view_of(record, context_of(GetParam()));

    auto molecule = view.materialize();
    ASSERT_TRUE(molecule.ok()) << molecule.error();
    // The writer is deterministic, so equal records mean equal fields, bit for bit.
    EXPECT_EQ(raw(record_of(molecule.value())), raw(record));
    EXPECT_EQ(molecule->positions.index(), size_t{GetParam()});
    EXPECT_EQ(molecule->energy->index(), size_t{GetParam()});
    EXPECT_EQ(molecule->cell->index(), size_t{GetParam()});
    EXPECT_EQ(molecule->atom_properties.size(), 11u);
    EXPECT_EQ(molecule->properties.size(), 11u);
}

TEST_P(RecordViewPrecisionTest, FieldReadersBorrowTheStoredBytes) {
    const bool f64 = GetParam() == kF64;
    const ElemType real = f64 ? ElemType::kF64 : ElemType::kF32;
    const atom::Molecule m = full_molecule(GetParam());
    const SoaMoleculeView view = view_of(record_of(m), context_of(GetParam()));
    auto vec3 = [](const types::Vec3Data& d) {
        return std::visit([](const auto& v) { return raw_of(v); }, d);
    };

    auto positions = view.positions_field();
    ASSERT_TRUE(positions.ok());
    EXPECT_EQ(raw(positions->bytes), vec3(m.positions));
    EXPECT_EQ(positions->elem, real);
    EXPECT_EQ(positions->ndim, 2u);
    EXPECT_EQ(positions->shape, (std::array<size_t, 2>{3, 3}));
    EXPECT_EQ(raw(view.atomic_numbers()), m.atomic_numbers);

    struct Vec3Case {
        BuiltinField field;
        const types::Vec3Data& data;
    };
    for (const Vec3Case& c : {Vec3Case{BuiltinField::kForces, *m.forces},
                              Vec3Case{BuiltinField::kVelocities, *m.velocities}}) {
        auto field = view.vec3_slot_field(*view.slot(c.field), builtin_key(c.field));
        ASSERT_TRUE(field.ok()) << field.error();
        EXPECT_EQ(raw(field->bytes), vec3(c.data));
        EXPECT_EQ(field->elem, real);
    }
    auto charges = view.float_array_slot_field(*view.slot(BuiltinField::kCharges), "charges");
    ASSERT_TRUE(charges.ok());
    EXPECT_EQ(raw(charges->bytes), std::visit([](const auto& v) { return raw_of(v); }, *m.charges));
    EXPECT_EQ(charges->ndim, 1u);
    EXPECT_EQ(charges->shape[0], 3u);
    auto cell = view.mat3_slot_field(*view.slot(BuiltinField::kCell), "cell");
    ASSERT_TRUE(cell.ok());
    EXPECT_EQ(raw(cell->bytes), std::visit([](const auto& v) { return raw_of(v); }, *m.cell));
    EXPECT_EQ(cell->shape, (std::array<size_t, 2>{3, 3}));

    auto energy = view.energy();
    ASSERT_TRUE(energy.ok());
    const double expected_energy = std::visit([](auto e) { return double(e); }, *m.energy);
    EXPECT_EQ(std::bit_cast<uint64_t>(**energy), std::bit_cast<uint64_t>(expected_energy));
    EXPECT_EQ(*view.pbc().value(), (std::array<bool, 3>{true, false, true}));

    auto atom = view.atom_at(1);
    ASSERT_TRUE(atom.ok());
    EXPECT_EQ(**atom, *m.atom(1));
    EXPECT_FALSE(view.atom_at(3).value().has_value());
}

TEST(RecordViewTest, PropertySectionFieldsFollowTheirTags) {
    const atom::Molecule m = full_molecule(kF32);
    const SoaMoleculeView view = view_of(record_of(m));
    auto get = [&](std::string_view key) {
        auto section = view.find_section(storage::dtypes::kKindMolProperty, key);
        EXPECT_TRUE(section.ok() && section.value() != nullptr) << key;
        auto field = view.property_section_field(*section.value());
        EXPECT_TRUE(field.ok()) << field.error();
        return std::move(field).value();
    };
    EXPECT_TRUE(std::holds_alternative<std::monostate>(get("null")));
    EXPECT_EQ(std::bit_cast<uint64_t>(std::get<double>(get("float"))),
              std::bit_cast<uint64_t>(testing::nan_f64()));
    EXPECT_EQ(std::get<int64_t>(get("int")), -7);
    EXPECT_EQ(std::get<std::string_view>(get("string")), "héllo");
    EXPECT_EQ(std::get<std::string_view>(get("string_empty")), "");

    struct ArrayCase {
        std::string_view key;
        ElemType elem;
        size_t ndim;
        std::array<size_t, 2> shape;
    };
    for (const ArrayCase& c : {ArrayCase{"float_array", ElemType::kF64, 1, {3, 0}},
                               ArrayCase{"vec3", ElemType::kF32, 2, {3, 3}},
                               ArrayCase{"int_array", ElemType::kI64, 1, {3, 0}},
                               ArrayCase{"float32_array", ElemType::kF32, 1, {3, 0}},
                               ArrayCase{"vec3_f64", ElemType::kF64, 2, {3, 3}},
                               ArrayCase{"int32_array", ElemType::kI32, 1, {3, 0}}}) {
        const ArrayField field = std::get<ArrayField>(get(c.key));
        EXPECT_EQ(field.elem, c.elem) << c.key;
        EXPECT_EQ(field.ndim, c.ndim) << c.key;
        EXPECT_EQ(field.shape, c.shape) << c.key;
        const auto bytes =
            storage::dtypes::property_value_to_bytes(m.properties.at(std::string(c.key)));
        EXPECT_EQ(raw(field.bytes), raw(bytes)) << c.key;
    }
    EXPECT_EQ(view.find_section(storage::dtypes::kKindMolProperty, "missing").value(), nullptr);
    auto keys = view.section_keys(storage::dtypes::kKindMolProperty);
    ASSERT_TRUE(keys.ok());
    EXPECT_EQ(keys->size(), 11u);
    EXPECT_EQ(keys->front(), "float");  // record order is key order
}

TEST(RecordViewTest, StructuralFailuresNameWhatIsMissing) {
    // n_atoms 3 at 12 bytes per atom needs 45 bytes before the sections.
    const std::vector<uint8_t> three_atoms = RecordBuilder(3, 12, 0).raw();
    const std::vector<uint8_t> one_section = RecordBuilder(0, 12, 1).raw();
    const std::vector<uint8_t> keyed =
        RecordBuilder(0, 12, 1).section(2, "abc", 0, le_bytes<double>({1})).raw();
    const std::vector<uint8_t> huge_atoms = testing::max_atoms_record();
    const testing::RefusalCase cases[] = {
        {cut(three_atoms, 5), 12, "SOA record too small"},
        {cut(three_atoms, 39), 12, "SOA record truncated at positions"},
        {cut(three_atoms, 40), 12, "SOA record truncated at atomic_numbers"},
        {cut(three_atoms, 44), 12, "SOA record truncated at atomic_numbers"},
        {huge_atoms, SIZE_MAX, "SOA positions overflow"},
        {huge_atoms, 12, "SOA record truncated at positions"},
        {one_section, 12, "SOA section header truncated"},
        {cut(keyed, 6 + 2 + 2), 12, "SOA section key truncated"},
        {cut(keyed, 6 + 2 + 3 + 4), 12, "SOA section header truncated"},
        {cut(keyed, keyed.size() - 1), 12, "SOA section payload truncated"},
    };
    for (const testing::RefusalCase& c : cases) {
        auto view =
            SoaMoleculeView::from_bytes(Bytes(c.bytes.begin(), c.bytes.end()), c.bytes_per_atom, 4);
        ASSERT_FALSE(view.ok()) << c.message;
        EXPECT_EQ(view.error().display(), "Invalid data: " + c.message);
    }
}

TEST(RecordViewTest, StructureIsTakenAsDeclared) {
    // Six bytes: an empty view.
    const SoaMoleculeView empty = view_of(RecordBuilder(0, 12, 0).build());
    EXPECT_EQ(empty.n_atoms(), 0u);
    EXPECT_TRUE(empty.sections().empty());
    EXPECT_FALSE(empty.has(BuiltinField::kEnergy));

    // Trailing bytes are ignored; of two energies the last wins; a key that differs in case, a
    // built-in key of another kind and an unknown kind are listed; a bad key parses.
    RecordBuilder builder(1, 12, 6);
    builder.section(0, "energy", 0, le_bytes<double>({1.0}))
        .section(0, "energy", 11, le_bytes<float>({2.0f}))
        .section(0, "Energy", 0, le_bytes<double>({3.0}))
        .section(2, "energy", 0, le_bytes<double>({4.0}))
        .section(7, "odd", 200, {1, 2})
        .section(2, "\xff", 1, le_bytes<int64_t>({5}))
        .put<uint8_t>(0xee);
    const SoaMoleculeView view = view_of(builder.build());
    EXPECT_EQ(view.energy().value(), 2.0);
    ASSERT_EQ(view.sections().size(), 4u);
    EXPECT_EQ(view.lazy_section_key(view.sections()[0]).value(), "Energy");
    EXPECT_EQ(view.sections()[2].kind, 7);
    EXPECT_EQ(view.lazy_section_key(view.sections()[3]).error(), "Invalid UTF-8 in section key");
    // A lookup of an earlier key still works; one that meets the bad key first fails.
    EXPECT_NE(view.find_section(2, "energy").value(), nullptr);
    EXPECT_EQ(view.find_section(2, "x").error(), "Invalid UTF-8 in section key");
    EXPECT_EQ(view.section_keys(2).error(), "Invalid UTF-8 in section key");
    EXPECT_EQ(view.materialize().error(), "Invalid UTF-8 in section key");
}

// One kind-0 or custom section on a one-atom record, read by one reader.
struct ReaderCase {
    const char* what;
    uint8_t kind;
    std::string key;
    uint8_t tag;
    std::vector<uint8_t> payload;
    std::string message;
};

std::string read_with(const SoaMoleculeView& view, const ReaderCase& c) {
    const std::string_view what = c.what;
    auto message = [](const auto& result) { return result.ok() ? "<ok>" : result.error(); };
    if (what == "energy") return message(view.energy());
    if (what == "pbc") return message(view.pbc());
    if (what == "materialize") return message(view.materialize());
    if (what == "schema") return message(view.database_schema());
    if (what == "property") return message(view.property_section_field(view.sections().at(0)));
    std::optional<BuiltinSlot> slot;
    for (size_t f = 0; f < kBuiltinFieldCount; ++f) {
        if (builtin_key(static_cast<BuiltinField>(f)) == c.key) {
            slot = view.slot(static_cast<BuiltinField>(f));
        }
    }
    if (!slot) return "<no slot>";
    if (what == "vec3") return message(view.vec3_slot_field(*slot, c.key));
    if (what == "charges") return message(view.float_array_slot_field(*slot, c.key));
    return message(view.mat3_slot_field(*slot, c.key));
}

TEST(RecordViewTest, ReadersRefuseBadPayloadsWithTheirMessages) {
    const ReaderCase cases[] = {
        {"energy", 0, "energy", 11, le_bytes<float>({1.5f}), "<ok>"},
        {"energy", 0, "energy", 0, le_bytes<float>({1.5f}), "Invalid f64 payload length"},
        {"energy", 0, "energy", 11, le_bytes<double>({1.5}), "Invalid f32 payload length"},
        {"energy", 0, "energy", 3, {}, "Unsupported energy type tag 3"},
        {"pbc", 0, "pbc", 9, {0, 2}, "Invalid pbc payload length"},
        {"vec3", 0, "forces", 4, std::vector<uint8_t>(24), "Invalid forces section"},
        {"vec3", 0, "forces", 3, std::vector<uint8_t>(12), "Invalid forces section"},
        {"charges", 0, "charges", 6, std::vector<uint8_t>(8), "Invalid charges section"},
        {"mat3", 0, "cell", 12, std::vector<uint8_t>(72), "Invalid cell section"},
        {"mat3", 0, "cell", 10, std::vector<uint8_t>(72), "<ok>"},
        {"property", 2, "p", 0, {1}, "Invalid f64 payload length"},
        {"property", 2, "p", 1, {1}, "Invalid i64 payload length"},
        {"property", 2, "p", 2, {0xc3}, "Invalid UTF-8 in string property"},
        {"property", 2, "p", 3, std::vector<uint8_t>(12),
         "Byte length 12 is not a multiple of element size 8"},
        {"property", 2, "p", 4, std::vector<uint8_t>(13), "Invalid vec3<f32> payload length"},
        {"property", 2, "p", 4, {}, "<ok>"},
        {"property", 1, "p", 6, std::vector<uint8_t>(6),
         "Byte length 6 is not a multiple of element size 4"},
        {"property", 2, "p", 7, std::vector<uint8_t>(12), "Invalid vec3<f64> payload length"},
        {"property", 2, "p", 13, {0}, "Null property payload must be empty"},
        {"property", 2, "p", 9, {}, "Unsupported property type tag 9"},
        {"property", 2, "p", 255, {}, "Unsupported property type tag 255"},
        {"materialize", 0, "cell", 10, std::vector<uint8_t>(71),
         "Invalid mat3x3<f64> payload length"},
        {"materialize", 0, "stress", 12, std::vector<uint8_t>(35),
         "Invalid mat3x3<f32> payload length"},
        {"materialize", 0, "cell", 4, {}, "Unsupported cell type tag 4"},
        {"materialize", 0, "forces", 4, std::vector<uint8_t>(13),
         "Invalid vec3<f32> payload length"},
        {"materialize", 0, "velocities", 7, std::vector<uint8_t>(12),
         "Invalid vec3<f64> payload length"},
        {"materialize", 0, "velocities", 3, {}, "Unsupported velocities type tag 3"},
        {"materialize", 0, "forces", 4, std::vector<uint8_t>(24), "<ok>"},  // counts unchecked
        {"materialize", 0, "charges", 3, std::vector<uint8_t>(4),
         "Invalid f64 array payload length"},
        {"materialize", 0, "charges", 6, std::vector<uint8_t>(3),
         "Invalid f32 array payload length"},
        {"materialize", 0, "charges", 0, {}, "Unsupported charges type tag 0"},
        {"materialize", 0, "energy", 12, {}, "Unsupported energy type tag 12"},
        {"materialize", 0, "name", 2, {0xff}, "Invalid UTF-8 in name"},
        {"materialize", 0, "pbc", 9, {1}, "Invalid pbc payload length"},
        {"materialize", 0, "unknown", 200, {1}, "<ok>"},  // dropped
        {"materialize", 1, "p", 5, std::vector<uint8_t>(7), "Invalid i64 array payload length"},
        {"materialize", 2, "p", 8, std::vector<uint8_t>(7), "Invalid i32 array payload length"},
        {"materialize", 2, "p", 13, {1}, "Null property payload must be empty"},
        {"materialize", 2, "p", 11, {}, "Unsupported property type tag 11"},
        {"schema", 2, "p", 20, {}, "Unsupported section type tag 20 for 'p'"},
        {"schema", 1, "p", 3, std::vector<uint8_t>(16),
         "Section 'p' has invalid payload length 16 (expected 8)"},
    };
    for (const ReaderCase& c : cases) {
        const SoaMoleculeView view =
            view_of(RecordBuilder(1, 12, 1).section(c.kind, c.key, c.tag, c.payload).build());
        EXPECT_EQ(read_with(view, c), c.message) << c.what << " " << c.key << " tag " << int(c.tag);
    }
}

TEST(RecordViewTest, RepeatedCustomKeysKeepTheLastValuePerKind) {
    RecordBuilder builder(0, 12, 3);
    builder.section(2, "k", 1, le_bytes<int64_t>({1}))
        .section(2, "k", 1, le_bytes<int64_t>({2}))
        .section(1, "k", 1, le_bytes<int64_t>({3}));
    auto m = view_of(builder.build()).materialize();
    ASSERT_TRUE(m.ok());
    EXPECT_EQ(std::get<int64_t>(m->properties.at("k")), 2);
    EXPECT_EQ(std::get<int64_t>(m->atom_properties.at("k")), 3);
}

TEST(RecordViewTest, SameSchemaComparesLayoutNotValues) {
    atom::Molecule a = full_molecule(kF32);
    atom::Molecule b = full_molecule(kF32);
    b.properties["int"] = types::PropertyValue(int64_t{99});
    const SoaMoleculeView va = view_of(record_of(a));
    EXPECT_TRUE(va.same_schema_as(view_of(record_of(b))).value());

    // Another atom count moves every built-in section.
    auto small = atom::Molecule::create({{1, 2, 3}}, {1}).value();
    auto bigger = atom::Molecule::create({{1, 2, 3}, {4, 5, 6}}, {1, 2}).value();
    small.energy = bigger.energy = types::FloatScalarData(1.0);
    EXPECT_FALSE(view_of(record_of(small)).same_schema_as(view_of(record_of(bigger))).value());
    // Other keys of the same length, then a bad key.
    const auto one = [](std::string_view key) {
        return view_of(RecordBuilder(0, 12, 1).section(2, key, 1, le_bytes<int64_t>({1})).build());
    };
    EXPECT_FALSE(one("a").same_schema_as(one("b")).value());
    EXPECT_EQ(one("a").same_schema_as(one("\xfe")).error(), "Invalid UTF-8 in section key");
    EXPECT_FALSE(va.same_schema_as(view_of(record_of(full_molecule(kF64)), {24, 7})).value());
}

TEST(RecordViewTest, DatabaseSchemaListsBuiltinsThenSections) {
    auto m = atom::Molecule::create({{1, 2, 3}}, {1}).value();
    m.forces = types::Vec3Data(std::vector<types::Vec3f>{{1, 2, 3}});
    m.energy = types::FloatScalarData(1.0);
    m.properties["q"] = types::PropertyValue(std::vector<double>{1, 2, 3, 4, 5});
    auto schema = view_of(record_of(m)).database_schema();
    ASSERT_TRUE(schema.ok()) << schema.error();
    const std::vector<storage::DatabaseSchemaSection> expected = {
        {0, "energy", 0, false, 8, 8},
        {0, "forces", 4, true, 12, 12},
        {2, "q", 3, false, 8, 40},
    };
    EXPECT_EQ(schema->sections, expected);
    EXPECT_EQ(schema->positions_type, 4);
}

TEST(RecordViewTest, ContextFollowsRecordFormatAndPositionsType) {
    struct Case {
        uint32_t format;
        std::optional<uint8_t> positions;
        std::string outcome;
    };
    const Case cases[] = {
        {2, std::nullopt, "12/4"},
        {2, 7, "12/4"},
        {3, 4, "12/4"},
        {3, 7, "24/7"},
        {3, std::nullopt, "Invalid data: Missing positions dtype for record format 3"},
        {3, 5, "Invalid data: Unsupported positions type tag 5"},
        {4, 4, "Invalid data: Unsupported record format 4"},
    };
    for (const Case& c : cases) {
        auto ctx = SoaContext::from_record_format(c.format, c.positions);
        const std::string outcome = ctx.ok() ? std::to_string(ctx->bytes_per_atom) + "/" +
                                                   std::to_string(ctx->positions_type_tag)
                                             : ctx.error().display();
        EXPECT_EQ(outcome, c.outcome) << c.format;
    }
}

TEST(RecordViewTest, MismatchedStrideAndTagAreRefusedNotOverread) {
    // A stride of 12 with the tag of double-precision triples.
    const SoaMoleculeView view = view_of(RecordBuilder(2, 12, 0).build(), {12, 7});
    EXPECT_EQ(view.atom_at(1).error(), "Invalid positions section");
    EXPECT_EQ(view.positions_field().error(), "Invalid positions section");
    EXPECT_EQ(view.materialize().error(), "Invalid positions section");
    const SoaMoleculeView odd = view_of(RecordBuilder(1, 12, 0).build(), {12, 5});
    EXPECT_EQ(odd.atom_at(0).error(), "Unsupported positions type tag 5");
    EXPECT_EQ(odd.materialize().error(), "Unsupported positions type tag 5");
}

TEST(RecordViewTest, ViewsFromBuffersStopAtTheFirstFailure) {
    std::vector<Bytes> buffers;
    buffers.push_back(RecordBuilder(0, 12, 0).build());
    buffers.push_back(RecordBuilder(0, 12, 1).build());
    buffers.push_back(Bytes(2));
    auto views = views_from_buffers(std::move(buffers), SoaContext{});
    ASSERT_FALSE(views.ok());
    EXPECT_EQ(views.error().message(), "SOA section header truncated");
}

// Every reader on a view over any bytes: a clean result or a clean error, never a crash.
void read_everything(std::span<const uint8_t> bytes, const SoaContext& ctx) {
    auto view = SoaMoleculeView::from_bytes(Bytes(bytes.begin(), bytes.end()), ctx);
    if (view.ok()) {
        (void)view->materialize();
        (void)view->database_schema();
        (void)view->energy();
        (void)view->pbc();
        (void)view->positions_field();
        for (size_t i = 0; i < std::min<size_t>(view->n_atoms(), 4); ++i) (void)view->atom_at(i);
        for (size_t f = 0; f < kBuiltinFieldCount; ++f) {
            const auto& slot = view->slot(static_cast<BuiltinField>(f));
            if (!slot) continue;
            (void)view->vec3_slot_field(*slot, "x");
            (void)view->float_array_slot_field(*slot, "x");
            (void)view->mat3_slot_field(*slot, "x");
        }
        for (const LazySection& s : view->sections()) (void)view->property_section_field(s);
        (void)view->same_schema_as(*view);
    }
    auto parsed = parse_mol_fast_soa(bytes, ctx.bytes_per_atom);
    if (parsed.ok()) {
        for (const SoaSectionRef& s : parsed->sections) {
            (void)section_schema_from_ref(s, parsed->n_atoms);
        }
    }
}

TEST_P(RecordViewPrecisionTest, EveryPrefixAndRandomByteFlipsFailCleanly) {
    const SoaContext ctx = context_of(GetParam());
    const Bytes record = record_of(full_molecule(GetParam()));
    for (size_t n = 0; n < record.size(); ++n) {
        auto view = SoaMoleculeView::from_bytes(Bytes(record.begin(), record.begin() + n), ctx);
        EXPECT_FALSE(view.ok()) << "prefix " << n;
        EXPECT_FALSE(parse_mol_fast_soa(std::span(record).first(n), ctx.bytes_per_atom).ok());
        read_everything(std::span(record).first(n), ctx);
    }
    std::mt19937 rng(1234);
    std::vector<uint8_t> bytes(record.begin(), record.end());
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> flipped = bytes;
        const int flips = 1 + static_cast<int>(rng() % 4);
        for (int i = 0; i < flips; ++i) flipped[rng() % flipped.size()] ^= uint8_t(1 + rng() % 255);
        read_everything(flipped, ctx);
    }
}

TEST(RecordViewTest, SharedViewOutlivesItsDatabaseAndAReplacedFile) {
    platform::testing::ScratchDir dir;
    const std::string path = dir.file("db.kst");
    // Per-atom values must be one per atom to be appended.
    atom::Molecule m = full_molecule(kF64);
    for (const char* key : {"null", "float", "int", "string", "string_empty"}) {
        m.atom_properties.erase(key);
    }
    {
        auto db = storage::AtomDatabase::create_with_format(path, 0, 0);
        ASSERT_TRUE(db.ok());
        auto added = db->add_molecule(m);
        ASSERT_TRUE(added.ok()) << added.error().display();
        ASSERT_TRUE(db->flush().ok());
    }
    std::optional<SoaMoleculeView> view;
    {
        auto db = storage::AtomDatabase::open_with_options(path, true, false);
        ASSERT_TRUE(db.ok());
        auto ctx = SoaContext::from_database(db.value());
        ASSERT_TRUE(ctx.ok());
        EXPECT_EQ(ctx.value(), (SoaContext{24, 7}));
        auto shared = db->get_shared_mmap_bytes(0);
        ASSERT_TRUE(shared.has_value());
        auto made = SoaMoleculeView::from_shared(std::move(*shared), ctx.value());
        ASSERT_TRUE(made.ok());
        view.emplace(std::move(made).value());
    }
    ASSERT_TRUE(platform::remove_file_for_replacement(path).ok());
    ASSERT_TRUE(storage::AtomDatabase::create_with_format(path, 0, 0).ok());
    EXPECT_TRUE(view->is_shared());
    auto molecule = view->materialize();
    ASSERT_TRUE(molecule.ok());
    EXPECT_EQ(raw(record_of(molecule.value())), raw(record_of(m)));
}

}  // namespace
}  // namespace kestrove::view
