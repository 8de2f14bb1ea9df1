// PyAtom: one atom as a single-precision position and an atomic number, immutable.
#include "python/atom.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace kestrove_rs::molecule {

using binding::PyRef;

PyTypeObject* PyAtom_Type = nullptr;

std::string format_f32(float value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    // The shortest round-trip digits come from scientific form ("d.ddde±x"); the point is then
    // placed by hand, as fixed form would print every digit of the exact value.
    char buf[32];
    const auto [end, ec] =
        std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string_view text(buf, static_cast<size_t>(end - buf));
    const bool negative = text.front() == '-';
    if (negative) text.remove_prefix(1);
    const size_t e_at = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e_at)) {
        if (c != '.') digits += c;
    }
    const int exponent = std::atoi(std::string(text.substr(e_at + 1)).c_str());
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

    std::string out = negative ? "-" : "";
    const int point = exponent + 1;  // digits before the decimal point
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<size_t>(-point), '0');
        out += digits;
    } else if (static_cast<size_t>(point) >= digits.size()) {
        out += digits;
        out.append(static_cast<size_t>(point) - digits.size(), '0');
    } else {
        out += digits.substr(0, static_cast<size_t>(point));
        out += '.';
        out += digits.substr(static_cast<size_t>(point));
    }
    return out;
}

namespace {

PyAtomObject* as_atom(PyObject* self) { return reinterpret_cast<PyAtomObject*>(self); }

PyObject* alloc_atom(PyTypeObject* type, float x, float y, float z, uint8_t atomic_number) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    PyAtomObject* atom = as_atom(self);
    atom->borrow = binding::BorrowFlag{};
    atom->x = x;
    atom->y = y;
    atom->z = z;
    atom->atomic_number = atomic_number;
    return self;
}

constexpr binding::Param kNewParams[] = {
    {"x", true, false}, {"y", true, false}, {"z", true, false}, {"atomic_number", true, false}};
constexpr binding::Signature kNewSig{"PyAtom.__new__()", kNewParams};

PyObject* atom_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return binding::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        binding::BoundArgs<4> bound(kNewSig);
        if (!bound.bind(args, kwargs)) return nullptr;
        float coords[3];
        for (size_t i = 0; i < 3; ++i) {
            double value;
            if (!bound.convert(i, binding::extract_f64, value)) return nullptr;
            coords[i] = static_cast<float>(value);  // round to nearest; overflow gives inf
        }
        uint8_t atomic_number;
        if (!bound.convert(3, binding::extract_u8, atomic_number)) return nullptr;
        return alloc_atom(type, coords[0], coords[1], coords[2], atomic_number);
    });
}

PyObject* atom_repr(PyObject* self) {
    return binding::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        binding::BorrowGuard borrow;
        if (!borrow.acquire_shared(as_atom(self)->borrow)) return nullptr;
        const PyAtomObject* a = as_atom(self);
        const std::string text = "Atom(x=" + format_f32(a->x) + ", y=" + format_f32(a->y) +
                                 ", z=" + format_f32(a->z) +
                                 ", atomic_number=" + std::to_string(a->atomic_number) + ")";
        return binding::to_py_str(text);
    });
}

PyObject* atom_position(PyObject* self, PyObject*) {
    return binding::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        binding::BorrowGuard borrow;
        if (!borrow.acquire_shared(as_atom(self)->borrow)) return nullptr;
        const PyAtomObject* a = as_atom(self);
        return Py_BuildValue("(ddd)", static_cast<double>(a->x), static_cast<double>(a->y),
                             static_cast<double>(a->z));
    });
}

constexpr binding::Param kDistanceParams[] = {{"other", true, false}};
constexpr binding::Signature kDistanceSig{"PyAtom.distance_to()", kDistanceParams};

// A PyAtom argument: 'PyAtom' in the conversion message for anything else.
bool extract_atom(PyObject* object, PyAtomObject*& out) {
    if (!PyObject_TypeCheck(object, PyAtom_Type)) {
        binding::set_cannot_convert(object, "PyAtom");
        return false;
    }
    out = as_atom(object);
    return true;
}

PyObject* atom_distance_to(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return binding::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        binding::BoundArgs<1> bound(kDistanceSig);
        if (!bound.bind(args, nargs, kwnames)) return nullptr;
        binding::BorrowGuard borrow;
        if (!borrow.acquire_shared(as_atom(self)->borrow)) return nullptr;
        PyAtomObject* other = nullptr;
        if (!bound.convert(0, extract_atom, other)) return nullptr;
        binding::BorrowGuard other_borrow;
        if (!other_borrow.acquire_shared(other->borrow)) return nullptr;
        const PyAtomObject* a = as_atom(self);
        const PyAtomObject* b = other;
        // Single precision throughout, in this order, without fused multiply-add.
        const float dx = a->x - b->x;
        const float dy = a->y - b->y;
        const float dz = a->z - b->z;
        float s = dx * dx + dy * dy;
        s = s + dz * dz;
        return PyFloat_FromDouble(static_cast<double>(std::sqrt(s)));
    });
}

PyObject* atom_get_atomic_number(PyObject* self, void*) {
    return binding::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        binding::BorrowGuard borrow;
        if (!borrow.acquire_shared(as_atom(self)->borrow)) return nullptr;
        return PyLong_FromLong(as_atom(self)->atomic_number);
    });
}

PyMethodDef kAtomMethods[] = {
    {"position", atom_position, METH_NOARGS,
     "position($self)\n--\n\nGet the position as a tuple (x, y, z)"},
    {"distance_to", binding::fastcall(atom_distance_to), METH_FASTCALL | METH_KEYWORDS,
     "distance_to($self, other)\n--\n\nCalculate distance to another atom"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kAtomGetSet[] = {
    {"atomic_number", atom_get_atomic_number, nullptr, "Get the atomic number", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* create_atom_type() {
    static const char kDoc[] =
        "PyAtom(x, y, z, atomic_number)\n--\n\nPython wrapper for Atom\n\n"
        "An immutable value: a position in single precision and an atomic number. Molecules "
        "return atoms from atoms() and from integer indexing.";
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(atom_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(binding::free_instance)},
        {Py_tp_repr, reinterpret_cast<void*>(atom_repr)},
        {Py_tp_methods, kAtomMethods},
        {Py_tp_getset, kAtomGetSet},
        {Py_tp_doc, const_cast<char*>(kDoc)},
        {0, nullptr},
    };
    PyType_Spec spec = {"PyAtom", sizeof(PyAtomObject), 0, Py_TPFLAGS_DEFAULT, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

PyObject* new_py_atom(const kestrove::atom::Atom& atom) {
    return alloc_atom(PyAtom_Type, atom.position[0], atom.position[1], atom.position[2],
                      atom.atomic_number);
}

}  // namespace kestrove_rs::molecule
