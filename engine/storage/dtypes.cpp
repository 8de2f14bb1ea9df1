// Type tags, section kinds and built-in keys of the record layout, and custom property payloads.
#include "engine/storage/dtypes.hpp"

#include <string>
#include <type_traits>

#include "engine/storage/builtin_fields.hpp"

namespace kestrove::storage::dtypes {

uint64_t type_tag_elem_bytes(uint8_t tag) {
    static constexpr uint8_t kElemBytes[] = {8, 8, 0, 8, 12, 8, 4, 24, 4, 3, 72, 4, 36};
    return tag < sizeof kElemBytes ? kElemBytes[tag] : 0;
}

bool is_fixed_size_tag(uint8_t tag) {
    return tag == kTagF64 || tag == kTagI64 || tag == kTagBool3 || tag == kTagMat3F64 ||
           tag == kTagF32 || tag == kTagMat3F32;
}

bool is_property_type_tag(uint8_t tag) { return tag <= kTagI32Array || tag == kTagNull; }

bool is_per_atom_section(uint8_t kind, std::string_view key) {
    if (kind == kKindAtomProperty) return true;
    if (kind != kKindBuiltin) return false;
    const builtin_fields::BuiltinField* field = builtin_fields::find_builtin_field(key);
    return field != nullptr && field->per_atom;
}

uint8_t property_type_tag(const types::PropertyValue& value) {
    if (value.index() == types::kNull) return kTagNull;
    return static_cast<uint8_t>(value.index() - 1);
}

namespace {

// Calls `f(pointer, byte_length)` with the raw little-endian bytes of a property's payload.
template <class F>
void with_payload(const types::PropertyValue& value, F&& f) {
    std::visit(
        [&](const auto& v) {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, std::monostate>) {
                f(static_cast<const void*>(nullptr), size_t{0});
            } else if constexpr (std::is_arithmetic_v<V>) {
                f(static_cast<const void*>(&v), sizeof v);
            } else {
                // std::string and std::vector of packed arithmetic elements or arrays of them.
                static_assert(sizeof(typename V::value_type) == 1 ||
                              std::is_trivially_copyable_v<typename V::value_type>);
                f(static_cast<const void*>(v.data()), v.size() * sizeof(typename V::value_type));
            }
        },
        value);
}

static_assert(sizeof(types::Vec3f) == 12 && sizeof(types::Vec3d) == 24);

}  // namespace

size_t property_payload_len(const types::PropertyValue& value) {
    size_t len = 0;
    with_payload(value, [&](const void*, size_t n) { len = n; });
    return len;
}

Bytes property_value_to_bytes(const types::PropertyValue& value) {
    Bytes out(property_payload_len(value));
    coding::Writer writer(out);
    write_property_payload(writer, value);
    return out;
}

void write_property_payload(coding::Writer& out, const types::PropertyValue& value) {
    with_payload(value, [&](const void* data, size_t n) { out.put_bytes(data, n); });
}

Error unsupported_record_format(uint32_t record_format) {
    return Error::invalid_data("Unsupported record format " + std::to_string(record_format));
}

Status validate_builtin_type_tag_for_record_format(uint32_t record_format, std::string_view key,
                                                   uint8_t tag) {
    if (record_format == kRecordFormat3) return {};
    if (record_format != kRecordFormat2) return unsupported_record_format(record_format);

    const builtin_fields::BuiltinField* field = builtin_fields::find_builtin_field(key);
    if (field == nullptr || !field->has_format2_rule() || tag == field->format2_tag) return {};
    return Error::invalid_data(field->format2_refusal);
}

}  // namespace kestrove::storage::dtypes
