// The binding layer shared by every Python-facing call.
#include "python/binding.hpp"

#include <cstring>
#include <vector>

namespace kestrove_rs::binding {

namespace {

const char* plural(size_t count, const char* one, const char* many) {
    return count == 1 ? one : many;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c': the interpreter's own way of listing names.
std::string join_quoted(const std::vector<const char*>& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                out += " and ";
            } else {
                out += i + 1 == names.size() ? ", and " : ", ";
            }
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

size_t positional_count(const Signature& sig) {
    size_t n = 0;
    for (const Param& p : sig.params) n += !p.keyword_only;
    return n;
}

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
    const size_t max = positional_count(sig);
    size_t required = 0;
    for (const Param& p : sig.params) required += !p.keyword_only && p.required;
    const char* verb = given == 1 ? "was" : "were";
    if (required != max) {
        PyErr_Format(PyExc_TypeError,
                     "%s takes from %zu to %zu positional arguments but %zd %s given", sig.callable,
                     required, max, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                     sig.callable, max, given, verb);
    }
    return false;
}

// Places one keyword argument; `name` is a str.
bool place_keyword(const Signature& sig, PyObject* name, PyObject* value, PyObject** out) {
    for (size_t i = 0; i < sig.params.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(name, sig.params[i].name) != 0) continue;
        if (out[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.callable,
                         sig.params[i].name);
            return false;
        }
        out[i] = value;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.callable, name);
    return false;
}

bool check_missing(const Signature& sig, PyObject** out) {
    for (bool keyword_only : {false, true}) {
        std::vector<const char*> missing;
        for (size_t i = 0; i < sig.params.size(); ++i) {
            const Param& p = sig.params[i];
            if (p.keyword_only == keyword_only && p.required && out[i] == nullptr) {
                missing.push_back(p.name);
            }
        }
        if (!missing.empty()) {
            const std::string names = join_quoted(missing);
            PyErr_Format(PyExc_TypeError, "%s missing %zu required %s %s: %s", sig.callable,
                         missing.size(), keyword_only ? "keyword" : "positional",
                         plural(missing.size(), "argument", "arguments"), names.c_str());
            return false;
        }
    }
    return true;
}

bool place_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                      PyObject** out) {
    for (size_t i = 0; i < sig.params.size(); ++i) out[i] = nullptr;
    if (static_cast<size_t>(nargs) > positional_count(sig)) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    return true;
}

}  // namespace

bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out) {
    nargs = PyVectorcall_NARGS(nargs);
    if (!place_positional(sig, args, nargs, out)) return false;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) {
                return false;
            }
        }
    }
    return check_missing(sig, out);
}

bool bind_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    if (!place_positional(sig, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), out)) {
        return false;
    }
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *name, *value;
        while (PyDict_Next(kwargs, &pos, &name, &value)) {
            if (!place_keyword(sig, name, value, out)) return false;
        }
    }
    return check_missing(sig, out);
}

// ---------------------------------------------------------------------------------------------

void set_cannot_convert(PyObject* object, const char* target) {
    PyRef name = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    if (!name) {
        PyErr_Clear();
        name = PyRef::steal(PyUnicode_FromString(Py_TYPE(object)->tp_name));
        if (!name) return;
    }
    PyErr_Format(PyExc_TypeError, "'%S' object cannot be converted to '%s'", name.get(), target);
}

bool extract_str(PyObject* object, std::string& out) {
    if (!PyUnicode_Check(object)) {
        set_cannot_convert(object, "PyString");
        return false;
    }
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &len);
    if (utf8 == nullptr) return false;  // lone surrogates: the codec's own error
    out.assign(utf8, static_cast<size_t>(len));
    return true;
}

bool extract_bool(PyObject* object, bool& out) {
    if (object == Py_True || object == Py_False) {
        out = object == Py_True;
        return true;
    }
    // NumPy's boolean scalar, recognised by name so that NumPy need not be imported.
    const char* type_name = Py_TYPE(object)->tp_name;
    if (std::strcmp(type_name, "numpy.bool") == 0 || std::strcmp(type_name, "numpy.bool_") == 0) {
        const int truth = PyObject_IsTrue(object);
        if (truth < 0) return false;
        out = truth != 0;
        return true;
    }
    set_cannot_convert(object, "PyBool");
    return false;
}

bool extract_i64(PyObject* object, int64_t& out) {
    PyRef index;
    if (!PyLong_Check(object)) {
        index = PyRef::steal(PyNumber_Index(object));
        if (!index) return false;
        object = index.get();
    }
    const long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

namespace {
bool out_of_range() {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
}
}  // namespace

bool extract_i32(PyObject* object, int32_t& out) {
    int64_t value;
    if (!extract_i64(object, value)) return false;
    if (value < INT32_MIN || value > INT32_MAX) return out_of_range();
    out = static_cast<int32_t>(value);
    return true;
}

bool extract_u8(PyObject* object, uint8_t& out) {
    int64_t value;
    if (!extract_i64(object, value)) return false;
    if (value < 0 || value > UINT8_MAX) return out_of_range();
    out = static_cast<uint8_t>(value);
    return true;
}

bool extract_f64(PyObject* object, double& out) {
    if (PyFloat_CheckExact(object)) {
        out = PyFloat_AS_DOUBLE(object);
        return true;
    }
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool extract_bool3(PyObject* object, std::array<bool, 3>& out) {
    if (!PyTuple_Check(object)) {
        set_cannot_convert(object, "PyTuple");
        return false;
    }
    const Py_ssize_t len = PyTuple_GET_SIZE(object);
    if (len != 3) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length 3, but got tuple of length %zd",
                     len);
        return false;
    }
    for (Py_ssize_t i = 0; i < 3; ++i) {
        if (!extract_bool(PyTuple_GET_ITEM(object, i), out[static_cast<size_t>(i)])) return false;
    }
    return true;
}

PyObject* argument_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef owned_type = PyRef::steal(type), owned_value = PyRef::steal(value),
          owned_tb = PyRef::steal(traceback);
    PyRef message = PyRef::steal(value != nullptr ? PyObject_Str(value) : PyUnicode_FromString(""));
    if (!message) return nullptr;
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, message.get());
    return nullptr;
}

// ---------------------------------------------------------------------------------------------

bool BorrowGuard::acquire_shared(BorrowFlag& flag) {
    if (flag.state < 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return false;
    }
    ++flag.state;
    flag_ = &flag;
    exclusive_ = false;
    return true;
}

bool BorrowGuard::acquire_exclusive(BorrowFlag& flag) {
    if (flag.state != 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return false;
    }
    flag.state = -1;
    flag_ = &flag;
    exclusive_ = true;
    return true;
}

void BorrowGuard::release() {
    if (flag_ == nullptr) return;
    if (exclusive_) {
        flag_->state = 0;
    } else {
        --flag_->state;
    }
    flag_ = nullptr;
}

void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// ---------------------------------------------------------------------------------------------

PyObject* to_py_str(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* raise(PyObject* type, std::string_view message) {
    PyRef text = PyRef::steal(to_py_str(message));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

bool discard_failed_attempt() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

PyObject* raise_engine_error(const kestrove::Error& error) {
    return raise(PyExc_ValueError, error.display());
}

}  // namespace kestrove_rs::binding
