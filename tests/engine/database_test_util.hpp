// Helpers shared by the database tests: sample molecules, file surgery and result checks.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "engine/atom.hpp"
#include "engine/coding.hpp"
#include "engine/storage/database.hpp"
#include "engine/storage/header.hpp"
#include "engine/storage/soa.hpp"
#include "tests/engine/platform_test_util.hpp"

namespace kestrove::storage::testing {

using atom::Molecule;
using platform::testing::read_whole_file;
using platform::testing::ScratchDir;

#define KESTROVE_CONCAT_INNER(a, b) a##b
#define KESTROVE_CONCAT(a, b) KESTROVE_CONCAT_INNER(a, b)

// Fails the test with the error's display text unless the Status or Result is a success.
#define ASSERT_OK(expr)                                                                 \
    do {                                                                                \
        const auto& kestrove_assert_ok_ = (expr);                                       \
        ASSERT_TRUE(kestrove_assert_ok_.ok()) << kestrove_assert_ok_.error().display(); \
    } while (0)

#define ASSERT_OK_AND_ASSIGN(lhs, expr)                                   \
    auto KESTROVE_CONCAT(kestrove_result_, __LINE__) = (expr);            \
    ASSERT_TRUE(KESTROVE_CONCAT(kestrove_result_, __LINE__).ok())         \
        << KESTROVE_CONCAT(kestrove_result_, __LINE__).error().display(); \
    lhs = std::move(KESTROVE_CONCAT(kestrove_result_, __LINE__)).value()

// The display text of a failed Status or Result, or "<ok>".
template <class R>
std::string error_of(const R& result) {
    return result.ok() ? std::string("<ok>") : result.error().display();
}

inline constexpr uint64_t kDataStart = AtomDatabase::kDataStart;

// A structure as a simulation writes it: positions, forces, energy, cell, periodicity, a per-atom
// and two per-molecule custom properties. Everything is admitted by record format 2.
inline Molecule sample_molecule(size_t n_atoms, int seed) {
    std::vector<types::Vec3f> positions(n_atoms);
    std::vector<uint8_t> numbers(n_atoms);
    std::vector<types::Vec3f> forces(n_atoms);
    std::vector<double> spin(n_atoms);
    for (size_t i = 0; i < n_atoms; ++i) {
        const float x = static_cast<float>(seed) + 0.25f * static_cast<float>(i);
        positions[i] = {x, -x, 0.5f * x};
        numbers[i] = static_cast<uint8_t>(1 + (i + seed) % 8);
        forces[i] = {0.125f * x, -0.0f, 1e-3f * x};
        spin[i] = (i % 2 == 0 ? 0.5 : -0.5) * seed;
    }
    auto created = Molecule::create(std::move(positions), std::move(numbers));
    EXPECT_TRUE(created.ok());
    Molecule m = std::move(created).value();
    m.forces = types::Vec3Data(std::move(forces));
    m.energy = types::FloatScalarData(-76.4 - seed);
    m.cell = types::Mat3Data(types::Mat3d{10.0 + seed, 0, 0, 0, 11.0, 0, 0, 0, 12.0});
    m.pbc = std::array<bool, 3>{true, true, seed % 2 == 0};
    m.atom_properties.emplace("spin", std::move(spin));
    m.properties.emplace("label", std::string("conf-") + std::to_string(seed));
    m.properties.emplace("temperature", 300.0 + seed);
    return m;
}

// `count` sample molecules of 1 to 9 atoms, seeds from `first_seed` on.
inline std::vector<Molecule> sample_molecules(size_t count, int first_seed = 1) {
    std::vector<Molecule> out;
    for (size_t i = 0; i < count; ++i) {
        const int seed = first_seed + static_cast<int>(i);
        out.push_back(sample_molecule(1 + static_cast<size_t>(seed) % 9, seed));
    }
    return out;
}

inline std::vector<const Molecule*> pointers(const std::vector<Molecule>& molecules) {
    std::vector<const Molecule*> out;
    for (const Molecule& m : molecules) out.push_back(&m);
    return out;
}

inline std::vector<Bytes> serialized(const std::vector<Molecule>& molecules, uint32_t format) {
    std::vector<Bytes> out;
    for (const Molecule& m : molecules) {
        auto record = soa::serialize_molecule_soa(m, format);
        EXPECT_TRUE(record.ok()) << error_of(record);
        out.push_back(record.ok() ? std::move(record).value() : Bytes());
    }
    return out;
}

inline std::vector<size_t> all_positions(const AtomDatabase& db) {
    std::vector<size_t> positions(db.len());
    std::iota(positions.begin(), positions.end(), size_t{0});
    return positions;
}

// Every record of the database, read back; empty (and a test failure) when the read fails.
inline std::vector<Bytes> read_all(const AtomDatabase& db) {
    auto records = db.get_raw_bytes(all_positions(db));
    EXPECT_TRUE(records.ok()) << error_of(records);
    return records.ok() ? std::move(records).value() : std::vector<Bytes>();
}

inline uint64_t file_size(const std::string& path) { return std::filesystem::file_size(path); }

inline void overwrite(const std::string& path, uint64_t offset, const void* data, size_t len) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(static_cast<const char*>(data), static_cast<std::streamsize>(len));
    ASSERT_TRUE(f.good()) << "cannot patch " << path;
}

template <class T>
void overwrite_value(const std::string& path, uint64_t offset, T value) {
    uint8_t bytes[sizeof(T)];
    coding::store<T>(bytes, value);
    overwrite(path, offset, bytes, sizeof bytes);
}

inline void copy_over(const std::string& from, const std::string& to) {
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
}

inline void append_garbage(const std::string& path, size_t len) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << std::string(len, '\x5A');
}

// The header held by slot `slot` of the file, or nothing when that slot is invalid.
inline std::optional<header::Header> slot_header(const std::string& path, size_t slot) {
    const std::string bytes = read_whole_file(path);
    if (bytes.size() < kDataStart) return std::nullopt;
    const auto* at =
        reinterpret_cast<const uint8_t*>(bytes.data()) + slot * header::kHeaderSlotSize;
    return header::decode_header_slot(
        std::span<const uint8_t, header::kHeaderSlotSize>(at, header::kHeaderSlotSize),
        bytes.size());
}

inline void write_slot(const std::string& path, size_t slot, const header::Header& h) {
    const header::HeaderSlot bytes = header::encode_header_slot(h);
    overwrite(path, slot * header::kHeaderSlotSize, bytes.data(), bytes.size());
}

// Caps the process's address space a little above what it maps now, so that an allocation sized
// from a forged length fails (as std::bad_alloc) instead of quietly succeeding. AddressSanitizer
// reserves terabytes of shadow memory, so under it the cap is not applied.
class AddressSpaceCap {
public:
    explicit AddressSpaceCap(uint64_t headroom = uint64_t{1} << 30) {
#if !defined(__SANITIZE_ADDRESS__)
        unsigned long pages = 0;
        if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%lu", &pages) != 1) pages = 0;
            std::fclose(statm);
        }
        if (pages == 0 || ::getrlimit(RLIMIT_AS, &saved_) != 0) return;
        rlimit capped = saved_;
        const uint64_t wanted =
            uint64_t{pages} * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE)) + headroom;
        capped.rlim_cur = std::min<rlim_t>(saved_.rlim_max, wanted);
        active_ = ::setrlimit(RLIMIT_AS, &capped) == 0;
#else
        (void)headroom;
#endif
    }
    ~AddressSpaceCap() {
        if (active_) ::setrlimit(RLIMIT_AS, &saved_);
    }
    AddressSpaceCap(const AddressSpaceCap&) = delete;
    AddressSpaceCap& operator=(const AddressSpaceCap&) = delete;

private:
    rlimit saved_{};
    bool active_ = false;
};

}  // namespace kestrove::storage::testing
