// Stored values out to Python as new NumPy arrays and Python scalars.
#include "python/numpy_output.hpp"

#include <array>
#include <type_traits>

#include "engine/storage/dtypes.hpp"
#include "python/numpy_bridge.hpp"

namespace kestrove_rs::numpy_output {

namespace types = kestrove::types;
namespace dtypes = kestrove::storage::dtypes;
using numpy::Dtype;

namespace {

// The arrays of the array type tags: element type and shape.
enum class Shape : uint8_t { kVector, kTriples, kMatrix };

struct ArrayTag {
    uint8_t tag;
    Dtype dtype;
    Shape shape;
};

constexpr ArrayTag kArrayTags[] = {
    {dtypes::kTagF64Array, Dtype::kFloat64, Shape::kVector},
    {dtypes::kTagVec3F32, Dtype::kFloat32, Shape::kTriples},
    {dtypes::kTagI64Array, Dtype::kInt64, Shape::kVector},
    {dtypes::kTagF32Array, Dtype::kFloat32, Shape::kVector},
    {dtypes::kTagVec3F64, Dtype::kFloat64, Shape::kTriples},
    {dtypes::kTagI32Array, Dtype::kInt32, Shape::kVector},
    {dtypes::kTagMat3F64, Dtype::kFloat64, Shape::kMatrix},
    {dtypes::kTagMat3F32, Dtype::kFloat32, Shape::kMatrix},
};

// The element type of a vector's elements, arrays of them included.
template <class T>
constexpr Dtype dtype_of() {
    if constexpr (std::is_same_v<T, float>) return Dtype::kFloat32;
    if constexpr (std::is_same_v<T, double>) return Dtype::kFloat64;
    if constexpr (std::is_same_v<T, int32_t>) return Dtype::kInt32;
    if constexpr (std::is_same_v<T, int64_t>) return Dtype::kInt64;
}

template <class T>
PyObject* vector_array(const std::vector<T>& values) {
    const Py_ssize_t shape[1] = {static_cast<Py_ssize_t>(values.size())};
    return numpy::new_array(dtype_of<T>(), shape, values.data());
}

template <class T>
PyObject* triples_array(const std::vector<std::array<T, 3>>& values) {
    static_assert(sizeof(std::array<T, 3>) == 3 * sizeof(T));
    const Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(values.size()), 3};
    return numpy::new_array(dtype_of<T>(), shape, values.data());
}

// A property's value: None, float, int and text as Python scalars, anything else through `array`.
template <class Variant, class ArrayOut>
PyObject* scalar_or_array(const Variant& value, ArrayOut array) {
    return std::visit(
        [&](const auto& v) -> PyObject* {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                Py_RETURN_NONE;
            } else if constexpr (std::is_same_v<T, double>) {
                return PyFloat_FromDouble(v);
            } else if constexpr (std::is_same_v<T, int64_t>) {
                return PyLong_FromLongLong(v);
            } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
                return binding::to_py_str(v);
            } else {
                return array(v);
            }
        },
        value);
}

}  // namespace

PyObject* array_from_tag(uint8_t tag, const void* bytes, size_t count) {
    for (const ArrayTag& entry : kArrayTags) {
        if (entry.tag != tag) continue;
        const auto n = static_cast<Py_ssize_t>(count);
        const Py_ssize_t shape[2] = {entry.shape == Shape::kMatrix ? 3 : n, 3};
        const size_t rank = entry.shape == Shape::kVector ? 1 : 2;
        return numpy::new_array(entry.dtype, std::span<const Py_ssize_t>(shape, rank), bytes);
    }
    PyErr_Format(PyExc_SystemError, "type tag %d is not an array tag", static_cast<int>(tag));
    return nullptr;
}

PyObject* owned_vec3_array(const types::Vec3Data& data) {
    return std::visit([](const auto& v) { return triples_array(v); }, data);
}

PyObject* owned_float_array(const types::FloatArrayData& data) {
    return std::visit([](const auto& v) { return vector_array(v); }, data);
}

PyObject* owned_mat3x3_array(const types::Mat3Data& data) {
    return std::visit(
        [](const auto& m) {
            using T = typename std::decay_t<decltype(m)>::value_type;
            const Py_ssize_t shape[2] = {3, 3};
            return numpy::new_array(dtype_of<T>(), shape, m.data());
        },
        data);
}

PyObject* property_value_to_pyobject(const types::PropertyValue& value) {
    // Arrays leave as the type tag a record would store them under.
    return scalar_or_array(value, [&](const auto& v) {
        return array_from_tag(dtypes::property_type_tag(value), v.data(), v.size());
    });
}

PyObject* view_array_field(const kestrove::view::ArrayField& field) {
    using kestrove::view::ElemType;
    numpy::Dtype dtype = numpy::Dtype::kFloat64;
    switch (field.elem) {
        case ElemType::kF32:
            dtype = numpy::Dtype::kFloat32;
            break;
        case ElemType::kF64:
            dtype = numpy::Dtype::kFloat64;
            break;
        case ElemType::kI32:
            dtype = numpy::Dtype::kInt32;
            break;
        case ElemType::kI64:
            dtype = numpy::Dtype::kInt64;
            break;
    }
    // The readers size `bytes` from the shape; a mismatch would read past the record.
    auto mismatch = [] {
        PyErr_SetString(PyExc_SystemError, "array field does not match its bytes");
        return nullptr;
    };
    if (field.ndim < 1 || field.ndim > field.shape.size()) return mismatch();
    Py_ssize_t shape[2];
    size_t elements = 1;
    for (size_t d = 0; d < field.ndim; ++d) {
        shape[d] = static_cast<Py_ssize_t>(field.shape[d]);
        elements *= field.shape[d];
    }
    if (elements * numpy::dtype_size(dtype) != field.bytes.size()) return mismatch();
    return numpy::new_array(dtype, std::span<const Py_ssize_t>(shape, field.ndim),
                            field.bytes.data());
}

PyObject* property_field_to_pyobject(const kestrove::view::PropertyField& field) {
    return scalar_or_array(field, [](const auto& v) { return view_array_field(v); });
}

}  // namespace kestrove_rs::numpy_output
