// Structure-of-arrays records built straight from raw field bytes, one row of a batch at a time.
//
// The records are byte-identical to those of the molecule record writer
// (storage::soa::serialize_molecule_soa) for the same fields, built-in sections in the same fixed
// order. The builder touches no shared state and may run on any number of threads at once.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "engine/coding.hpp"
#include "engine/view/section_ref.hpp"

namespace kestrove::view {

// One built-in field of a row: its little-endian payload and the type tag its section carries.
struct SoaTypedSlice {
    std::span<const uint8_t> payload;
    uint8_t type_tag = 0;
};

// The optional built-in fields of one row; absent fields get no section. Payloads are borrowed
// and written unchanged: the caller vouches that their lengths suit the atom count and their tags
// suit the key and the database's record format.
struct SoaBuiltinSlices {
    std::optional<SoaTypedSlice> energy;
    std::optional<SoaTypedSlice> forces;
    std::optional<SoaTypedSlice> charges;
    std::optional<SoaTypedSlice> velocities;
    std::optional<SoaTypedSlice> cell;
    std::optional<SoaTypedSlice> stress;
    std::optional<std::string_view> name;       // UTF-8, written with the text tag
    std::optional<std::array<uint8_t, 3>> pbc;  // x, y, z as 0 or 1, written with tag 9
};

// Builds one record from a row's raw fields: `positions` holds n_atoms triples of the positions
// type (tag 4: three f32, tag 7: three f64), `atomic_numbers` one byte per atom. Built-in sections
// follow the record order ("charges", "cell", "energy", "forces", "name", "pbc", "stress",
// "velocities"), then the custom sections in the order given, unsorted (the caller vouches that
// their keys are distinct within a record and that their kinds and tags are valid). The record is
// allocated once at its exact size and every payload is block-copied.
//
// Checks, in this order; the first refusal is returned as the text the caller raises, and no
// record is produced: "Unsupported positions type tag {}", "positions payload length ({}) is not
// a multiple of {}", "Atomic numbers length ({}) doesn't match atom count ({})", "Atom count {}
// exceeds the record limit of {}", "Too many SOA sections", then, section by section in writing
// order, "Section key '{}' is too long" and "Section '{}' payload is too large".
Result<Bytes, std::string> build_soa_record_unchecked(uint8_t positions_type_tag,
                                                      std::span<const uint8_t> positions,
                                                      std::span<const uint8_t> atomic_numbers,
                                                      const SoaBuiltinSlices& builtins,
                                                      std::span<const SoaSectionRef> custom);

// Appends one section (kind, key length, key, tag, u32 payload length, payload) to `out`. A key of
// 256 bytes or more or a payload beyond the u32 range is refused with its text, and `out` is left
// as it was; nothing means success.
[[nodiscard]] std::optional<std::string> write_soa_section_raw(Bytes& out, uint8_t kind,
                                                               std::string_view key,
                                                               uint8_t type_tag,
                                                               std::span<const uint8_t> payload);

}  // namespace kestrove::view
