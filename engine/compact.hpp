// The compact serialised form of a molecule: the self-contained byte string a pickle carries.
//
// Every field of the molecule in declaration order, little-endian, unaligned, with no magic,
// version or checksum: texts and lists as a u64 count then their elements, optionals as one tag
// byte (0 absent, 1 present), variants as a u32 index then their content, fixed arrays (triples,
// 3x3 matrices, pbc flags) without a count, booleans as one byte 0 or 1, maps as a u64 entry count
// then key and value per entry in the map's own iteration order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "base/error.hpp"
#include "engine/atom.hpp"
#include "engine/coding.hpp"

namespace kestrove::compact {

// The exact length of `serialize_molecule(molecule)`.
size_t serialized_size(const atom::Molecule& molecule);

// Encodes every field of the molecule into one buffer allocated at its exact final size. Never
// fails. Map entries follow the maps' iteration order, so equal molecules may encode differently.
Bytes serialize_molecule(const atom::Molecule& molecule);

// Decodes a molecule from untrusted bytes, which are only borrowed. Bytes after the last field are
// ignored. The failure is the decoder's text alone, e.g. "io error: unexpected end of file"; the
// caller adds its own context. Every count is checked against the bytes that remain before
// anything is allocated for it. The constructors' invariants are not checked: the atomic-number
// count may differ from the position count (the record writer refuses such a molecule) and
// per-atom fields may have any length.
Result<atom::Molecule, std::string> deserialize_molecule(std::span<const uint8_t> bytes);

}  // namespace kestrove::compact
