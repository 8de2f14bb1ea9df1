// The eager, borrowing parser of structure-of-arrays records and the two derivations of a
// section's column layout: one for flat batch extraction, one for re-adding a record as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "engine/storage/database.hpp"
#include "engine/view/section_ref.hpp"

namespace kestrove::view {

// Every section of a record in record order (built-in ones included, keys checked as UTF-8), with
// the positions block (n_atoms × bytes_per_atom bytes) and the atomic numbers (n_atoms bytes), all
// borrowed from the record bytes.
struct ParsedSoaRecord {
    std::vector<SoaSectionRef> sections;
    std::span<const uint8_t> positions;
    std::span<const uint8_t> atomic_numbers;
    size_t n_atoms = 0;
};

// Parses a record without copying any byte; each key is checked as UTF-8 at once. Kinds, tags and
// payload lengths are not checked. Failures are invalid-data Errors.
[[nodiscard]] Result<ParsedSoaRecord> parse_mol_fast_soa(std::span<const uint8_t> bytes,
                                                         size_t bytes_per_atom);
// The same into `out`, reusing its section list's memory (a worker parsing record after record
// allocates once). On failure `out` holds no sections and no atoms.
[[nodiscard]] Status parse_mol_fast_soa_into(std::span<const uint8_t> bytes, size_t bytes_per_atom,
                                             ParsedSoaRecord& out);

// One column of flat extraction.
struct SectionSchema {
    std::string key;
    uint64_t elem_bytes = 0;
    uint64_t slot_bytes = 0;
    bool per_atom = false;
    uint8_t kind = 0;
    uint8_t type_tag = 0;

    bool operator==(const SectionSchema&) const = default;
};

// The flat-extraction column of a section of a record of `n_atoms` atoms. Text must be UTF-8 and
// per-molecule, null empty; per-atom sections must hold exactly one fixed-size element or n_atoms
// array elements. Failures are invalid-data Errors.
[[nodiscard]] Result<SectionSchema> section_schema_from_ref(const SoaSectionRef& section,
                                                            size_t n_atoms);

// The refusal of a per-atom text section: no flat column holds its texts, which are not one per
// atom.
[[nodiscard]] Error per_atom_text_error(std::string_view key);

// The schema-lock entry of a section for re-adding its record: tags above 13 are refused and
// per-atom sections other than text and null must hold n_atoms elements. Bare messages.
[[nodiscard]] Result<storage::DatabaseSchemaSection, std::string> database_schema_section(
    uint8_t kind, std::string_view key, uint8_t type_tag, uint64_t payload_len, size_t n_atoms);

}  // namespace kestrove::view
