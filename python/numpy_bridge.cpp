// The extension's only door to the NumPy C API. This file alone defines the API table; it is
// filled on first use, never at module import.
#include "python/numpy_bridge.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL kestrove_rs_ARRAY_API
#include <numpy/arrayobject.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <stdexcept>

namespace kestrove_rs::numpy {

static_assert(sizeof(npy_intp) == sizeof(Py_ssize_t));

namespace {

bool g_imported = false;
// Native-order descriptors of every Dtype, in enum order; kept for the life of the process.
PyArray_Descr* g_descriptors[7] = {};

constexpr int kTypeNums[7] = {NPY_UINT8,   NPY_BOOL,    NPY_INT32, NPY_INT64,
                               NPY_FLOAT32, NPY_FLOAT64, NPY_UINT32};

PyArrayObject* as_array(PyObject* array) { return reinterpret_cast<PyArrayObject*>(array); }

int type_num(Dtype dtype) { return kTypeNums[static_cast<size_t>(dtype)]; }

// Copies one element of `n` bytes; fixed sizes let the compiler emit plain loads and stores.
inline void copy_element(char* out, const char* in, size_t n) {
    switch (n) {
        case 1:
            *out = *in;
            break;
        case 4:
            std::memcpy(out, in, 4);
            break;
        case 8:
            std::memcpy(out, in, 8);
            break;
        default:
            std::memcpy(out, in, n);
    }
}

// Copies the sub-array at `in` along axes [axis, ndim) into `out`, returning the end of what
// was written.
char* copy_axis(const char* in, char* out, int axis, int ndim, const npy_intp* dims,
                const npy_intp* strides, size_t itemsize) {
    const npy_intp n = dims[axis];
    const npy_intp stride = strides[axis];
    if (axis + 1 == ndim) {
        if (stride == static_cast<npy_intp>(itemsize)) {
            const size_t bytes = static_cast<size_t>(n) * itemsize;
            if (bytes != 0) std::memcpy(out, in, bytes);
            return out + bytes;
        }
        for (npy_intp i = 0; i < n; ++i, in += stride, out += itemsize) {
            copy_element(out, in, itemsize);
        }
        return out;
    }
    for (npy_intp i = 0; i < n; ++i, in += stride) {
        out = copy_axis(in, out, axis + 1, ndim, dims, strides, itemsize);
    }
    return out;
}

void free_capsule_buffer(PyObject* capsule) {
    std::free(PyCapsule_GetPointer(capsule, "kestrove_rs.buffer"));
}

}  // namespace

bool ensure_imported() {
    if (g_imported) return true;
    if (_import_array() < 0) return false;
    for (size_t i = 0; i < std::size(kTypeNums); ++i) {
        g_descriptors[i] = PyArray_DescrFromType(kTypeNums[i]);
        if (g_descriptors[i] == nullptr) return false;
    }
    g_imported = true;
    return true;
}

bool is_array(PyObject* object) {
    if (!ensure_imported()) {
        PyErr_Clear();
        return false;
    }
    return PyArray_Check(object);
}

int ndim(PyObject* array) { return PyArray_NDIM(as_array(array)); }

Py_ssize_t dim(PyObject* array, int axis) { return PyArray_DIM(as_array(array), axis); }

Py_ssize_t size(PyObject* array) { return PyArray_SIZE(as_array(array)); }

std::optional<Dtype> match_dtype(PyObject* array, std::initializer_list<Dtype> candidates) {
    PyArray_Descr* descr = PyArray_DESCR(as_array(array));
    for (Dtype candidate : candidates) {
        PyArray_Descr* expected = g_descriptors[static_cast<size_t>(candidate)];
        if (descr == expected || PyArray_EquivTypes(descr, expected)) return candidate;
    }
    return std::nullopt;
}

void copy_logical(PyObject* array, void* out, size_t out_bytes) {
    PyArrayObject* a = as_array(array);
    const size_t itemsize = static_cast<size_t>(PyArray_ITEMSIZE(a));
    const npy_intp count = PyArray_SIZE(a);
    if (static_cast<size_t>(count) * itemsize != out_bytes) {
        throw std::length_error("array size differs from the checked one");
    }
    if (count == 0) return;
    const char* data = static_cast<const char*>(PyArray_DATA(a));
    if (PyArray_IS_C_CONTIGUOUS(a)) {
        std::memcpy(out, data, static_cast<size_t>(count) * itemsize);
        return;
    }
    const int nd = PyArray_NDIM(a);
    if (nd == 0) {
        std::memcpy(out, data, itemsize);
        return;
    }
    copy_axis(data, static_cast<char*>(out), 0, nd, PyArray_DIMS(a), PyArray_STRIDES(a), itemsize);
}

HeapBuffer::HeapBuffer(size_t bytes) : HeapBuffer(std::malloc(bytes == 0 ? 1 : bytes), bytes) {}

HeapBuffer HeapBuffer::zeroed(size_t bytes) {
    return {std::calloc(bytes == 0 ? 1 : bytes, 1), bytes};
}

HeapBuffer::HeapBuffer(void* data, size_t bytes) : data_(data), size_(bytes) {
    // malloc's memory is aligned for every fundamental type, so for every Dtype.
    if (data_ == nullptr) throw std::bad_alloc();
}

HeapBuffer& HeapBuffer::operator=(HeapBuffer&& other) noexcept {
    if (this != &other) {
        std::free(data_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

HeapBuffer::~HeapBuffer() { std::free(data_); }

PyObject* new_array(Dtype dtype, std::span<const Py_ssize_t> shape, const void* bytes) {
    if (!ensure_imported()) return nullptr;
    PyObject* array = PyArray_SimpleNew(static_cast<int>(shape.size()),
                                        const_cast<npy_intp*>(shape.data()), type_num(dtype));
    if (array == nullptr) return nullptr;
    const size_t nbytes = static_cast<size_t>(PyArray_NBYTES(as_array(array)));
    if (nbytes != 0) std::memcpy(PyArray_DATA(as_array(array)), bytes, nbytes);
    return array;
}

PyObject* adopt_buffer(Dtype dtype, std::span<const Py_ssize_t> shape, HeapBuffer buffer) {
    if (!ensure_imported()) return nullptr;
    PyObject* capsule = PyCapsule_New(buffer.data(), "kestrove_rs.buffer", free_capsule_buffer);
    if (capsule == nullptr) return nullptr;
    void* data = buffer.release();  // the capsule frees it from now on
    PyObject* array = PyArray_SimpleNewFromData(
        static_cast<int>(shape.size()), const_cast<npy_intp*>(shape.data()), type_num(dtype), data);
    if (array == nullptr) {
        Py_DECREF(capsule);
        return nullptr;
    }
    // Steals the capsule's reference, also when it fails.
    if (PyArray_SetBaseObject(as_array(array), capsule) < 0) {
        Py_DECREF(array);
        return nullptr;
    }
    return array;
}

}  // namespace kestrove_rs::numpy
