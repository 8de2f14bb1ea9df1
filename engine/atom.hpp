// The owned in-memory molecule and the plain atom value.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/error.hpp"
#include "engine/types.hpp"

namespace kestrove::atom {

// String hash seeded per map from the platform's random source, so that the iteration order of a
// property map is not defined and differs between runs. Nothing stored depends on that order.
class SeededStringHash {
public:
    using is_transparent = void;
    SeededStringHash();
    size_t operator()(std::string_view key) const;

private:
    uint64_t seed_;
};

struct StringEq {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return a == b; }
};

using PropertyMap =
    std::unordered_map<std::string, types::PropertyValue, SeededStringHash, StringEq>;

struct Atom {
    std::array<float, 3> position;
    uint8_t atomic_number;

    bool operator==(const Atom&) const = default;
};

// One atomistic structure. Fields are in the order of the compact serialised form.
//
// Invariant set by the constructors: `atomic_numbers` has as many entries as `positions`. The
// per-atom fields are meant to hold as many entries too; whoever sets them checks them.
struct Molecule {
    std::optional<std::string> name;
    types::Vec3Data positions;
    std::vector<uint8_t> atomic_numbers;
    std::optional<types::Vec3Data> forces;
    std::optional<types::FloatScalarData> energy;
    std::optional<types::FloatArrayData> charges;
    std::optional<types::Vec3Data> velocities;
    std::optional<types::Mat3Data> cell;
    std::optional<std::array<bool, 3>> pbc;
    std::optional<types::Mat3Data> stress;
    PropertyMap atom_properties;
    PropertyMap properties;

    // Single-precision positions, no name. Fails with a plain message when the two lengths differ.
    static Result<Molecule, std::string> create(std::vector<types::Vec3f> positions,
                                                std::vector<uint8_t> atomic_numbers);
    // Double-precision positions, no name.
    static Result<Molecule, std::string> create_f64(std::vector<types::Vec3d> positions,
                                                    std::vector<uint8_t> atomic_numbers);
    static Result<Molecule, std::string> with_name_internal(std::optional<std::string> name,
                                                            types::Vec3Data positions,
                                                            std::vector<uint8_t> atomic_numbers);

    // Atom `index` with its position narrowed to single precision, or nothing when out of range.
    std::optional<Atom> atom(size_t index) const;
    std::vector<Atom> to_atoms() const;

    size_t num_positions() const { return types::data_len(positions); }
};

// "Atomic numbers length ({}) doesn't match atom count ({})".
std::string atom_count_mismatch_message(size_t atomic_numbers, size_t atoms);

}  // namespace kestrove::atom
