// Fuzzes the decoder of the compact serialised molecule, which a pickle payload reaches as is: a
// payload it accepts must encode to exactly its declared size and decode back to the same
// molecule, field by field and bit for bit.
//
// Input: the payload bytes.
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "engine/compact.hpp"
#include "tests/fuzz/fuzz_util.hpp"

using namespace kestrove;

namespace {

// Bit-for-bit equality: NaN payloads and signed zeros count, so floats compare as bytes.
template <class T>
bool same(const T& a, const T& b);

bool same_scalar(const void* a, const void* b, size_t n) { return std::memcmp(a, b, n) == 0; }

template <class T>
bool same_vector(const std::vector<T>& a, const std::vector<T>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (!same(a[i], b[i])) return false;
    }
    return true;
}

bool same_map(const atom::PropertyMap& a, const atom::PropertyMap& b) {
    if (a.size() != b.size()) return false;
    for (const auto& [key, value] : a) {
        const auto it = b.find(key);
        if (it == b.end() || !same(value, it->second)) return false;
    }
    return true;
}

template <class T>
bool same(const T& a, const T& b) {
    if constexpr (std::is_arithmetic_v<T>) {
        return same_scalar(&a, &b, sizeof(T));
    } else if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, std::monostate>) {
        return a == b;
    } else if constexpr (std::is_same_v<T, atom::PropertyMap>) {
        return same_map(a, b);
    } else if constexpr (requires {
                             a.has_value();
                             *a;
                         }) {
        return a.has_value() == b.has_value() && (!a.has_value() || same(*a, *b));
    } else if constexpr (requires { a.index(); }) {
        return a.index() == b.index() &&
               std::visit(
                   [&](const auto& x) {
                       return same(x, *std::get_if<std::decay_t<decltype(x)>>(&b));
                   },
                   a);
    } else {
        // std::array and std::vector
        if constexpr (requires { a.capacity(); }) {
            return same_vector(a, b);
        } else {
            for (size_t i = 0; i < a.size(); ++i) {
                if (!same(a[i], b[i])) return false;
            }
            return true;
        }
    }
}

bool same_molecule(const atom::Molecule& a, const atom::Molecule& b) {
    return same(a.name, b.name) && same(a.positions, b.positions) &&
           same_vector(a.atomic_numbers, b.atomic_numbers) && same(a.forces, b.forces) &&
           same(a.energy, b.energy) && same(a.charges, b.charges) &&
           same(a.velocities, b.velocities) && same(a.cell, b.cell) && same(a.pbc, b.pbc) &&
           same(a.stress, b.stress) && same_map(a.atom_properties, b.atom_properties) &&
           same_map(a.properties, b.properties);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto decoded = compact::deserialize_molecule({data, size});
    if (!decoded.ok()) return 0;
    const atom::Molecule& m = decoded.value();
    const Bytes encoded = compact::serialize_molecule(m);
    FUZZ_CHECK(encoded.size() == compact::serialized_size(m));
    // Every count was checked against the input: the molecule cannot outgrow it.
    FUZZ_CHECK(encoded.size() <= size);
    auto again = compact::deserialize_molecule(encoded);
    FUZZ_CHECK(again.ok());
    FUZZ_CHECK(same_molecule(m, again.value()));
    // Without repeated map keys, the bytes the decoder read are the bytes it encodes back to
    // (map order aside, so only when each map has at most one entry).
    if (m.properties.size() + m.atom_properties.size() == 0) {
        FUZZ_CHECK(std::memcmp(encoded.data(), data, encoded.size()) == 0);
    }
    return 0;
}
