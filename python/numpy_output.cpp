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

// The element type and row width of every array tag; cols 0 means a 1-D array.
struct ArrayTag {
    Dtype dtype;
    Py_ssize_t cols;
    bool matrix;
};

bool array_tag(uint8_t tag, ArrayTag& out) {
    switch (tag) {
        case dtypes::kTagF64Array: out = {Dtype::kFloat64, 0, false}; return true;
        case dtypes::kTagVec3F32: out = {Dtype::kFloat32, 3, false}; return true;
        case dtypes::kTagI64Array: out = {Dtype::kInt64, 0, false}; return true;
        case dtypes::kTagF32Array: out = {Dtype::kFloat32, 0, false}; return true;
        case dtypes::kTagVec3F64: out = {Dtype::kFloat64, 3, false}; return true;
        case dtypes::kTagI32Array: out = {Dtype::kInt32, 0, false}; return true;
        case dtypes::kTagMat3F64: out = {Dtype::kFloat64, 3, true}; return true;
        case dtypes::kTagMat3F32: out = {Dtype::kFloat32, 3, true}; return true;
        default: return false;
    }
}

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

}  // namespace

PyObject* array_from_tag(uint8_t tag, const void* bytes, size_t count) {
    ArrayTag info;
    if (!array_tag(tag, info)) {
        PyErr_Format(PyExc_SystemError, "type tag %d is not an array tag", static_cast<int>(tag));
        return nullptr;
    }
    const auto n = static_cast<Py_ssize_t>(count);
    if (info.matrix) {
        const Py_ssize_t shape[2] = {3, 3};
        return numpy::new_array(info.dtype, shape, bytes);
    }
    if (info.cols == 0) {
        const Py_ssize_t shape[1] = {n};
        return numpy::new_array(info.dtype, shape, bytes);
    }
    const Py_ssize_t shape[2] = {n, info.cols};
    return numpy::new_array(info.dtype, shape, bytes);
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
    return std::visit(
        [](const auto& v) -> PyObject* {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, std::monostate>) {
                Py_RETURN_NONE;
            } else if constexpr (std::is_same_v<V, double>) {
                return PyFloat_FromDouble(v);
            } else if constexpr (std::is_same_v<V, int64_t>) {
                return PyLong_FromLongLong(v);
            } else if constexpr (std::is_same_v<V, std::string>) {
                return binding::to_py_str(v);
            } else if constexpr (std::is_same_v<V, std::vector<types::Vec3f>> ||
                                 std::is_same_v<V, std::vector<types::Vec3d>>) {
                return triples_array(v);
            } else {
                return vector_array(v);
            }
        },
        value);
}

}  // namespace kestrove_rs::numpy_output
