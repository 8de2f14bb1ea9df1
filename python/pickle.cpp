// Pickling support: the module function that rebuilds a molecule from its pickle payload.
#include "python/pickle.hpp"

namespace kestrove_rs::pickle {

namespace {
constexpr binding::Param kParams[] = {{"payload", true, false}};
constexpr binding::Signature kSig{"_molecule_from_pickle_bytes()", kParams};
}  // namespace

PyObject* molecule_from_pickle_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    return binding::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        binding::BoundArgs<1> bound(kSig);
        if (!bound.bind(args, nargs, kwnames)) return nullptr;
        if (!PyBytes_Check(bound[0])) {
            binding::set_cannot_convert(bound[0], "PyBytes");
            return bound.failed(0);
        }
        PyErr_SetString(PyExc_NotImplementedError, "molecules cannot be unpickled yet");
        return nullptr;
    });
}

}  // namespace kestrove_rs::pickle
