"""kestrove: append-only, crash-safe storage of atomistic structures, read back as NumPy arrays."""

import warnings

with warnings.catch_warnings():
    # The extension's classes carry no module of their own; the interpreter warns about that once,
    # while they are created.
    warnings.filterwarnings("ignore", r"builtin type \w+ has no __module__", DeprecationWarning)
    from ._kestrove_rs import PyAtom, PyAtomDatabase, PyMolecule, _molecule_from_pickle_bytes

# Short names; messages of the extension call the database class `Database`.
Atom = PyAtom
Molecule = PyMolecule
Database = PyAtomDatabase

__all__ = ["Atom", "Database", "Molecule", "PyAtom", "PyAtomDatabase", "PyMolecule"]
