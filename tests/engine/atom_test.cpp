// Tests of the owned molecule, its atom view and the engine's error type.
#include "engine/atom.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "base/error.hpp"

namespace kestrove::atom {
namespace {

using types::Vec3d;
using types::Vec3f;

TEST(ErrorTest, DisplayPrefixesTheKind) {
    const struct {
        Error error;
        Error::Kind kind;
        const char* display;
    } cases[] = {
        {Error::io("No such file or directory (os error 2)"), Error::Kind::Io,
         "IO error: No such file or directory (os error 2)"},
        {Error::compression("Zstd decompression failed: Unknown frame descriptor"),
         Error::Kind::Compression,
         "Compression error: Zstd decompression failed: Unknown frame descriptor"},
        {Error::invalid_data("Index too small"), Error::Kind::InvalidData,
         "Invalid data: Index too small"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error.kind(), c.kind);
        EXPECT_EQ(c.error.display(), c.display);
    }
    // A message may hold NUL bytes (keys can); display keeps them.
    const std::string with_nul("key\0x", 5);
    EXPECT_EQ(Error::invalid_data(with_nul).display(), "Invalid data: " + with_nul);
}

TEST(MoleculeTest, ConstructorsSetOnlyPositionsAndAtomicNumbers) {
    auto single = Molecule::create({{1, 2, 3}, {4, 5, 6}}, {1, 8});
    auto dual = Molecule::create_f64({{1, 2, 3}, {4, 5, 6}}, {1, 8});
    auto named = Molecule::with_name_internal("water", std::vector<Vec3f>{{0, 0, 0}}, {8});
    ASSERT_TRUE(single.ok());
    ASSERT_TRUE(dual.ok());
    ASSERT_TRUE(named.ok());

    EXPECT_EQ(single->positions.index(), types::kF32);
    EXPECT_EQ(dual->positions.index(), types::kF64);
    EXPECT_EQ(std::get<types::kF64>(dual->positions)[1], (Vec3d{4, 5, 6}));
    EXPECT_EQ(named->name, "water");

    for (const Molecule* m : {&*single, &*dual}) {
        EXPECT_FALSE(m->name.has_value());
        EXPECT_EQ(m->atomic_numbers, (std::vector<uint8_t>{1, 8}));
        EXPECT_FALSE(m->forces || m->energy || m->charges || m->velocities || m->cell || m->pbc ||
                     m->stress);
        EXPECT_TRUE(m->atom_properties.empty());
        EXPECT_TRUE(m->properties.empty());
    }
}

TEST(MoleculeTest, LengthMismatchIsRefusedWithAtomicNumberCountFirst) {
    auto single = Molecule::create({{0, 0, 0}, {1, 1, 1}, {2, 2, 2}}, {1, 1});
    ASSERT_FALSE(single.ok());
    EXPECT_EQ(single.error(), "Atomic numbers length (2) doesn't match atom count (3)");

    auto dual = Molecule::create_f64({{0, 0, 0}}, {1, 6, 8});
    ASSERT_FALSE(dual.ok());
    EXPECT_EQ(dual.error(), "Atomic numbers length (3) doesn't match atom count (1)");

    auto named = Molecule::with_name_internal("x", std::vector<Vec3d>{}, {1});
    ASSERT_FALSE(named.ok());
    EXPECT_EQ(named.error(), "Atomic numbers length (1) doesn't match atom count (0)");
}

TEST(MoleculeTest, AtomIndexBeyondLastIsAbsent) {
    auto molecule = Molecule::create({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}, {1, 6, 8});
    ASSERT_TRUE(molecule.ok());
    ASSERT_TRUE(molecule->atom(2).has_value());
    EXPECT_EQ(*molecule->atom(2), (Atom{{7, 8, 9}, 8}));
    EXPECT_FALSE(molecule->atom(3).has_value());
    EXPECT_FALSE(molecule->atom(std::numeric_limits<size_t>::max()).has_value());
    EXPECT_EQ(molecule->to_atoms(),
              (std::vector<Atom>{{{1, 2, 3}, 1}, {{4, 5, 6}, 6}, {{7, 8, 9}, 8}}));

    auto empty = Molecule::create({}, {});
    ASSERT_TRUE(empty.ok());
    EXPECT_EQ(empty->num_positions(), 0u);
    EXPECT_TRUE(empty->to_atoms().empty());
    EXPECT_FALSE(empty->atom(0).has_value());
}

// A molecule that bypassed the constructors (the compact form's decoder does not check the
// lengths) yields atoms only where both lists have an entry.
TEST(MoleculeTest, UnequalListsYieldAtomsOnlyWhereBothHaveEntries) {
    Molecule more_numbers;
    more_numbers.positions = std::vector<Vec3f>{{1, 1, 1}};
    more_numbers.atomic_numbers = {3, 4, 5};
    EXPECT_EQ(more_numbers.to_atoms(), (std::vector<Atom>{{{1, 1, 1}, 3}}));
    EXPECT_FALSE(more_numbers.atom(1).has_value());

    Molecule more_positions;
    more_positions.positions = std::vector<Vec3d>{{1, 1, 1}, {2, 2, 2}};
    more_positions.atomic_numbers = {7};
    EXPECT_EQ(more_positions.to_atoms(), (std::vector<Atom>{{{1, 1, 1}, 7}}));
    EXPECT_FALSE(more_positions.atom(1).has_value());
}

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

TEST(MoleculeTest, DoublePositionsAreNarrowedByRoundToNearest) {
    const double flt_max = FLT_MAX;
    const double half_ulp_of_max = std::ldexp(1.0, 103);  // FLT_MAX's ulp is 2^104
    const double nan_payload = std::bit_cast<double>(0x7ff8000000000123ull);
    const struct {
        double in;
        float out;
    } cases[] = {
        {0.1, 0.1f},
        {-0.1, -0.1f},
        {1e300, std::numeric_limits<float>::infinity()},
        {-1e300, -std::numeric_limits<float>::infinity()},
        {flt_max + half_ulp_of_max / 2, FLT_MAX},  // rounds down to the largest finite value
        {flt_max + half_ulp_of_max, std::numeric_limits<float>::infinity()},  // tie to even
        {1e-50, 0.0f},
        {-1e-50, -0.0f},
        {1.5e-45, std::numeric_limits<float>::denorm_min()},
        {16777217.0, 16777216.0f},  // 2^24 + 1: tie, to even
        {16777219.0, 16777220.0f},  // 2^24 + 3: tie, to even (upwards)
    };
    for (const auto& c : cases) {
        auto molecule = Molecule::create_f64({{c.in, -c.in, c.in}}, {1});
        ASSERT_TRUE(molecule.ok());
        auto atom = molecule->atom(0);
        ASSERT_TRUE(atom.has_value());
        EXPECT_EQ(bits(atom->position[0]), bits(c.out)) << c.in;
        EXPECT_EQ(bits(atom->position[1]), bits(-c.out)) << c.in;
        EXPECT_EQ(molecule->to_atoms().at(0), *atom) << c.in;
        // The molecule keeps its own double-precision values.
        EXPECT_EQ(std::bit_cast<uint64_t>(std::get<types::kF64>(molecule->positions)[0][0]),
                  std::bit_cast<uint64_t>(c.in));
    }

    auto with_nan = Molecule::create_f64({{nan_payload, 0, 0}}, {1});
    ASSERT_TRUE(with_nan.ok());
    EXPECT_TRUE(std::isnan(with_nan->atom(0)->position[0]));
}

TEST(MoleculeTest, SinglePositionsComeBackBitExact) {
    const float neg_zero = -0.0f;
    const float nan = std::bit_cast<float>(0x7fc00abcu);
    auto molecule = Molecule::create({{neg_zero, nan, 1e-40f}}, {255});
    ASSERT_TRUE(molecule.ok());
    Atom atom = *molecule->atom(0);
    EXPECT_EQ(bits(atom.position[0]), bits(neg_zero));
    EXPECT_EQ(bits(atom.position[1]), bits(nan));
    EXPECT_EQ(bits(atom.position[2]), bits(1e-40f));
    EXPECT_EQ(atom.atomic_number, 255);
}

}  // namespace
}  // namespace kestrove::atom
