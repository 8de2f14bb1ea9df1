// The lazy view of one stored structure-of-arrays record: structural checks once, fields on demand.
#include "engine/view/record_view.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "engine/storage/dtypes.hpp"
#include "engine/storage/soa.hpp"
#include "engine/utf8.hpp"
#include "engine/view/record_parser.hpp"

namespace kestrove::view {

namespace {

namespace dtypes = storage::dtypes;

constexpr size_t kF32TripleBytes = 12;
constexpr size_t kF64TripleBytes = 24;
constexpr size_t kPbcBytes = 3;

// Built-in keys in BuiltinField order.
constexpr std::array<std::string_view, kBuiltinFieldCount> kBuiltinKeys = {
    dtypes::kKeyForces,  dtypes::kKeyEnergy,     dtypes::kKeyCell, dtypes::kKeyStress,
    dtypes::kKeyCharges, dtypes::kKeyVelocities, dtypes::kKeyPbc,  dtypes::kKeyName,
};

// The order in which schemas list and compare the built-in slots.
constexpr BuiltinField kSchemaOrder[] = {
    BuiltinField::kEnergy, BuiltinField::kForces, BuiltinField::kCharges, BuiltinField::kVelocities,
    BuiltinField::kCell,   BuiltinField::kStress, BuiltinField::kPbc,     BuiltinField::kName,
};

std::optional<BuiltinField> builtin_field_of(std::string_view key) {
    for (size_t i = 0; i < kBuiltinFieldCount; ++i) {
        if (kBuiltinKeys[i] == key) return static_cast<BuiltinField>(i);
    }
    return std::nullopt;
}

Error invalid(std::string message) { return Error::invalid_data(std::move(message)); }

std::string unsupported_positions_tag(uint8_t tag) {
    return "Unsupported positions type tag " + std::to_string(tag);
}

std::string unsupported_tag(std::string_view label, uint8_t tag) {
    return "Unsupported " + std::string(label) + " type tag " + std::to_string(tag);
}

std::string invalid_section(std::string_view label) {
    return "Invalid " + std::string(label) + " section";
}

std::string not_multiple(size_t len, size_t elem) {
    return "Byte length " + std::to_string(len) + " is not a multiple of element size " +
           std::to_string(elem);
}

// Stride of a positions type tag, or 0 for a tag that is neither 4 nor 7.
size_t positions_stride(uint8_t tag) {
    if (tag == dtypes::kTagVec3F32) return kF32TripleBytes;
    if (tag == dtypes::kTagVec3F64) return kF64TripleBytes;
    return 0;
}

// The elements of a payload whose length is a multiple of sizeof(T), copied in one block.
template <class T>
std::vector<T> copy_elements(std::span<const uint8_t> payload) {
    static_assert(std::is_trivially_copyable_v<T>);
    std::vector<T> out(payload.size() / sizeof(T));
    if (!out.empty()) std::memcpy(out.data(), payload.data(), out.size() * sizeof(T));
    return out;
}

ArrayField array_field(std::span<const uint8_t> bytes, ElemType elem, size_t rows, size_t cols) {
    ArrayField field;
    field.bytes = bytes;
    field.elem = elem;
    field.ndim = cols == 0 ? 1 : 2;
    field.shape = {rows, cols};
    return field;
}

// A flat array of whole elements, or the "Byte length ..." refusal.
Result<PropertyField, std::string> flat_array(std::span<const uint8_t> payload, ElemType elem) {
    const size_t size = elem_size(elem);
    if (payload.size() % size != 0) return not_multiple(payload.size(), size);
    return PropertyField(array_field(payload, elem, payload.size() / size, 0));
}

}  // namespace

std::string_view builtin_key(BuiltinField field) {
    return kBuiltinKeys[static_cast<size_t>(field)];
}

size_t elem_size(ElemType type) {
    switch (type) {
        case ElemType::kF32:
        case ElemType::kI32:
            return 4;
        case ElemType::kF64:
        case ElemType::kI64:
            break;
    }
    return 8;
}

// --- SoaContext ---

Result<SoaContext> SoaContext::from_record_format(uint32_t record_format,
                                                  std::optional<uint8_t> positions_type) {
    if (record_format == dtypes::kRecordFormat2) return SoaContext{kF32TripleBytes, 4};
    if (record_format != dtypes::kRecordFormat3) {
        return dtypes::unsupported_record_format(record_format);
    }
    if (!positions_type) return invalid("Missing positions dtype for record format 3");
    const size_t stride = positions_stride(*positions_type);
    if (stride == 0) return invalid(unsupported_positions_tag(*positions_type));
    return SoaContext{stride, *positions_type};
}

Result<SoaContext> SoaContext::from_database(const storage::AtomDatabase& database) {
    std::optional<uint8_t> positions_type;
    if (database.schema_lock()) positions_type = database.schema_lock()->positions_type;
    return from_record_format(database.record_format(), positions_type);
}

// --- SoaBytes ---

SoaBytes::SoaBytes(Bytes owned) : storage_(std::in_place_index<0>, std::move(owned)) {
    const Bytes& buffer = std::get<0>(storage_);
    bytes_ = std::span<const uint8_t>(buffer.data(), buffer.size());
}

SoaBytes::SoaBytes(storage::SharedMmapBytes shared)
    : storage_(std::in_place_index<1>, std::move(shared)) {
    bytes_ = std::get<1>(storage_).as_slice();
}

// --- Construction ---

void SoaBytes::keep_prefix(size_t n) {
    n = std::min(n, bytes_.size());
    if (Bytes* owned = std::get_if<0>(&storage_)) {
        if (owned->capacity() == n) return;  // holds exactly those bytes
        *owned = Bytes(owned->begin(), owned->begin() + static_cast<std::ptrdiff_t>(n));
        bytes_ = std::span<const uint8_t>(owned->data(), owned->size());
        return;
    }
    bytes_ = bytes_.first(n);
}

Result<SoaMoleculeView> SoaMoleculeView::from_storage(SoaBytes storage, size_t bytes_per_atom,
                                                      uint8_t positions_type_tag) {
    const std::span<const uint8_t> bytes = storage.bytes();
    const uint8_t* const data = bytes.data();
    const uint64_t len = bytes.size();
    if (len < storage::soa::kRecordHeadBytes + storage::soa::kSectionCountBytes) {
        return invalid("SOA record too small");
    }
    const uint32_t n_atoms = coding::load<uint32_t>(data);
    uint64_t positions_len;
    uint64_t positions_end;
    if (__builtin_mul_overflow(uint64_t{n_atoms}, uint64_t{bytes_per_atom}, &positions_len) ||
        __builtin_add_overflow(uint64_t{kPositionsOffset}, positions_len, &positions_end)) {
        return invalid("SOA positions overflow");
    }
    if (positions_end > len) return invalid("SOA record truncated at positions");
    uint64_t numbers_end;
    if (__builtin_add_overflow(positions_end, uint64_t{n_atoms}, &numbers_end)) {
        return invalid("SOA atomic_numbers overflow");
    }
    if (numbers_end > len || len - numbers_end < storage::soa::kSectionCountBytes) {
        return invalid("SOA record truncated at atomic_numbers");
    }
    const uint16_t n_sections = coding::load<uint16_t>(data + numbers_end);
    uint64_t cursor = numbers_end + storage::soa::kSectionCountBytes;

    SoaMoleculeView view(std::move(storage));
    // Every section takes at least 7 bytes: reserve no more than the record can back.
    view.sections_.reserve(
        std::min<uint64_t>(n_sections, (len - cursor) / storage::soa::kSectionFixedBytes));
    for (uint32_t i = 0; i < n_sections; ++i) {
        // Invariant: cursor ≤ len, so none of the sums below can overflow 64 bits.
        if (cursor + 2 > len) return invalid("SOA section header truncated");
        const uint8_t kind = data[cursor];
        const uint8_t key_len = data[cursor + 1];
        const uint64_t key_start = cursor + 2;
        const uint64_t key_end = key_start + key_len;
        if (key_end > len) return invalid("SOA section key truncated");
        if (key_end + 5 > len) return invalid("SOA section header truncated");
        const uint8_t tag = data[key_end];
        const uint32_t payload_len = coding::load<uint32_t>(data + key_end + 1);
        const uint64_t payload_start = key_end + 5;
        const uint64_t payload_end = payload_start + payload_len;
        if (payload_end > len) return invalid("SOA section payload truncated");

        std::optional<BuiltinField> field;
        if (kind == dtypes::kKindBuiltin) {
            field = builtin_field_of(
                std::string_view(reinterpret_cast<const char*>(data + key_start), key_len));
        }
        if (field) {
            // Of a repeated built-in key the last section wins.
            view.slots_[static_cast<size_t>(*field)] = BuiltinSlot{payload_start, payload_len, tag};
        } else {
            view.sections_.push_back(
                LazySection{key_start, payload_start, payload_len, kind, key_len, tag});
        }
        cursor = payload_end;
    }
    // A record may be followed by bytes it does not use; a view keeps only the record.
    view.storage_.keep_prefix(cursor);
    view.n_atoms_ = n_atoms;
    view.positions_len_ = static_cast<size_t>(positions_len);
    view.positions_type_tag_ = positions_type_tag;
    return view;
}

Result<SoaMoleculeView> SoaMoleculeView::from_bytes(Bytes buffer, size_t bytes_per_atom,
                                                    uint8_t positions_type_tag) {
    return from_storage(SoaBytes(std::move(buffer)), bytes_per_atom, positions_type_tag);
}

Result<SoaMoleculeView> SoaMoleculeView::from_shared(storage::SharedMmapBytes shared,
                                                     const SoaContext& ctx) {
    return from_storage(SoaBytes(std::move(shared)), ctx.bytes_per_atom, ctx.positions_type_tag);
}

Result<std::vector<SoaMoleculeView>> views_from_buffers(std::vector<Bytes> buffers,
                                                        const SoaContext& ctx) {
    std::vector<SoaMoleculeView> views;
    views.reserve(buffers.size());
    for (Bytes& buffer : buffers) {
        auto view = SoaMoleculeView::from_bytes(std::move(buffer), ctx);
        if (!view.ok()) return std::move(view).error();
        views.push_back(std::move(view).value());
    }
    return views;
}

// --- Accessors ---

std::span<const uint8_t> SoaMoleculeView::builtin_payload(uint64_t payload_offset,
                                                          uint64_t payload_len) const {
    // The parse placed every slot and section inside the bytes; this check cannot fail for them.
    const std::span<const uint8_t> all = bytes();
    if (payload_offset > all.size() || payload_len > all.size() - payload_offset) return {};
    return all.subspan(payload_offset, payload_len);
}

Result<std::string_view, std::string> SoaMoleculeView::lazy_section_key(
    const LazySection& section) const {
    const std::span<const uint8_t> key = builtin_payload(section.key_offset, section.key_len);
    if (!is_valid_utf8(key)) return std::string("Invalid UTF-8 in section key");
    return std::string_view(reinterpret_cast<const char*>(key.data()), key.size());
}

Result<std::optional<std::array<bool, 3>>, std::string> SoaMoleculeView::pbc() const {
    const auto& slot = this->slot(BuiltinField::kPbc);
    if (!slot) return std::optional<std::array<bool, 3>>();
    const std::span<const uint8_t> p = payload(*slot);
    if (p.size() != kPbcBytes) return std::string("Invalid pbc payload length");
    return std::optional<std::array<bool, 3>>(std::array<bool, 3>{p[0] != 0, p[1] != 0, p[2] != 0});
}

Result<std::optional<double>, std::string> SoaMoleculeView::energy() const {
    const auto& slot = this->slot(BuiltinField::kEnergy);
    if (!slot) return std::optional<double>();
    const std::span<const uint8_t> p = payload(*slot);
    if (slot->type_tag == dtypes::kTagF64) {
        if (p.size() != sizeof(double)) return std::string("Invalid f64 payload length");
        return std::optional<double>(coding::load<double>(p.data()));
    }
    if (slot->type_tag == dtypes::kTagF32) {
        if (p.size() != sizeof(float)) return std::string("Invalid f32 payload length");
        return std::optional<double>(static_cast<double>(coding::load<float>(p.data())));
    }
    return unsupported_tag("energy", slot->type_tag);
}

Result<std::optional<atom::Atom>, std::string> SoaMoleculeView::atom_at(size_t index) const {
    if (index >= n_atoms_) return std::optional<atom::Atom>();
    const size_t stride = positions_stride(positions_type_tag_);
    if (stride == 0) return unsupported_positions_tag(positions_type_tag_);
    // A view built with a stride that does not match its tag has a positions block too short to
    // read triples of that tag.
    if (positions_len_ != n_atoms_ * stride) return invalid_section("positions");
    const uint8_t* const triple = bytes().data() + kPositionsOffset + index * stride;
    atom::Atom atom;
    for (size_t k = 0; k < 3; ++k) {
        atom.position[k] = stride == kF32TripleBytes
                               ? coding::load<float>(triple + 4 * k)
                               : static_cast<float>(coding::load<double>(triple + 8 * k));
    }
    atom.atomic_number = atomic_numbers()[index];
    return std::optional<atom::Atom>(atom);
}

Result<bool, std::string> SoaMoleculeView::same_schema_as(const SoaMoleculeView& other) const {
    if (positions_type_tag_ != other.positions_type_tag_) return false;
    for (BuiltinField field : kSchemaOrder) {
        if (slot(field) != other.slot(field)) return false;
    }
    if (sections_.size() != other.sections_.size()) return false;
    for (size_t i = 0; i < sections_.size(); ++i) {
        const LazySection& a = sections_[i];
        const LazySection& b = other.sections_[i];
        if (a.kind != b.kind || a.type_tag != b.type_tag || a.payload_len != b.payload_len) {
            return false;
        }
        auto key_a = lazy_section_key(a);
        if (!key_a.ok()) return std::move(key_a).error();
        auto key_b = other.lazy_section_key(b);
        if (!key_b.ok()) return std::move(key_b).error();
        if (key_a.value() != key_b.value()) return false;
    }
    return true;
}

Result<const LazySection*, std::string> SoaMoleculeView::find_section(uint8_t kind,
                                                                      std::string_view key) const {
    for (const LazySection& section : sections_) {
        if (section.kind != kind) continue;
        auto section_key = lazy_section_key(section);
        if (!section_key.ok()) return std::move(section_key).error();
        if (section_key.value() == key) return &section;
    }
    return static_cast<const LazySection*>(nullptr);
}

Result<std::vector<std::string_view>, std::string> SoaMoleculeView::section_keys(
    uint8_t kind) const {
    std::vector<std::string_view> keys;
    for (const LazySection& section : sections_) {
        if (section.kind != kind) continue;
        auto key = lazy_section_key(section);
        if (!key.ok()) return std::move(key).error();
        keys.push_back(key.value());
    }
    return keys;
}

// --- Array field readers ---

Result<ArrayField, std::string> SoaMoleculeView::positions_field() const {
    const size_t stride = positions_stride(positions_type_tag_);
    if (stride == 0 || positions_len_ != n_atoms_ * stride) return invalid_section("positions");
    const ElemType elem = stride == kF32TripleBytes ? ElemType::kF32 : ElemType::kF64;
    return array_field(positions_bytes(), elem, n_atoms_, 3);
}

Result<ArrayField, std::string> SoaMoleculeView::vec3_slot_field(const BuiltinSlot& slot,
                                                                 std::string_view label) const {
    // n_atoms < 2^32, so the products fit 64 bits.
    const size_t stride = positions_stride(slot.type_tag);
    if (stride == 0 || slot.payload_len != uint64_t{n_atoms_} * stride) {
        return invalid_section(label);
    }
    const ElemType elem = stride == kF32TripleBytes ? ElemType::kF32 : ElemType::kF64;
    return array_field(payload(slot), elem, n_atoms_, 3);
}

Result<ArrayField, std::string> SoaMoleculeView::float_array_slot_field(
    const BuiltinSlot& slot, std::string_view label) const {
    ElemType elem;
    if (slot.type_tag == dtypes::kTagF64Array) {
        elem = ElemType::kF64;
    } else if (slot.type_tag == dtypes::kTagF32Array) {
        elem = ElemType::kF32;
    } else {
        return invalid_section(label);
    }
    if (slot.payload_len != uint64_t{n_atoms_} * elem_size(elem)) return invalid_section(label);
    return array_field(payload(slot), elem, n_atoms_, 0);
}

Result<ArrayField, std::string> SoaMoleculeView::mat3_slot_field(const BuiltinSlot& slot,
                                                                 std::string_view label) const {
    ElemType elem;
    if (slot.type_tag == dtypes::kTagMat3F64) {
        elem = ElemType::kF64;
    } else if (slot.type_tag == dtypes::kTagMat3F32) {
        elem = ElemType::kF32;
    } else {
        return invalid_section(label);
    }
    if (slot.payload_len != 9 * elem_size(elem)) return invalid_section(label);
    return array_field(payload(slot), elem, 3, 3);
}

Result<PropertyField, std::string> SoaMoleculeView::property_section_field(
    const LazySection& section) const {
    const std::span<const uint8_t> p = payload(section);
    switch (section.type_tag) {
        case dtypes::kTagF64:
            if (p.size() != 8) return std::string("Invalid f64 payload length");
            return PropertyField(coding::load<double>(p.data()));
        case dtypes::kTagI64:
            if (p.size() != 8) return std::string("Invalid i64 payload length");
            return PropertyField(coding::load<int64_t>(p.data()));
        case dtypes::kTagString:
            if (!is_valid_utf8(p)) return std::string("Invalid UTF-8 in string property");
            return PropertyField(
                std::string_view(reinterpret_cast<const char*>(p.data()), p.size()));
        case dtypes::kTagF64Array:
            return flat_array(p, ElemType::kF64);
        case dtypes::kTagVec3F32:
            if (p.size() % kF32TripleBytes != 0) {
                return std::string("Invalid vec3<f32> payload length");
            }
            return PropertyField(array_field(p, ElemType::kF32, p.size() / kF32TripleBytes, 3));
        case dtypes::kTagI64Array:
            return flat_array(p, ElemType::kI64);
        case dtypes::kTagF32Array:
            return flat_array(p, ElemType::kF32);
        case dtypes::kTagVec3F64:
            if (p.size() % kF64TripleBytes != 0) {
                return std::string("Invalid vec3<f64> payload length");
            }
            return PropertyField(array_field(p, ElemType::kF64, p.size() / kF64TripleBytes, 3));
        case dtypes::kTagI32Array:
            return flat_array(p, ElemType::kI32);
        case dtypes::kTagNull:
            if (!p.empty()) return std::string("Null property payload must be empty");
            return PropertyField(std::monostate());
        default:
            break;
    }
    return "Unsupported property type tag " + std::to_string(section.type_tag);
}

// --- Decoders ---

Result<types::Vec3Data, std::string> py_decode_vec3_data(std::span<const uint8_t> payload,
                                                         uint8_t type_tag, std::string_view label) {
    if (type_tag == dtypes::kTagVec3F32) {
        if (payload.size() % kF32TripleBytes != 0) {
            return std::string("Invalid vec3<f32> payload length");
        }
        return types::Vec3Data(copy_elements<types::Vec3f>(payload));
    }
    if (type_tag == dtypes::kTagVec3F64) {
        if (payload.size() % kF64TripleBytes != 0) {
            return std::string("Invalid vec3<f64> payload length");
        }
        return types::Vec3Data(copy_elements<types::Vec3d>(payload));
    }
    return unsupported_tag(label, type_tag);
}

Result<types::Mat3Data, std::string> py_decode_mat3_data(std::span<const uint8_t> payload,
                                                         uint8_t type_tag, std::string_view label) {
    if (type_tag == dtypes::kTagMat3F64) {
        if (payload.size() != sizeof(types::Mat3d)) {
            return std::string("Invalid mat3x3<f64> payload length");
        }
        return types::Mat3Data(coding::load<types::Mat3d>(payload.data()));
    }
    if (type_tag == dtypes::kTagMat3F32) {
        if (payload.size() != sizeof(types::Mat3f)) {
            return std::string("Invalid mat3x3<f32> payload length");
        }
        return types::Mat3Data(coding::load<types::Mat3f>(payload.data()));
    }
    return unsupported_tag(label, type_tag);
}

Result<types::PropertyValue, std::string> decode_property_value(uint8_t type_tag,
                                                                std::span<const uint8_t> payload) {
    using types::PropertyValue;
    auto multiple = [&](size_t size) { return payload.size() % size == 0; };
    switch (type_tag) {
        case dtypes::kTagF64:
            if (payload.size() != 8) return std::string("Invalid f64 payload length");
            return PropertyValue(coding::load<double>(payload.data()));
        case dtypes::kTagI64:
            if (payload.size() != 8) return std::string("Invalid i64 payload length");
            return PropertyValue(coding::load<int64_t>(payload.data()));
        case dtypes::kTagString:
            if (!is_valid_utf8(payload)) return std::string("Invalid UTF-8 in string property");
            return PropertyValue(std::in_place_index<types::kString>,
                                 reinterpret_cast<const char*>(payload.data()), payload.size());
        case dtypes::kTagF64Array:
            if (!multiple(8)) return std::string("Invalid f64 array payload length");
            return PropertyValue(copy_elements<double>(payload));
        case dtypes::kTagVec3F32:
            if (!multiple(12)) return std::string("Invalid vec3<f32> payload length");
            return PropertyValue(copy_elements<types::Vec3f>(payload));
        case dtypes::kTagI64Array:
            if (!multiple(8)) return std::string("Invalid i64 array payload length");
            return PropertyValue(copy_elements<int64_t>(payload));
        case dtypes::kTagF32Array:
            if (!multiple(4)) return std::string("Invalid f32 array payload length");
            return PropertyValue(copy_elements<float>(payload));
        case dtypes::kTagVec3F64:
            if (!multiple(24)) return std::string("Invalid vec3<f64> payload length");
            return PropertyValue(copy_elements<types::Vec3d>(payload));
        case dtypes::kTagI32Array:
            if (!multiple(4)) return std::string("Invalid i32 array payload length");
            return PropertyValue(copy_elements<int32_t>(payload));
        case dtypes::kTagNull:
            if (!payload.empty()) return std::string("Null property payload must be empty");
            return PropertyValue(std::monostate());
        default:
            break;
    }
    return "Unsupported property type tag " + std::to_string(type_tag);
}

// --- Whole-record decoders ---

Result<atom::Molecule, std::string> SoaMoleculeView::materialize() const {
    auto molecule = materialize_atoms();
    if (!molecule.ok()) return molecule;
    if (auto failure = materialize_builtins(molecule.value())) return std::move(*failure);
    if (auto failure = materialize_properties(molecule.value())) return std::move(*failure);
    return molecule;
}

Result<atom::Molecule, std::string> SoaMoleculeView::materialize_atoms() const {
    const std::span<const uint8_t> numbers_bytes = atomic_numbers();
    std::vector<uint8_t> numbers(numbers_bytes.begin(), numbers_bytes.end());

    const size_t stride = positions_stride(positions_type_tag_);
    if (stride == 0) return unsupported_positions_tag(positions_type_tag_);
    if (positions_len_ != n_atoms_ * stride) return invalid_section("positions");
    auto created = stride == kF32TripleBytes
                       ? atom::Molecule::create(copy_elements<types::Vec3f>(positions_bytes()),
                                                std::move(numbers))
                       : atom::Molecule::create_f64(copy_elements<types::Vec3d>(positions_bytes()),
                                                    std::move(numbers));
    if (!created.ok()) return std::move(created).error();
    return std::move(created).value();
}

std::optional<std::string> SoaMoleculeView::materialize_builtins(atom::Molecule& molecule) const {
    if (const auto& s = slot(BuiltinField::kCharges)) {
        const std::span<const uint8_t> p = payload(*s);
        if (s->type_tag == dtypes::kTagF64Array) {
            if (p.size() % 8 != 0) return std::string("Invalid f64 array payload length");
            molecule.charges = types::FloatArrayData(copy_elements<double>(p));
        } else if (s->type_tag == dtypes::kTagF32Array) {
            if (p.size() % 4 != 0) return std::string("Invalid f32 array payload length");
            molecule.charges = types::FloatArrayData(copy_elements<float>(p));
        } else {
            return unsupported_tag("charges", s->type_tag);
        }
    }
    if (const auto& s = slot(BuiltinField::kCell)) {
        auto cell = py_decode_mat3_data(payload(*s), s->type_tag, "cell");
        if (!cell.ok()) return std::move(cell).error();
        molecule.cell = cell.value();
    }
    if (const auto& s = slot(BuiltinField::kEnergy)) {
        const std::span<const uint8_t> p = payload(*s);
        if (s->type_tag == dtypes::kTagF64) {
            if (p.size() != 8) return std::string("Invalid f64 payload length");
            molecule.energy = types::FloatScalarData(coding::load<double>(p.data()));
        } else if (s->type_tag == dtypes::kTagF32) {
            if (p.size() != 4) return std::string("Invalid f32 payload length");
            molecule.energy = types::FloatScalarData(coding::load<float>(p.data()));
        } else {
            return unsupported_tag("energy", s->type_tag);
        }
    }
    if (const auto& s = slot(BuiltinField::kForces)) {
        auto forces = py_decode_vec3_data(payload(*s), s->type_tag, "forces");
        if (!forces.ok()) return std::move(forces).error();
        molecule.forces = std::move(forces).value();
    }
    if (const auto& s = slot(BuiltinField::kName)) {
        const std::span<const uint8_t> p = payload(*s);
        if (!is_valid_utf8(p)) return std::string("Invalid UTF-8 in name");
        molecule.name.emplace(reinterpret_cast<const char*>(p.data()), p.size());
    }
    if (slot(BuiltinField::kPbc)) {
        auto flags = pbc();
        if (!flags.ok()) return std::move(flags).error();
        molecule.pbc = *flags.value();
    }
    if (const auto& s = slot(BuiltinField::kStress)) {
        auto stress = py_decode_mat3_data(payload(*s), s->type_tag, "stress");
        if (!stress.ok()) return std::move(stress).error();
        molecule.stress = stress.value();
    }
    if (const auto& s = slot(BuiltinField::kVelocities)) {
        auto velocities = py_decode_vec3_data(payload(*s), s->type_tag, "velocities");
        if (!velocities.ok()) return std::move(velocities).error();
        molecule.velocities = std::move(velocities).value();
    }
    return std::nullopt;
}

std::optional<std::string> SoaMoleculeView::materialize_properties(atom::Molecule& molecule) const {
    for (const LazySection& section : sections_) {
        auto key = lazy_section_key(section);
        if (!key.ok()) return std::move(key).error();
        atom::PropertyMap* map = nullptr;
        if (section.kind == dtypes::kKindAtomProperty) {
            map = &molecule.atom_properties;
        } else if (section.kind == dtypes::kKindMolProperty) {
            map = &molecule.properties;
        } else {
            continue;
        }
        auto value = decode_property_value(section.type_tag, payload(section));
        if (!value.ok()) return std::move(value).error();
        // Of a repeated key within one kind the last section wins.
        map->insert_or_assign(std::string(key.value()), std::move(value).value());
    }
    return std::nullopt;
}

Result<storage::DatabaseSchema, std::string> SoaMoleculeView::database_schema() const {
    storage::DatabaseSchema schema;
    schema.sections.reserve(kBuiltinFieldCount + sections_.size());
    for (BuiltinField field : kSchemaOrder) {
        const auto& s = slot(field);
        if (!s) continue;
        auto section = database_schema_section(dtypes::kKindBuiltin, builtin_key(field),
                                               s->type_tag, s->payload_len, n_atoms_);
        if (!section.ok()) return std::move(section).error();
        schema.sections.push_back(std::move(section).value());
    }
    for (const LazySection& listed : sections_) {
        auto key = lazy_section_key(listed);
        if (!key.ok()) return std::move(key).error();
        auto section = database_schema_section(listed.kind, key.value(), listed.type_tag,
                                               listed.payload_len, n_atoms_);
        if (!section.ok()) return std::move(section).error();
        schema.sections.push_back(std::move(section).value());
    }
    schema.positions_type = positions_type_tag_;
    return schema;
}

}  // namespace kestrove::view
