// Pickling support: molecules leave as their compact serialised form and come back owned.
#include "python/pickle.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "engine/compact.hpp"
#include "python/molecule.hpp"

namespace kestrove_rs::pickle {

using binding::PyRef;

namespace {
constexpr binding::Param kParams[] = {{"payload", true, false}};
constexpr binding::Signature kSig{"_molecule_from_pickle_bytes()", kParams};

// The module whose namespace holds the rebuilding function, by its full dotted path.
constexpr const char* kModuleName = "kestrove._kestrove_rs";
constexpr const char* kRebuildName = "_molecule_from_pickle_bytes";
}  // namespace

PyObject* molecule_reduce(PyObject* self, PyObject*) {
    return binding::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        auto* object = reinterpret_cast<molecule::PyMoleculeObject*>(self);
        kestrove::Bytes payload;
        {
            // Encoded under the borrow, which ends before any Python code runs.
            binding::BorrowGuard borrow;
            if (!borrow.acquire_shared(object->borrow)) return nullptr;
            std::optional<kestrove::atom::Molecule> decoded;
            const kestrove::atom::Molecule* m = molecule::owned_or_decoded(object, decoded);
            if (m == nullptr) return nullptr;
            // Encoding cannot fail: every molecule has a compact form.
            payload = kestrove::compact::serialize_molecule(*m);
        }

        PyRef module = PyRef::steal(PyImport_ImportModule(kModuleName));
        if (!module) return nullptr;
        PyRef rebuild = PyRef::steal(PyObject_GetAttrString(module.get(), kRebuildName));
        if (!rebuild) return nullptr;
        PyRef bytes =
            PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(payload.data()),
                                                   static_cast<Py_ssize_t>(payload.size())));
        if (!bytes) return nullptr;
        payload = kestrove::Bytes();
        PyRef arguments = PyRef::steal(PyTuple_Pack(1, bytes.get()));
        if (!arguments) return nullptr;
        return PyTuple_Pack(2, rebuild.get(), arguments.get());
    });
}

PyObject* molecule_from_pickle_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    return binding::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        binding::BoundArgs<1> bound(kSig);
        if (!bound.bind(args, nargs, kwnames)) return nullptr;
        if (!PyBytes_Check(bound[0])) {
            binding::set_cannot_convert(bound[0], "PyBytes");
            return bound.failed(0);
        }
        // Decoded in place from the bytes object's buffer, which the bound argument keeps alive.
        const std::span<const uint8_t> bytes(
            reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(bound[0])),
            static_cast<size_t>(PyBytes_GET_SIZE(bound[0])));
        auto decoded = kestrove::compact::deserialize_molecule(bytes);
        if (!decoded.ok()) {
            return binding::raise(PyExc_ValueError,
                                  "Failed to deserialize molecule: " + decoded.error());
        }
        return molecule::new_owned_molecule(std::move(decoded).value());
    });
}

}  // namespace kestrove_rs::pickle
