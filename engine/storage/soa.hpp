// The structure-of-arrays record writer and the record-format rules of a whole molecule.
//
// Record layout (little-endian, unaligned, no padding, nothing after the last section):
//   u32 n_atoms | positions (12n or 24n bytes) | n atomic numbers (u8) | u16 n_sections | sections
// Section layout:
//   u8 kind | u8 key length k | k key bytes | u8 type tag | u32 payload length L | L payload bytes
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.hpp"
#include "engine/atom.hpp"
#include "engine/coding.hpp"
#include "engine/storage/builtin_fields.hpp"

namespace kestrove::storage::soa {

inline constexpr size_t kRecordHeadBytes = 4;    // n_atoms
inline constexpr size_t kSectionCountBytes = 2;  // n_sections
inline constexpr size_t kSectionFixedBytes = 7;  // kind, key length, tag, payload length
inline constexpr size_t kMaxKeyBytes = 255;
inline constexpr uint64_t kMaxPayloadBytes = UINT32_MAX;
inline constexpr size_t kMaxSections = UINT16_MAX;
inline constexpr uint64_t kMaxAtoms = UINT32_MAX;

// One section as the writer will lay it down; `payload` points into the molecule.
struct SectionSource {
    uint8_t kind;
    std::string_view key;
    uint8_t tag;
    const void* payload;
    size_t payload_len;
};

// The built-in sections of the fields that are present, in record order (that of
// builtin_fields::kBuiltinFields). `pbc_bytes` backs the pbc payload and must outlive the result.
struct BuiltinSections {
    std::array<SectionSource, builtin_fields::kBuiltinFieldCount> items;
    size_t count = 0;
    std::array<uint8_t, 3> pbc_bytes{};

    BuiltinSections() = default;
    BuiltinSections(const BuiltinSections&) = delete;
    BuiltinSections& operator=(const BuiltinSections&) = delete;
};
void collect_builtin_sections(const atom::Molecule& molecule, BuiltinSections& out);

// The entries of a property map in record key order: unsigned bytes from the first, a prefix
// before the longer key.
std::vector<const atom::PropertyMap::value_type*> sorted_properties(const atom::PropertyMap& map);

// Whether `record_format` admits the precisions of the molecule's built-in fields.
Status validate_record_format_compat(const atom::Molecule& molecule, uint32_t record_format);

// 2 when record format 2 admits the molecule, otherwise 3.
uint32_t minimum_record_format_for_molecule(const atom::Molecule& molecule);

// The positions type tag of a record format: always 4 under format 2 (7 is refused); under
// format 3 the given tag, which must be present.
Result<uint8_t> resolve_positions_type(uint32_t record_format,
                                       std::optional<uint8_t> positions_type);

// "Atom count {} exceeds the record limit of {}": n_atoms is a u32.
std::string too_many_atoms_message(uint64_t n_atoms);

// Serialises one molecule into a record of exactly its final length, in one allocation.
Result<Bytes> serialize_molecule_soa(const atom::Molecule& molecule, uint32_t record_format);

// Checks a section against the layout's limits: "Section key '{}' is too long",
// "Section '{}' payload is too large".
Status check_section(std::string_view key, uint64_t payload_len);

// Appends one section; the writer must have room for 7 + key length + payload length bytes.
Status write_section(coding::Writer& out, uint8_t kind, std::string_view key, uint8_t tag,
                     const void* payload, size_t payload_len);

}  // namespace kestrove::storage::soa
