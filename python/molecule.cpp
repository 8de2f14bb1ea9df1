// PyMolecule: a molecule as Python sees it.
#include "python/molecule.hpp"

namespace kestrove_rs::molecule {

PyTypeObject* PyMolecule_Type = nullptr;

namespace {

// Until molecules can be built from Python, no instance may exist whose value was never
// constructed: the type refuses to be called instead of inheriting object.__new__.
PyObject* molecule_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
    return nullptr;
}

}  // namespace

PyTypeObject* create_molecule_type() {
    static const char kDoc[] =
        "PyMolecule(positions, atomic_numbers, *, energy=None, forces=None, charges=None, "
        "velocities=None, cell=None, stress=None, pbc=None, name=None)\n--\n\n"
        "Python wrapper for Molecule";
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(molecule_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(binding::free_instance)},
        {Py_tp_doc, const_cast<char*>(kDoc)},
        {0, nullptr},
    };
    PyType_Spec spec = {"PyMolecule", sizeof(PyMoleculeObject), 0, Py_TPFLAGS_DEFAULT, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace kestrove_rs::molecule
