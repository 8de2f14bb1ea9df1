// The owned in-memory molecule and the plain atom value.
#include "engine/atom.hpp"

#include <algorithm>

#include "platform/random.hpp"

namespace kestrove::atom {

SeededStringHash::SeededStringHash() : seed_(platform::hash_seed()) {}

size_t SeededStringHash::operator()(std::string_view key) const {
    // FNV-1a over the seed then the key, finished with a 64-bit mixer so the seed moves buckets.
    uint64_t h = 0xcbf29ce484222325ull ^ seed_;
    for (unsigned char c : key) {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    return static_cast<size_t>(h);
}

std::string atom_count_mismatch_message(size_t atomic_numbers, size_t atoms) {
    return "Atomic numbers length (" + std::to_string(atomic_numbers) +
           ") doesn't match atom count (" + std::to_string(atoms) + ")";
}

Result<Molecule, std::string> Molecule::create(std::vector<types::Vec3f> positions,
                                               std::vector<uint8_t> atomic_numbers) {
    return with_name_internal(std::nullopt, types::Vec3Data(std::move(positions)),
                              std::move(atomic_numbers));
}

Result<Molecule, std::string> Molecule::create_f64(std::vector<types::Vec3d> positions,
                                                   std::vector<uint8_t> atomic_numbers) {
    return with_name_internal(std::nullopt, types::Vec3Data(std::move(positions)),
                              std::move(atomic_numbers));
}

Result<Molecule, std::string> Molecule::with_name_internal(std::optional<std::string> name,
                                                           types::Vec3Data positions,
                                                           std::vector<uint8_t> atomic_numbers) {
    size_t atoms = types::data_len(positions);
    if (atomic_numbers.size() != atoms) {
        return atom_count_mismatch_message(atomic_numbers.size(), atoms);
    }
    Molecule molecule;
    molecule.name = std::move(name);
    molecule.positions = std::move(positions);
    molecule.atomic_numbers = std::move(atomic_numbers);
    return molecule;
}

std::optional<Atom> Molecule::atom(size_t index) const {
    if (index >= num_positions() || index >= atomic_numbers.size()) return std::nullopt;
    Atom result{{}, atomic_numbers[index]};
    std::visit(
        [&](const auto& triples) {
            for (size_t k = 0; k < 3; ++k) {
                result.position[k] = static_cast<float>(triples[index][k]);
            }
        },
        positions);
    return result;
}

std::vector<Atom> Molecule::to_atoms() const {
    std::vector<Atom> atoms;
    size_t n = std::min(num_positions(), atomic_numbers.size());
    atoms.reserve(n);
    for (size_t i = 0; i < n; ++i) atoms.push_back(*atom(i));
    return atoms;
}

}  // namespace kestrove::atom
