// Stored values out to Python: new NumPy arrays for array fields and array properties, Python
// scalars for the rest. Every array is new, C-contiguous and writable, and shares no memory with
// a molecule, a record or a memory map.
#pragma once

#include "python/binding.hpp"

#include <cstddef>
#include <cstdint>

#include "engine/types.hpp"
#include "engine/view/record_view.hpp"

namespace kestrove_rs::numpy_output {

// An array of `count` elements of type tag `tag` (3, 4, 5, 6, 7, 8, 10 or 12) from `bytes`,
// which hold count * the tag's element size bytes at any alignment, copied once: (count,) for
// the array tags, (count, 3) for the triple tags, (3, 3) for the matrix tags (count 1). Any
// other tag is a SystemError. Null with an exception set on failure.
PyObject* array_from_tag(uint8_t tag, const void* bytes, size_t count);

// (n, 3) float32 or float64, as the data's precision.
PyObject* owned_vec3_array(const kestrove::types::Vec3Data& data);
// (n,) float32 or float64.
PyObject* owned_float_array(const kestrove::types::FloatArrayData& data);
// (3, 3) float32 or float64; row r of the array is row r of the matrix.
PyObject* owned_mat3x3_array(const kestrove::types::Mat3Data& data);

// The Python value of an owned molecule's custom property: None, float, int, str or a new array.
PyObject* property_value_to_pyobject(const kestrove::types::PropertyValue& value);

// A field read in place from a record, copied once into a new array of its shape and element
// type (the record's bytes may lie at any alignment).
PyObject* view_array_field(const kestrove::view::ArrayField& field);

// The Python value of a custom section read in place: None, float, int, str or a new array.
PyObject* property_field_to_pyobject(const kestrove::view::PropertyField& field);

}  // namespace kestrove_rs::numpy_output
