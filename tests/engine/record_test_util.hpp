// Helpers shared by the record reader tests: hand-made records and a molecule with every field.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "engine/atom.hpp"
#include "engine/coding.hpp"
#include "engine/storage/soa.hpp"

namespace kestrove::view::testing {

// Lays down a record byte by byte, so that tests can declare anything, also what no writer would.
class RecordBuilder {
public:
    // A head of `n_atoms` atoms with `bytes_per_atom` bytes of positions each (filled with 0x11)
    // and atomic numbers 1, 2, 3, ...; then the section count.
    RecordBuilder(uint32_t n_atoms, size_t bytes_per_atom, uint16_t n_sections) {
        put(n_atoms);
        bytes_.insert(bytes_.end(), n_atoms * bytes_per_atom, 0x11);
        for (uint32_t i = 0; i < n_atoms; ++i) bytes_.push_back(static_cast<uint8_t>(i + 1));
        put(n_sections);
    }
    RecordBuilder& section(uint8_t kind, std::string_view key, uint8_t tag,
                           std::vector<uint8_t> payload) {
        bytes_.push_back(kind);
        bytes_.push_back(static_cast<uint8_t>(key.size()));
        bytes_.insert(bytes_.end(), key.begin(), key.end());
        bytes_.push_back(tag);
        put(static_cast<uint32_t>(payload.size()));
        bytes_.insert(bytes_.end(), payload.begin(), payload.end());
        return *this;
    }
    template <class T>
    RecordBuilder& put(T value) {
        uint8_t raw[sizeof value];
        std::memcpy(raw, &value, sizeof value);
        bytes_.insert(bytes_.end(), raw, raw + sizeof value);
        return *this;
    }
    Bytes build() const { return Bytes(bytes_.begin(), bytes_.end()); }
    const std::vector<uint8_t>& raw() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

// The first `n` bytes of `bytes`.
inline std::vector<uint8_t> cut(const std::vector<uint8_t>& bytes, size_t n) {
    return std::vector<uint8_t>(bytes.begin(), bytes.begin() + n);
}

// A section-less record of no bytes of atoms whose atom count reads 2^32 - 1, so that the blocks
// it declares overflow or overrun.
inline std::vector<uint8_t> max_atoms_record() {
    std::vector<uint8_t> bytes = RecordBuilder(0, 12, 0).raw();
    bytes[0] = bytes[1] = bytes[2] = bytes[3] = 0xff;
    return bytes;
}

// Bytes that a reader must refuse with "Invalid data: " + `message`.
struct RefusalCase {
    std::vector<uint8_t> bytes;
    size_t bytes_per_atom;
    std::string message;
};

template <class T>
std::vector<uint8_t> le_bytes(std::initializer_list<T> values) {
    std::vector<uint8_t> out(values.size() * sizeof(T));
    size_t at = 0;
    for (T v : values) {
        std::memcpy(out.data() + at, &v, sizeof v);
        at += sizeof v;
    }
    return out;
}

// A NaN with a payload of its own, to see it survive bit for bit.
inline double nan_f64() { return std::bit_cast<double>(uint64_t{0x7ff8'dead'beef'0001}); }
inline float nan_f32() { return std::bit_cast<float>(uint32_t{0x7fc0'1234}); }

// Three atoms with every built-in field in `precision` and one custom property of every variant
// on each map, holding NaN payloads and negative zeros.
inline atom::Molecule full_molecule(types::Precision precision) {
    using namespace types;
    const bool f64 = precision == kF64;
    const std::vector<uint8_t> numbers{1, 8, 118};
    auto molecule = f64 ? atom::Molecule::create_f64(
                              {{-0.0, 1.5, nan_f64()}, {2, 3, 4}, {5e-310, -1, 7}}, numbers)
                        : atom::Molecule::create(
                              {{-0.0f, 1.5f, nan_f32()}, {2, 3, 4}, {1e-40f, -1, 7}}, numbers);
    atom::Molecule m = std::move(molecule).value();
    if (f64) {
        m.forces = Vec3Data(std::vector<Vec3d>{{0.1, -0.0, 0.3}, {nan_f64(), 1, 2}, {3, 4, 5}});
        m.velocities = Vec3Data(std::vector<Vec3d>{{9, 8, 7}, {6, 5, 4}, {3, 2, -0.0}});
        m.energy = FloatScalarData(-0.0);
        m.charges = FloatArrayData(std::vector<double>{0.5, nan_f64(), -0.0});
        m.cell = Mat3Data(Mat3d{10, 0, 0, 0, 11, 0, 0, 0, -0.0});
        m.stress = Mat3Data(Mat3d{1, 2, 3, 4, 5, 6, 7, 8, nan_f64()});
    } else {
        m.forces = Vec3Data(std::vector<Vec3f>{{0.1f, -0.0f, 0.3f}, {nan_f32(), 1, 2}, {3, 4, 5}});
        m.velocities = Vec3Data(std::vector<Vec3f>{{9, 8, 7}, {6, 5, 4}, {3, 2, -0.0f}});
        m.energy = FloatScalarData(nan_f32());
        m.charges = FloatArrayData(std::vector<float>{0.5f, nan_f32(), -0.0f});
        m.cell = Mat3Data(Mat3f{10, 0, 0, 0, 11, 0, 0, 0, -0.0f});
        m.stress = Mat3Data(Mat3f{1, 2, 3, 4, 5, 6, 7, 8, nan_f32()});
    }
    m.name = "wäter";
    m.pbc = std::array<bool, 3>{true, false, true};
    for (atom::PropertyMap* map : {&m.atom_properties, &m.properties}) {
        (*map)["null"] = PropertyValue();
        (*map)["float"] = PropertyValue(nan_f64());
        (*map)["int"] = PropertyValue(int64_t{-7});
        (*map)["string"] = PropertyValue(std::string("héllo"));
        (*map)["string_empty"] = PropertyValue(std::string());
        (*map)["float_array"] = PropertyValue(std::vector<double>{-0.0, 1, nan_f64()});
        (*map)["vec3"] = PropertyValue(std::vector<Vec3f>{{1, 2, 3}, {4, 5, -0.0f}, {7, 8, 9}});
        (*map)["int_array"] = PropertyValue(std::vector<int64_t>{1, -2, INT64_MIN});
        (*map)["float32_array"] = PropertyValue(std::vector<float>{nan_f32(), -0.0f, 1});
        (*map)["vec3_f64"] = PropertyValue(std::vector<Vec3d>{{1, 2, 3}, {4, 5, 6}, {7, 8, 9}});
        (*map)["int32_array"] = PropertyValue(std::vector<int32_t>{INT32_MIN, 0, 1});
    }
    return m;
}

}  // namespace kestrove::view::testing
