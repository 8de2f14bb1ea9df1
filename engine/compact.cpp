// The compact serialised form of a molecule: the self-contained byte string a pickle carries.
#include "engine/compact.hpp"

#include <array>
#include <cassert>
#include <cstring>
#include <iterator>
#include <optional>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "engine/utf8.hpp"

namespace kestrove::compact {

namespace {

using atom::Molecule;
using atom::PropertyMap;
using types::PropertyValue;

// Element lists are copied as whole blocks: on a little-endian host (asserted in coding.hpp) the
// block holds exactly the little-endian elements one after another, with no padding between.
static_assert(sizeof(types::Vec3f) == 12 && sizeof(types::Vec3d) == 24);
static_assert(sizeof(types::Mat3f) == 36 && sizeof(types::Mat3d) == 72);

// ---------------------------------------------------------------------------------------------
// Encoding. One field walk serves both passes: with a SizeSink it measures, with a
// coding::Writer over the exact-size buffer it writes.

class SizeSink {
public:
    template <class T>
    void put(T) {
        size_ += sizeof(T);
    }
    void put_bytes(const void*, size_t len) { size_ += len; }
    size_t size() const { return size_; }

private:
    size_t size_ = 0;
};

template <class Sink>
void put_text(Sink& out, std::string_view text) {
    out.template put<uint64_t>(text.size());
    out.put_bytes(text.data(), text.size());
}

template <class Sink, class T>
void put_list(Sink& out, const std::vector<T>& list) {
    static_assert(std::is_trivially_copyable_v<T>);
    out.template put<uint64_t>(list.size());
    out.put_bytes(list.data(), list.size() * sizeof(T));
}

template <class Sink>
void put_tag(Sink& out, bool present) {
    out.template put<uint8_t>(present ? 1 : 0);
}

template <class Sink>
void put_variant_index(Sink& out, size_t index) {
    out.template put<uint32_t>(static_cast<uint32_t>(index));
}

// Vec3Data and FloatArrayData: index, count, elements.
template <class Sink, class ListVariant>
void put_list_variant(Sink& out, const ListVariant& data) {
    put_variant_index(out, data.index());
    std::visit([&](const auto& list) { put_list(out, list); }, data);
}

template <class Sink>
void put_scalar(Sink& out, const types::FloatScalarData& data) {
    put_variant_index(out, data.index());
    std::visit([&](auto value) { out.put(value); }, data);
}

template <class Sink>
void put_mat3(Sink& out, const types::Mat3Data& data) {
    put_variant_index(out, data.index());
    std::visit([&](const auto& m) { out.put_bytes(m.data(), sizeof m); }, data);
}

template <class Sink, class T, class PutValue>
void put_optional(Sink& out, const std::optional<T>& value, PutValue put_value) {
    put_tag(out, value.has_value());
    if (value) put_value(*value);
}

template <class Sink>
void put_property(Sink& out, const PropertyValue& value) {
    put_variant_index(out, value.index());
    std::visit(
        [&](const auto& v) {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, std::monostate>) {
            } else if constexpr (std::is_arithmetic_v<V>) {
                out.put(v);
            } else if constexpr (std::is_same_v<V, std::string>) {
                put_text(out, v);
            } else {
                put_list(out, v);
            }
        },
        value);
}

template <class Sink>
void put_map(Sink& out, const PropertyMap& map) {
    out.template put<uint64_t>(map.size());
    for (const auto& [key, value] : map) {
        put_text(out, key);
        put_property(out, value);
    }
}

template <class Sink>
void put_molecule(Sink& out, const Molecule& m) {
    const auto vec3 = [&](const types::Vec3Data& d) { put_list_variant(out, d); };
    const auto mat3 = [&](const types::Mat3Data& d) { put_mat3(out, d); };
    put_optional(out, m.name, [&](const std::string& name) { put_text(out, name); });
    put_list_variant(out, m.positions);
    put_list(out, m.atomic_numbers);
    put_optional(out, m.forces, vec3);
    put_optional(out, m.energy, [&](const types::FloatScalarData& d) { put_scalar(out, d); });
    put_optional(out, m.charges, [&](const types::FloatArrayData& d) { put_list_variant(out, d); });
    put_optional(out, m.velocities, vec3);
    put_optional(out, m.cell, mat3);
    put_optional(out, m.pbc, [&](const std::array<bool, 3>& pbc) {
        for (bool flag : pbc) out.template put<uint8_t>(flag ? 1 : 0);
    });
    put_optional(out, m.stress, mat3);
    put_map(out, m.atom_properties);
    put_map(out, m.properties);
}

// ---------------------------------------------------------------------------------------------
// Decoding.

// Reads the form from the front of an untrusted byte span. Each read either consumes its bytes
// and succeeds, or records the first failure's text and fails; nothing is read after a failure.
class Decoder {
public:
    explicit Decoder(std::span<const uint8_t> in) : pos_(in.data()), end_(in.data() + in.size()) {}

    std::string take_error() { return std::move(error_); }

    template <class T>
    [[nodiscard]] bool read(T& value) {
        static_assert(std::is_trivially_copyable_v<T>);
        if (remaining() < sizeof(T)) return end_of_input();
        value = coding::load<T>(pos_);
        pos_ += sizeof(T);
        return true;
    }

    // An option tag: `present` is set from 0 or 1; any other byte is refused.
    [[nodiscard]] bool read_tag(bool& present) {
        uint8_t tag = 0;
        if (!read(tag)) return false;
        if (tag > 1) return fail("tag for enum is not valid, found " + std::to_string(tag));
        present = tag == 1;
        return true;
    }

    // A u32 variant index below `count`.
    [[nodiscard]] bool read_variant_index(uint32_t count, uint32_t& index) {
        if (!read(index)) return false;
        if (index >= count) {
            return fail("invalid value: integer `" + std::to_string(index) +
                        "`, expected variant index 0 <= i < " + std::to_string(count));
        }
        return true;
    }

    [[nodiscard]] bool read_bool(bool& value) {
        uint8_t byte = 0;
        if (!read(byte)) return false;
        if (byte > 1) {
            return fail("invalid u8 while decoding bool, expected 0 or 1, found " +
                        std::to_string(byte));
        }
        value = byte == 1;
        return true;
    }

    [[nodiscard]] bool read_text(std::string& text) {
        uint64_t len = 0;
        if (!read(len)) return false;
        if (len > remaining()) return end_of_input();
        const std::string_view view(reinterpret_cast<const char*>(pos_), len);
        if (auto fault = utf8_error(view)) return fail("string is not valid utf8: " + *fault);
        text.assign(view);
        pos_ += len;
        return true;
    }

    // A counted list of fixed-size elements. The count is trusted only once the bytes of all its
    // elements are known to be there, so an unbacked count allocates nothing.
    template <class T>
    [[nodiscard]] bool read_list(std::vector<T>& list) {
        static_assert(std::is_trivially_copyable_v<T>);
        uint64_t count = 0;
        if (!read(count)) return false;
        uint64_t len = 0;
        if (__builtin_mul_overflow(count, sizeof(T), &len) || len > remaining()) {
            return end_of_input();
        }
        list.resize(count);
        if (len != 0) std::memcpy(list.data(), pos_, len);
        pos_ += len;
        return true;
    }

    template <class T, size_t N>
    [[nodiscard]] bool read_array(std::array<T, N>& array) {
        if (remaining() < sizeof array) return end_of_input();
        std::memcpy(array.data(), pos_, sizeof array);
        pos_ += sizeof array;
        return true;
    }

private:
    size_t remaining() const { return static_cast<size_t>(end_ - pos_); }
    bool end_of_input() { return fail("io error: unexpected end of file"); }
    bool fail(std::string message) {
        error_ = std::move(message);
        return false;
    }

    const uint8_t* pos_;
    const uint8_t* end_;
    std::string error_;
};

constexpr uint32_t kPrecisionVariants = 2;
constexpr uint32_t kPropertyVariants = std::variant_size_v<PropertyValue>;
static_assert(kPropertyVariants == 10);

// Vec3Data or FloatArrayData: index 0 lists single-precision elements, 1 double.
template <class ListVariant>
bool read_list_variant(Decoder& in, ListVariant& data) {
    uint32_t index = 0;
    if (!in.read_variant_index(kPrecisionVariants, index)) return false;
    if (index == types::kF32) {
        return in.read_list(data.template emplace<types::kF32>());
    }
    return in.read_list(data.template emplace<types::kF64>());
}

bool read_scalar(Decoder& in, types::FloatScalarData& data) {
    uint32_t index = 0;
    if (!in.read_variant_index(kPrecisionVariants, index)) return false;
    if (index == types::kF32) return in.read(data.emplace<types::kF32>());
    return in.read(data.emplace<types::kF64>());
}

bool read_mat3(Decoder& in, types::Mat3Data& data) {
    uint32_t index = 0;
    if (!in.read_variant_index(kPrecisionVariants, index)) return false;
    if (index == types::kF32) return in.read_array(data.emplace<types::kF32>());
    return in.read_array(data.emplace<types::kF64>());
}

bool read_pbc(Decoder& in, std::array<bool, 3>& pbc) {
    // Flag by flag, so that a bad flag is reported before a missing later one.
    for (bool& flag : pbc) {
        if (!in.read_bool(flag)) return false;
    }
    return true;
}

// Reads an optional field: its tag, then, when present, the value with `read_value`.
template <class T, class ReadValue>
bool read_optional(Decoder& in, std::optional<T>& field, ReadValue read_value) {
    bool present;
    if (!in.read_tag(present)) return false;
    if (!present) return true;
    return read_value(in, field.emplace());
}

// Reads the content of alternative I of a property value.
template <size_t I>
bool read_property_content(Decoder& in, PropertyValue& value) {
    auto& v = value.emplace<I>();
    using V = std::decay_t<decltype(v)>;
    if constexpr (std::is_same_v<V, std::monostate>) {
        return true;
    } else if constexpr (std::is_arithmetic_v<V>) {
        return in.read(v);
    } else if constexpr (std::is_same_v<V, std::string>) {
        return in.read_text(v);
    } else {
        return in.read_list(v);
    }
}

bool read_property(Decoder& in, PropertyValue& value) {
    uint32_t index = 0;
    if (!in.read_variant_index(kPropertyVariants, index)) return false;
    using Reader = bool (*)(Decoder&, PropertyValue&);
    static constexpr Reader kReaders[] = {
        read_property_content<0>, read_property_content<1>, read_property_content<2>,
        read_property_content<3>, read_property_content<4>, read_property_content<5>,
        read_property_content<6>, read_property_content<7>, read_property_content<8>,
        read_property_content<9>,
    };
    static_assert(std::size(kReaders) == kPropertyVariants);
    return kReaders[index](in, value);
}

// Entry by entry, a later duplicate key replacing the earlier value. The count reserves nothing,
// and every entry consumes at least twelve bytes, so a huge count ends at the end of the input.
bool read_map(Decoder& in, PropertyMap& map) {
    uint64_t count = 0;
    if (!in.read(count)) return false;
    for (uint64_t i = 0; i < count; ++i) {
        std::string key;
        PropertyValue value;
        if (!in.read_text(key) || !read_property(in, value)) return false;
        map.insert_or_assign(std::move(key), std::move(value));
    }
    return true;
}

bool read_molecule(Decoder& in, Molecule& m) {
    const auto text = [](Decoder& d, std::string& s) { return d.read_text(s); };
    const auto vec3 = [](Decoder& d, types::Vec3Data& v) { return read_list_variant(d, v); };
    const auto floats = [](Decoder& d, types::FloatArrayData& v) {
        return read_list_variant(d, v);
    };
    return read_optional(in, m.name, text) && read_list_variant(in, m.positions) &&
           in.read_list(m.atomic_numbers) && read_optional(in, m.forces, vec3) &&
           read_optional(in, m.energy, read_scalar) && read_optional(in, m.charges, floats) &&
           read_optional(in, m.velocities, vec3) && read_optional(in, m.cell, read_mat3) &&
           read_optional(in, m.pbc, read_pbc) && read_optional(in, m.stress, read_mat3) &&
           read_map(in, m.atom_properties) && read_map(in, m.properties);
}

}  // namespace

size_t serialized_size(const Molecule& molecule) {
    SizeSink sink;
    put_molecule(sink, molecule);
    return sink.size();
}

Bytes serialize_molecule(const Molecule& molecule) {
    Bytes out(serialized_size(molecule));
    coding::Writer writer(out);
    put_molecule(writer, molecule);
    assert(writer.remaining() == 0);
    return out;
}

Result<Molecule, std::string> deserialize_molecule(std::span<const uint8_t> bytes) {
    Decoder in(bytes);
    Molecule molecule;
    if (!read_molecule(in, molecule)) return in.take_error();
    return molecule;
}

}  // namespace kestrove::compact
