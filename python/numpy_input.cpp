// Python arguments into data-model values: classified arrays, built-in fields, property values.
#include "python/numpy_input.hpp"

#include <array>

namespace kestrove_rs::numpy_input {

namespace types = kestrove::types;
using numpy::Dtype;

static_assert(sizeof(types::Vec3f) == 12 && sizeof(types::Vec3d) == 24);
static_assert(sizeof(types::Mat3f) == 36 && sizeof(types::Mat3d) == 72);

namespace {

std::string str(std::string_view text) { return std::string(text); }

std::string rows_text(std::optional<size_t> rows) {
    return rows ? std::to_string(*rows) : std::string("n");
}

// The triples of a (rows, 3) array of element type T.
template <class T>
std::vector<std::array<T, 3>> copy_triples(PyObject* array) {
    std::vector<std::array<T, 3>> out(static_cast<size_t>(numpy::dim(array, 0)));
    numpy::copy_logical(array, out.data(), out.size() * sizeof(out[0]));
    return out;
}

}  // namespace

Parsed<types::Vec3Data> parse_vec3_data(const PyFloatArray2& array, std::string_view name,
                                        std::optional<size_t> expected_rows) {
    PyObject* a = array.get();
    const auto rows = static_cast<size_t>(numpy::dim(a, 0));
    if (numpy::dim(a, 1) != 3 || (expected_rows && rows != *expected_rows)) {
        return ParseError{str(name) + " must have shape (" + rows_text(expected_rows) + ", 3)"};
    }
    if (array.is_first()) return types::Vec3Data(copy_triples<float>(a));
    return types::Vec3Data(copy_triples<double>(a));
}

Parsed<types::Vec3Data> parse_positions_field(PyObject* object) {
    const auto array = PyFloatArray2::from_any(object);
    if (!array.matched()) {
        return ParseError{"positions must be a float32 or float64 ndarray with shape (n_atoms, 3)"};
    }
    return parse_vec3_data(array, "positions", std::nullopt);
}

Parsed<types::Vec3Data> parse_vec3_field(PyObject* object, std::string_view name, size_t n_atoms) {
    const auto array = PyFloatArray2::from_any(object);
    if (!array.matched()) {
        return ParseError{str(name) + " must be a float32 or float64 ndarray with shape (" +
                          std::to_string(n_atoms) + ", 3)"};
    }
    return parse_vec3_data(array, name, n_atoms);
}

Parsed<types::FloatArrayData> parse_float_array_field(PyObject* object, std::string_view name,
                                                      size_t n_atoms) {
    const auto array = PyFloatArray1::from_any(object);
    if (!array.matched()) {
        return ParseError{str(name) + " must be a float32 or float64 ndarray with shape (" +
                          std::to_string(n_atoms) + ",)"};
    }
    const auto length = static_cast<size_t>(numpy::size(array.get()));
    if (length != n_atoms) {
        return ParseError{str(name) + " length (" + std::to_string(length) +
                          ") doesn't match atom count (" + std::to_string(n_atoms) + ")"};
    }
    if (array.is_first()) return types::FloatArrayData(copy_array<float>(array.get()));
    return types::FloatArrayData(copy_array<double>(array.get()));
}

Parsed<types::Mat3Data> parse_mat3_field(PyObject* object, std::string_view name) {
    const auto array = PyFloatArray2::from_any(object);
    if (!array.matched()) {
        return ParseError{str(name) + " must be a float32 or float64 ndarray with shape (3, 3)"};
    }
    PyObject* a = array.get();
    if (numpy::dim(a, 0) != 3 || numpy::dim(a, 1) != 3) {
        return ParseError{str(name) + " must have shape (3, 3)"};
    }
    if (array.is_first()) {
        types::Mat3f m;
        numpy::copy_logical(a, m.data(), sizeof m);
        return types::Mat3Data(m);
    }
    types::Mat3d m;
    numpy::copy_logical(a, m.data(), sizeof m);
    return types::Mat3Data(m);
}

namespace {

// Step 2 of the property attempts: int (bool included) or __index__, fitting 64 bits. Nothing
// when the attempt does not match; an exception that is no failed attempt stays set.
std::optional<int64_t> as_i64(PyObject* object) {
    binding::PyRef index;
    if (!PyLong_Check(object)) {
        index = binding::PyRef::steal(PyNumber_Index(object));
        if (!index) return binding::discard_failed_attempt(), std::nullopt;
        object = index.get();
    }
    const long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred()) return binding::discard_failed_attempt(), std::nullopt;
    return static_cast<int64_t>(value);
}

// Step 3: whatever the interpreter's float conversion accepts; as above.
std::optional<double> as_f64(PyObject* object) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return binding::discard_failed_attempt(), std::nullopt;
    return value;
}

}  // namespace

Parsed<types::PropertyValue> parse_property_value(PyObject* object) {
    if (object == Py_None) return types::PropertyValue(std::monostate{});

    // An array with dimensions stays an array: its scalar conversions would turn a one-element
    // int64 array into a float, and a one-element float array into a scalar.
    const bool dimensioned_array = numpy::is_array(object) && numpy::ndim(object) >= 1;
    if (!dimensioned_array) {
        if (auto value = as_i64(object)) return types::PropertyValue(*value);
        if (PyErr_Occurred()) return ParseError{};
        if (auto value = as_f64(object)) return types::PropertyValue(*value);
        if (PyErr_Occurred()) return ParseError{};
    }
    if (PyUnicode_Check(object)) {
        Py_ssize_t len = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(object, &len);
        if (utf8 != nullptr) {
            return types::PropertyValue(std::string(utf8, static_cast<size_t>(len)));
        }
        PyErr_Clear();  // lone surrogates: not text that can be stored
    }
    if (const auto floats = PyFloatArray1::from_any(object); floats.matched()) {
        if (floats.is_first()) return types::PropertyValue(copy_array<float>(floats.get()));
        return types::PropertyValue(copy_array<double>(floats.get()));
    }
    if (const auto ints = PyIntArray1::from_any(object); ints.matched()) {
        if (ints.is_first()) return types::PropertyValue(copy_array<int32_t>(ints.get()));
        return types::PropertyValue(copy_array<int64_t>(ints.get()));
    }
    if (const auto rows = PyFloatArray2::from_any(object); rows.matched()) {
        if (numpy::dim(rows.get(), 1) != 3) {
            return ParseError{"Vec3Array properties must have shape (n, 3)"};
        }
        if (rows.is_first()) return types::PropertyValue(copy_triples<float>(rows.get()));
        return types::PropertyValue(copy_triples<double>(rows.get()));
    }
    return ParseError{"Unsupported property type. Supported: None, float, int, str, ndarray"};
}

}  // namespace kestrove_rs::numpy_input
