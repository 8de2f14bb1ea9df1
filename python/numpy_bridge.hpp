// The extension's only door to the NumPy C API: importing it on first use, element-type tests
// against cached descriptors, copies out of arrays of any layout and new arrays for output.
// No other file includes NumPy's headers; everything here takes and returns plain PyObject*.
// A file that ever needs the C API itself shares this file's API table: it defines
// PY_ARRAY_UNIQUE_SYMBOL as kestrove_rs_ARRAY_API and NO_IMPORT_ARRAY before including
// <numpy/arrayobject.h>, and calls ensure_imported() before its first NumPy call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <utility>

namespace kestrove_rs::numpy {

// The element types the extension reads and writes, always in native (little-endian) order.
enum class Dtype : uint8_t { kUInt8, kBool, kInt32, kInt64, kFloat32, kFloat64, kUInt32 };

constexpr size_t dtype_size(Dtype dtype) {
    switch (dtype) {
        case Dtype::kUInt8:
        case Dtype::kBool:
            return 1;
        case Dtype::kInt32:
        case Dtype::kUInt32:
        case Dtype::kFloat32:
            return 4;
        case Dtype::kInt64:
        case Dtype::kFloat64:
            return 8;
    }
    return 0;
}

// Imports NumPy's C API once per process. Returns false with ImportError (or the import's own
// exception) set when NumPy cannot be imported.
[[nodiscard]] bool ensure_imported();

// Whether `object` is a NumPy array (subclasses included). Never fails: when NumPy cannot be
// imported, no object is an array and the import error is discarded.
bool is_array(PyObject* object);

// For an array only (is_array true): its number of dimensions, its shape and element count.
int ndim(PyObject* array);
Py_ssize_t dim(PyObject* array, int axis);
Py_ssize_t size(PyObject* array);

// The first of `candidates` whose cached descriptor NumPy deems equivalent to the array's
// element type, or nothing. Equivalence refuses byte-swapped data and accepts aliases of the
// same type (np.longlong for int64 on LP64 hosts).
std::optional<Dtype> match_dtype(PyObject* array, std::initializer_list<Dtype> candidates);

// Copies every element of `array` into `out` in logical row-major order, whatever the array's
// strides (negative, non-contiguous, unaligned). One block copy when the array is C-contiguous.
// `out` holds `out_bytes`, which the caller sized from the element type and shape it checked;
// an array that no longer has exactly that many bytes (Python code changed its dtype or shape
// since) throws std::length_error and nothing is written.
void copy_logical(PyObject* array, void* out, size_t out_bytes);

// A byte buffer from malloc, aligned for every element type, that NumPy can take over.
class HeapBuffer {
public:
    HeapBuffer() = default;
    // Throws std::bad_alloc when the memory is not there.
    explicit HeapBuffer(size_t bytes);
    // `bytes` zero bytes. A large buffer comes as fresh pages that the OS commits only when they
    // are first written, so rows that nothing writes cost no memory. Throws as above.
    static HeapBuffer zeroed(size_t bytes);
    HeapBuffer(HeapBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    HeapBuffer& operator=(HeapBuffer&& other) noexcept;
    HeapBuffer(const HeapBuffer&) = delete;
    HeapBuffer& operator=(const HeapBuffer&) = delete;
    ~HeapBuffer();

    void* data() const { return data_; }
    size_t size() const { return size_; }
    // Hands the memory to the caller, who frees it with std::free.
    void* release() {
        size_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    HeapBuffer(void* data, size_t bytes);

    void* data_ = nullptr;
    size_t size_ = 0;
};

// A new C-contiguous, writable array of `shape` that owns its data, filled with one copy of
// `bytes` (product(shape) * dtype_size bytes, any alignment). Null with an exception set on
// failure.
PyObject* new_array(Dtype dtype, std::span<const Py_ssize_t> shape, const void* bytes);

// A new C-contiguous, writable array of `shape` over `buffer`, without copying: the array's
// base is a capsule that frees the buffer when the array goes. `buffer` holds exactly
// product(shape) * dtype_size bytes. On failure the buffer is freed and null returned with an
// exception set.
PyObject* adopt_buffer(Dtype dtype, std::span<const Py_ssize_t> shape, HeapBuffer buffer);

}  // namespace kestrove_rs::numpy
