// PyMolecule: a molecule as Python sees it.
#include "python/molecule.hpp"

namespace kestrove_rs::molecule {

PyTypeObject* PyMolecule_Type = nullptr;

PyTypeObject* create_molecule_type() {
    static const char kDoc[] =
        "PyMolecule(positions, atomic_numbers, *, energy=None, forces=None, charges=None, "
        "velocities=None, cell=None, stress=None, pbc=None, name=None)\n--\n\n"
        "Python wrapper for Molecule";
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(binding::free_instance)},
        {Py_tp_doc, const_cast<char*>(kDoc)},
        {0, nullptr},
    };
    PyType_Spec spec = {"PyMolecule", sizeof(PyMoleculeObject), 0, Py_TPFLAGS_DEFAULT, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace kestrove_rs::molecule
