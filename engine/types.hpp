// Precision-tagged value containers and the custom property value.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace kestrove::types {

using Vec3f = std::array<float, 3>;
using Vec3d = std::array<double, 3>;
// Nine values row by row: [0][0], [0][1], [0][2], [1][0], ... [2][2].
using Mat3f = std::array<float, 9>;
using Mat3d = std::array<double, 9>;

// Each container keeps the precision its caller supplied: index 0 single, index 1 double. The
// variant index is part of the compact serialised form.
using Vec3Data = std::variant<std::vector<Vec3f>, std::vector<Vec3d>>;
using FloatArrayData = std::variant<std::vector<float>, std::vector<double>>;
using FloatScalarData = std::variant<float, double>;
using Mat3Data = std::variant<Mat3f, Mat3d>;

enum Precision : size_t { kF32 = 0, kF64 = 1 };

// Number of triples (Vec3Data) or values (FloatArrayData).
inline size_t data_len(const Vec3Data& data) {
    return std::visit([](const auto& v) { return v.size(); }, data);
}
inline size_t data_len(const FloatArrayData& data) {
    return std::visit([](const auto& v) { return v.size(); }, data);
}

// The value of one custom property. The variant index is the one of the compact serialised form;
// the record type tag is the index minus one, and 13 for Null.
using PropertyValue = std::variant<std::monostate,         // 0 Null
                                   double,                 // 1 Float
                                   int64_t,                // 2 Int
                                   std::string,            // 3 String
                                   std::vector<double>,    // 4 FloatArray
                                   std::vector<Vec3f>,     // 5 Vec3Array
                                   std::vector<int64_t>,   // 6 IntArray
                                   std::vector<float>,     // 7 Float32Array
                                   std::vector<Vec3d>,     // 8 Vec3ArrayF64
                                   std::vector<int32_t>>;  // 9 Int32Array

enum PropertyVariant : size_t {
    kNull = 0,
    kFloat = 1,
    kInt = 2,
    kString = 3,
    kFloatArray = 4,
    kVec3Array = 5,
    kIntArray = 6,
    kFloat32Array = 7,
    kVec3ArrayF64 = 8,
    kInt32Array = 9,
};

}  // namespace kestrove::types
