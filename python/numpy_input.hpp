// Python arguments into data-model values: NumPy arrays classified by dimension and element
// type, the built-in array fields of a molecule, and custom property values. Nothing is cast or
// converted between element types, and no result shares memory with its input.
#pragma once

#include "python/binding.hpp"
#include "python/numpy_bridge.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "engine/types.hpp"

namespace kestrove_rs::numpy_input {

// A parse failure: the text of the ValueError the caller raises, unless a Python exception is
// set already (one raised by the argument's own code that is no failed attempt), which then
// propagates as it is.
struct ParseError {
    std::string message;
};

template <class T>
using Parsed = kestrove::Result<T, ParseError>;

// An object classified as an array of `Dims` dimensions whose element type is equivalent to
// `First` (tested first) or `Second`. Holds a new reference to the array, or nothing when the
// object is not such an array. Contiguity, alignment and writability are not looked at.
template <int Dims, numpy::Dtype First, numpy::Dtype Second>
class ClassifiedArray {
public:
    // Never fails.
    static ClassifiedArray from_any(PyObject* object) {
        ClassifiedArray result;
        if (!numpy::is_array(object) || numpy::ndim(object) != Dims) return result;
        result.dtype_ = numpy::match_dtype(object, {First, Second});
        if (result.dtype_) result.array_ = binding::PyRef::borrow(object);
        return result;
    }

    bool matched() const { return dtype_.has_value(); }
    // The matched element type; only when matched().
    numpy::Dtype dtype() const { return *dtype_; }
    bool is_first() const { return dtype_ == First; }
    PyObject* get() const { return array_.get(); }

private:
    binding::PyRef array_;
    std::optional<numpy::Dtype> dtype_;
};

using PyIntArray1 = ClassifiedArray<1, numpy::Dtype::kInt32, numpy::Dtype::kInt64>;
using PyFloatArray1 = ClassifiedArray<1, numpy::Dtype::kFloat32, numpy::Dtype::kFloat64>;
using PyFloatArray2 = ClassifiedArray<2, numpy::Dtype::kFloat32, numpy::Dtype::kFloat64>;
using PyFloatArray3 = ClassifiedArray<3, numpy::Dtype::kFloat32, numpy::Dtype::kFloat64>;

// All elements of an array whose element type is T's (checked by the caller), in logical order.
template <class T>
std::vector<T> copy_array(PyObject* array) {
    std::vector<T> out(static_cast<size_t>(numpy::size(array)));
    numpy::copy_logical(array, out.data(), out.size() * sizeof(T));
    return out;
}

// The rows of a classified (rows, cols) float array as triples: "{name} must have shape
// ({expected_rows or n}, 3)" when it has not three columns or, with `expected_rows`, another
// row count. The column test comes first.
Parsed<kestrove::types::Vec3Data> parse_vec3_data(const PyFloatArray2& array, std::string_view name,
                                                  std::optional<size_t> expected_rows);

// Positions: a (n, 3) float32 or float64 array, any n.
Parsed<kestrove::types::Vec3Data> parse_positions_field(PyObject* object);

// A (n_atoms, 3) float32 or float64 array.
Parsed<kestrove::types::Vec3Data> parse_vec3_field(PyObject* object, std::string_view name,
                                                   size_t n_atoms);

// A (n_atoms,) float32 or float64 array.
Parsed<kestrove::types::FloatArrayData> parse_float_array_field(PyObject* object,
                                                                std::string_view name,
                                                                size_t n_atoms);

// A (3, 3) float32 or float64 array, read row by row as NumPy shows it.
Parsed<kestrove::types::Mat3Data> parse_mat3_field(PyObject* object, std::string_view name);

// A custom property value, by the first of these that fits: None, a 64-bit integer, a float, a
// str, a 1-D float array, a 1-D integer array, a (n, 3) float array. An array of one or more
// dimensions never becomes a scalar, even when it holds a single element.
Parsed<kestrove::types::PropertyValue> parse_property_value(PyObject* object);

}  // namespace kestrove_rs::numpy_input
