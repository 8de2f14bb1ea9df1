// Random molecules with awkward values, and a bit-exact comparison of molecules, for tests.
#pragma once

#include <bit>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "engine/atom.hpp"

namespace kestrove::testing {

using atom::Molecule;
using types::PropertyValue;

enum class Fields { kNone, kAll, kRandom };

// A molecule of up to five atoms with positions of the given precision. kAll: every optional
// field present (in random precisions) and every property variant in both maps; kRandom: each
// field present or absent at random and random variants under keys that may occur in both maps.
// Floats include NaNs with payloads, -0.0, infinities and subnormals.
inline Molecule random_molecule(std::mt19937_64& rng, size_t positions_precision, Fields fields) {
    const size_t n = rng() % 6;
    const float odd_f[] = {-0.0f,
                           std::bit_cast<float>(0x7fa00001u),
                           std::bit_cast<float>(0xffc12345u),
                           std::numeric_limits<float>::infinity(),
                           std::numeric_limits<float>::denorm_min(),
                           0.1f};
    const double odd_d[] = {-0.0,
                            std::bit_cast<double>(0x7ff4000000000001ull),
                            std::bit_cast<double>(0xfff8dead0000beefull),
                            -std::numeric_limits<double>::infinity(),
                            std::numeric_limits<double>::denorm_min(),
                            1e300};
    auto f = [&] { return odd_f[rng() % std::size(odd_f)]; };
    auto d = [&] { return odd_d[rng() % std::size(odd_d)]; };
    auto coin = [&] { return rng() % 2 == 0; };
    auto vec3 = [&](bool single) -> types::Vec3Data {
        if (single) return std::vector<types::Vec3f>(n, {f(), f(), f()});
        return std::vector<types::Vec3d>(n, {d(), d(), d()});
    };
    auto mat3 = [&]() -> types::Mat3Data {
        if (coin()) return types::Mat3f{f(), f(), f(), f(), f(), f(), f(), f(), f()};
        return types::Mat3d{d(), d(), d(), d(), d(), d(), d(), d(), d()};
    };
    auto value = [&](size_t variant) -> PropertyValue {
        const size_t k = rng() % 4;
        switch (variant) {
            case types::kNull:
                return PropertyValue{};
            case types::kFloat:
                return d();
            case types::kInt:
                return static_cast<int64_t>(rng());
            case types::kString:
                return std::string("\xf0\x9f\x98\x80 ").append(k, 'x');
            case types::kFloatArray:
                return std::vector<double>(k, d());
            case types::kVec3Array:
                return std::vector<types::Vec3f>(k, {f(), f(), f()});
            case types::kIntArray:
                return std::vector<int64_t>(k, static_cast<int64_t>(rng()));
            case types::kFloat32Array:
                return std::vector<float>(k, f());
            case types::kVec3ArrayF64:
                return std::vector<types::Vec3d>(k, {d(), d(), d()});
            default:
                return std::vector<int32_t>(k, static_cast<int32_t>(rng()));
        }
    };
    auto present = [&] { return fields == Fields::kAll || (fields == Fields::kRandom && coin()); };

    Molecule m;
    m.positions = vec3(positions_precision == types::kF32);
    m.atomic_numbers.resize(n);
    for (auto& z : m.atomic_numbers) z = static_cast<uint8_t>(rng());
    if (present()) m.name = std::string("w\xc3\xa9\0x", 5).append(rng() % 8, 'n');
    if (present()) m.forces = vec3(coin());
    if (present()) m.energy = coin() ? types::FloatScalarData(f()) : types::FloatScalarData(d());
    if (present()) {
        m.charges = coin() ? types::FloatArrayData(std::vector<float>(n, f()))
                           : types::FloatArrayData(std::vector<double>(n, d()));
    }
    if (present()) m.velocities = vec3(coin());
    if (present()) m.cell = mat3();
    if (present()) m.pbc = std::array<bool, 3>{coin(), coin(), coin()};
    if (present()) m.stress = mat3();
    if (fields == Fields::kAll) {
        for (size_t variant = 0; variant < std::variant_size_v<PropertyValue>; ++variant) {
            m.atom_properties.emplace(std::string(variant, 'k'), value(variant));
            m.properties.emplace("p" + std::to_string(variant), value(variant));
        }
    } else if (fields == Fields::kRandom) {
        for (const char* key : {"a", "B", "ab", "energy", "\xc3\xa9", "z"}) {
            if (coin()) m.atom_properties.emplace(key, value(rng() % 10));
            if (coin()) m.properties.emplace(key, value(rng() % 10));
        }
    }
    return m;
}

// Bit-exact equality: NaN payloads and the sign of zero count, map iteration order does not.
template <class T>
    requires std::is_arithmetic_v<T>
bool same_bits(const T& a, const T& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}
inline bool same_bits(const std::string& a, const std::string& b) { return a == b; }
inline bool same_bits(std::monostate, std::monostate) { return true; }
template <class T, size_t N>
bool same_bits(const std::array<T, N>& a, const std::array<T, N>& b) {
    return std::memcmp(a.data(), b.data(), sizeof a) == 0;
}
template <class T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}
template <class... T>
bool same_bits(const std::variant<T...>& a, const std::variant<T...>& b) {
    if (a.index() != b.index()) return false;
    return std::visit(
        [&](const auto& x) { return same_bits(x, std::get<std::decay_t<decltype(x)>>(b)); }, a);
}
template <class T>
bool same_bits(const std::optional<T>& a, const std::optional<T>& b) {
    return a.has_value() == b.has_value() && (!a || same_bits(*a, *b));
}
inline bool same_bits(const atom::PropertyMap& a, const atom::PropertyMap& b) {
    if (a.size() != b.size()) return false;
    for (const auto& [key, value] : a) {
        const auto found = b.find(key);
        if (found == b.end() || !same_bits(value, found->second)) return false;
    }
    return true;
}
inline bool same_bits(const Molecule& a, const Molecule& b) {
    return same_bits(a.name, b.name) && same_bits(a.positions, b.positions) &&
           same_bits(a.atomic_numbers, b.atomic_numbers) && same_bits(a.forces, b.forces) &&
           same_bits(a.energy, b.energy) && same_bits(a.charges, b.charges) &&
           same_bits(a.velocities, b.velocities) && same_bits(a.cell, b.cell) &&
           same_bits(a.pbc, b.pbc) && same_bits(a.stress, b.stress) &&
           same_bits(a.atom_properties, b.atom_properties) && same_bits(a.properties, b.properties);
}

}  // namespace kestrove::testing
