// Realistic molecules and timing helpers shared by the benchmarks.
#pragma once

#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "engine/atom.hpp"

namespace kestrove::bench {

// A structure as a training set holds them: 20-200 atoms with positions, forces, energy, cell,
// stress-free, periodic, and one per-molecule property.
inline atom::Molecule realistic_molecule(std::mt19937_64& rng) {
    std::uniform_int_distribution<size_t> atom_count(20, 200);
    std::uniform_real_distribution<float> coord(0.0f, 12.0f);
    std::normal_distribution<float> force(0.0f, 0.5f);
    std::uniform_int_distribution<int> element(1, 9);
    const size_t n = atom_count(rng);
    std::vector<types::Vec3f> positions(n), forces(n);
    std::vector<uint8_t> numbers(n);
    for (size_t i = 0; i < n; ++i) {
        positions[i] = {coord(rng), coord(rng), coord(rng)};
        forces[i] = {force(rng), force(rng), force(rng)};
        numbers[i] = static_cast<uint8_t>(element(rng));
    }
    atom::Molecule m =
        std::move(atom::Molecule::create(std::move(positions), std::move(numbers))).value();
    m.forces = types::Vec3Data(std::move(forces));
    m.energy = types::FloatScalarData(-0.25 * static_cast<double>(n) + force(rng));
    m.cell = types::Mat3Data(types::Mat3d{12.0, 0, 0, 0, 12.0, 0, 0, 0, 12.0});
    m.pbc = std::array<bool, 3>{true, true, true};
    m.properties.emplace("config_type", types::PropertyValue(std::string("bulk")));
    return m;
}

inline std::vector<atom::Molecule> realistic_molecules(size_t count, uint64_t seed = 42) {
    std::mt19937_64 rng(seed);
    std::vector<atom::Molecule> out;
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) out.push_back(realistic_molecule(rng));
    return out;
}

class Stopwatch {
public:
    Stopwatch() : start_(std::chrono::steady_clock::now()) {}
    double seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }

private:
    std::chrono::steady_clock::time_point start_;
};

inline double mb(double bytes) { return bytes / 1e6; }

}  // namespace kestrove::bench
