// The extension module kestrove._kestrove_rs: its start-up and the registration of its classes.
#include "python/atom.hpp"
#include "python/binding.hpp"
#include "python/database.hpp"
#include "python/molecule.hpp"
#include "python/pickle.hpp"

namespace kestrove_rs {

namespace {

using binding::PyRef;

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_kestrove_rs",
    "The Python module\n\nThis function defines what's available when you `import kestrove` in "
    "Python",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyMethodDef kPickleFunction = {
    "_molecule_from_pickle_bytes",
    binding::fastcall(pickle::molecule_from_pickle_bytes),
    METH_FASTCALL | METH_KEYWORDS,
    "_molecule_from_pickle_bytes(payload)\n--\n\n",
};

bool g_initialised = false;

// Sets `object` as attribute `name` of the module and appends the name to `__all__`.
bool add_public(PyObject* module, PyObject* all, const char* name, PyRef object) {
    if (!object) return false;
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all, text.get()) < 0) return false;
    return PyObject_SetAttrString(module, name, object.get()) == 0;
}

PyObject* init_module() {
    if (g_initialised) {
        PyErr_SetString(PyExc_ImportError,
                        "modules compiled for CPython 3.8 or older may only be initialized once "
                        "per interpreter process");
        return nullptr;
    }
    PyRef module = PyRef::steal(PyModule_Create(&kModuleDef));
    if (!module) return nullptr;
    PyRef all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module.get(), "__all__", all.get()) < 0) return nullptr;

    struct TypeEntry {
        const char* name;
        PyTypeObject* (*create)();
        PyTypeObject** slot;
    };
    const TypeEntry types[] = {
        {"PyAtom", molecule::create_atom_type, &molecule::PyAtom_Type},
        {"PyMolecule", molecule::create_molecule_type, &molecule::PyMolecule_Type},
        {"PyAtomDatabase", database::create_database_type, &database::PyAtomDatabase_Type},
    };
    for (const TypeEntry& entry : types) {
        PyTypeObject* type = entry.create();
        if (type == nullptr) return nullptr;
        // The module keeps the types alive for the life of the process.
        *entry.slot = type;
        if (!add_public(module.get(), all.get(), entry.name,
                        PyRef::borrow(reinterpret_cast<PyObject*>(type)))) {
            return nullptr;
        }
    }
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module.get()));
    if (!module_name) return nullptr;
    PyRef function =
        PyRef::steal(PyCFunction_NewEx(&kPickleFunction, module.get(), module_name.get()));
    if (!add_public(module.get(), all.get(), "_molecule_from_pickle_bytes", std::move(function))) {
        return nullptr;
    }
    g_initialised = true;
    return module.release();
}

}  // namespace

}  // namespace kestrove_rs

PyMODINIT_FUNC PyInit__kestrove_rs() {
    return kestrove_rs::binding::guarded<PyObject*>(nullptr, kestrove_rs::init_module);
}
