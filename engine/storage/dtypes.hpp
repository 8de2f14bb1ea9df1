// Type tags, section kinds and built-in keys of the record layout, and custom property payloads.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/error.hpp"
#include "engine/coding.hpp"
#include "engine/types.hpp"

namespace kestrove::storage::dtypes {

// Type tags: the value type of a stored section or property.
enum TypeTag : uint8_t {
    kTagF64 = 0,
    kTagI64 = 1,
    kTagString = 2,
    kTagF64Array = 3,
    kTagVec3F32 = 4,
    kTagI64Array = 5,
    kTagF32Array = 6,
    kTagVec3F64 = 7,
    kTagI32Array = 8,
    kTagBool3 = 9,
    kTagMat3F64 = 10,
    kTagF32 = 11,
    kTagMat3F32 = 12,
    kTagNull = 13,
};

// Section kinds.
enum SectionKind : uint8_t {
    kKindBuiltin = 0,
    kKindAtomProperty = 1,
    kKindMolProperty = 2,
};

// Built-in section keys.
inline constexpr std::string_view kKeyCharges = "charges";
inline constexpr std::string_view kKeyCell = "cell";
inline constexpr std::string_view kKeyEnergy = "energy";
inline constexpr std::string_view kKeyForces = "forces";
inline constexpr std::string_view kKeyName = "name";
inline constexpr std::string_view kKeyPbc = "pbc";
inline constexpr std::string_view kKeyStress = "stress";
inline constexpr std::string_view kKeyVelocities = "velocities";

// The two record formats: 2 fixes the precision of every built-in field, 3 lets each be either.
inline constexpr uint32_t kRecordFormat2 = 2;
inline constexpr uint32_t kRecordFormat3 = 3;

// Bytes per element of a tag: 0 for text, null and every unknown tag.
uint64_t type_tag_elem_bytes(uint8_t tag);

// Tags of exactly one value per section: the scalars, the boolean triple and the 3 × 3 matrices.
// The array tags (3 to 8) hold any number of elements; text and null have no element size.
bool is_fixed_size_tag(uint8_t tag);

// Tags that a custom property's section can carry: those of the property's value types (0 to 8)
// and null. The others (9 to 12) belong to built-in fields alone.
bool is_property_type_tag(uint8_t tag);

// A section holds one value per atom when it is a custom per-atom property or one of the built-in
// per-atom fields ("forces", "charges", "velocities").
bool is_per_atom_section(uint8_t kind, std::string_view key);

// The tag a custom property's section carries: its variant index minus one, or 13 for Null.
uint8_t property_type_tag(const types::PropertyValue& value);

// Length of `property_value_to_bytes(value)` without producing it.
size_t property_payload_len(const types::PropertyValue& value);

// The payload of a custom property: its bare little-endian elements, no count.
Bytes property_value_to_bytes(const types::PropertyValue& value);

// Writes exactly `property_payload_len(value)` bytes.
void write_property_payload(coding::Writer& out, const types::PropertyValue& value);

// Whether `record_format` admits tag `tag` for the built-in key `key`.
Status validate_builtin_type_tag_for_record_format(uint32_t record_format, std::string_view key,
                                                   uint8_t tag);

// "Unsupported record format {}".
Error unsupported_record_format(uint32_t record_format);

}  // namespace kestrove::storage::dtypes
