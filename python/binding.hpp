// The binding layer shared by every Python-facing call: owned references, argument binding with
// the interpreter's wording, argument conversion, per-object borrow state and error translation.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "base/error.hpp"

namespace kestrove_rs::binding {

// An owned (strong) reference, released on destruction.
class PyRef {
public:
    PyRef() = default;
    // Takes over a new reference (which may be null after a failed call).
    static PyRef steal(PyObject* object) { return PyRef(object); }
    // Takes a new reference to a borrowed object.
    static PyRef borrow(PyObject* object) {
        Py_XINCREF(object);
        return PyRef(object);
    }
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    explicit PyRef(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Argument binding

struct Param {
    const char* name;
    bool required;
    bool keyword_only;
};

// A callable's parameters: positional-or-keyword ones first, then keyword-only ones. `callable`
// names it in messages, as "PyAtom.__new__()" or "_molecule_from_pickle_bytes()".
struct Signature {
    const char* callable;
    std::span<const Param> params;
};

// Binds fast-call arguments to `sig`'s parameters; out[i] receives a borrowed reference or null
// for an absent optional parameter. Returns false with TypeError set on a binding failure.
bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out);

// The same for the tuple-and-dict convention of a type's __new__.
bool bind_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// An argument given as None counts as absent.
inline bool is_absent(PyObject* value) { return value == nullptr || value == Py_None; }

// ---------------------------------------------------------------------------------------------
// Conversions. Each returns false with a Python exception set.

// "'{}' object cannot be converted to '{}'" as a TypeError.
void set_cannot_convert(PyObject* object, const char* target);

bool extract_str(PyObject* object, std::string& out);  // str only: 'PyString'
bool extract_bool(PyObject* object, bool& out);        // True/False, NumPy bool: 'PyBool'
bool extract_i64(PyObject* object, int64_t& out);      // int or __index__; float refused
bool extract_i32(PyObject* object, int32_t& out);      // with the range message
bool extract_u8(PyObject* object, uint8_t& out);       // with the range message
bool extract_f64(PyObject* object, double& out);       // anything float() accepts
// A tuple of exactly three booleans: 'PyTuple' for another type, ValueError "expected tuple of
// length 3, but got tuple of length {}", then each item as extract_bool.
bool extract_bool3(PyObject* object, std::array<bool, 3>& out);

// After a failed conversion of parameter `name`: a TypeError becomes
// "argument '{name}': {message}"; any other exception is left as it is. Returns null.
PyObject* argument_error(const char* name);

// The arguments of one call, bound to the parameters of `sig` (N of them). Conversions report a
// failure under the parameter's name as the signature spells it, so no call site repeats it.
template <size_t N>
class BoundArgs {
public:
    explicit BoundArgs(const Signature& sig) : sig_(sig) {}
    BoundArgs(const BoundArgs&) = delete;
    BoundArgs& operator=(const BoundArgs&) = delete;

    // Bind the arguments of the two calling conventions; false with TypeError set on failure.
    [[nodiscard]] bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return bind_fastcall(sig_, args, nargs, kwnames, values_);
    }
    [[nodiscard]] bool bind(PyObject* args, PyObject* kwargs) {
        return bind_tuple_dict(sig_, args, kwargs, values_);
    }

    // Argument i as bound: a borrowed reference, or null when it was not given.
    PyObject* operator[](size_t i) const { return values_[i]; }
    // Whether argument i was given as something other than None.
    bool present(size_t i) const { return !is_absent(values_[i]); }

    // Converts argument i with `extract`; on failure a TypeError is renamed as
    // "argument '{}': {}" and false returned.
    template <class T>
    [[nodiscard]] bool convert(size_t i, bool (*extract)(PyObject*, T&), T& out) const {
        if (extract(values_[i], out)) return true;
        failed(i);
        return false;
    }
    // The same for an optional parameter: absent (or None), `out` keeps its default.
    template <class T>
    [[nodiscard]] bool convert_optional(size_t i, bool (*extract)(PyObject*, T&), T& out) const {
        return !present(i) || convert(i, extract, out);
    }
    // Reports a conversion of argument i that failed with an exception already set. Returns
    // null, for `return args.failed(i);`.
    PyObject* failed(size_t i) const { return argument_error(sig_.params[i].name); }

private:
    const Signature& sig_;
    PyObject* values_[N] = {};
};

// ---------------------------------------------------------------------------------------------
// Borrow state: free, shared by readers, or held by one writer. Only touched with the
// interpreter lock held; a borrow may outlive a released region of the lock.

struct BorrowFlag {
    Py_ssize_t state = 0;  // 0 free, n > 0 readers, -1 one writer
};

// Holds one borrow until destroyed. A failed acquire raises RuntimeError at once:
// "Already mutably borrowed" for a reader meeting a writer, "Already borrowed" for a writer
// meeting any borrow.
class BorrowGuard {
public:
    BorrowGuard() = default;
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;
    ~BorrowGuard() { release(); }

    [[nodiscard]] bool acquire_shared(BorrowFlag& flag);
    [[nodiscard]] bool acquire_exclusive(BorrowFlag& flag);
    void release();

private:
    BorrowFlag* flag_ = nullptr;
    bool exclusive_ = false;
};

// Releases the interpreter lock for its lifetime, and takes it back also when an exception
// unwinds through the released region. Nothing inside may touch a Python object.
class ReleasedLock {
public:
    ReleasedLock() : state_(PyEval_SaveThread()) {}
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;
    ~ReleasedLock() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

// Runs `work` with the interpreter lock released and returns its result.
template <class F>
auto without_lock(F&& work) {
    ReleasedLock released;
    return work();
}

// A METH_FASTCALL | METH_KEYWORDS function as the PyCFunction a PyMethodDef holds.
template <class F>
PyCFunction fastcall(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Frees an instance of a heap type and drops the reference it held on its type: the last step of
// every tp_dealloc.
void free_instance(PyObject* self);

// ---------------------------------------------------------------------------------------------
// Errors and strings

// A Python str from UTF-8 bytes of known length (NUL bytes kept; invalid bytes replaced).
PyObject* to_py_str(std::string_view text);

// Drops the pending exception of an attempt that did not match, so that the next attempt can run,
// and returns true. An exception that is not an Exception (KeyboardInterrupt, SystemExit) is no
// failed attempt: it stays set, to propagate as itself, and false is returned.
bool discard_failed_attempt();

// Raises the engine error as ValueError with its display text. Returns null.
PyObject* raise_engine_error(const kestrove::Error& error);

// Raises exception `type` with `message` (which may hold NUL bytes). Returns null.
PyObject* raise(PyObject* type, std::string_view message);

// A failed allocation that says what was being sized. guarded() raises it as MemoryError with
// that text.
class OutOfMemory : public std::bad_alloc {
public:
    explicit OutOfMemory(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Runs `step` and returns what it returns; an allocation that fails inside it is raised as an
// OutOfMemory that says "cannot allocate " followed by what `what()` names. One that already says
// what it sized passes unchanged.
template <class What, class Step>
decltype(auto) naming_allocations(What&& what, Step&& step) {
    try {
        return step();
    } catch (const OutOfMemory&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw OutOfMemory("cannot allocate " + what());
    }
}

// Runs `body` and turns any C++ exception into a Python one, so that none unwinds into the
// interpreter: std::bad_alloc becomes MemoryError (with the text of an OutOfMemory), anything
// else SystemError. `failed` is what the entry point returns with an exception set (null, or -1).
template <class R, class F>
R guarded(R failed, F&& body) noexcept {
    try {
        return body();
    } catch (const OutOfMemory& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "internal error");
    }
    return failed;
}

}  // namespace kestrove_rs::binding
