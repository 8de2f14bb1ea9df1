"""Module start-up, class registration and the binding layer's argument handling."""

import inspect
import pathlib
import shutil
import subprocess
import sys
import weakref

import numpy as np
import pytest

import kestrove
from kestrove import _kestrove_rs as kr

PyAtom = kr.PyAtom
PyMolecule = kr.PyMolecule
PyAtomDatabase = kr.PyAtomDatabase
CLASSES = [PyAtom, PyMolecule, PyAtomDatabase]


# ---------------------------------------------------------------------------------------------
# Registration


def test_all_names_the_registered_objects_in_order():
    assert kr.__all__ == ["PyAtom", "PyMolecule", "PyAtomDatabase", "_molecule_from_pickle_bytes"]
    for name in kr.__all__:
        assert getattr(kr, name) is getattr(kestrove, name)
    assert [cls.__name__ for cls in CLASSES] == ["PyAtom", "PyMolecule", "PyAtomDatabase"]
    assert inspect.isbuiltin(kr._molecule_from_pickle_bytes)


@pytest.mark.parametrize(
    "obj, doc",
    [
        (kr, "The Python module\n\nThis function defines what's available when you `import kestrove` in Python"),
        (PyMolecule, "Python wrapper for Molecule"),
        (PyAtomDatabase, "Python wrapper for AtomDatabase"),
        (PyAtom, "Python wrapper for Atom\n\n..."),  # a summary, then more text
        (PyAtom.__dict__["atomic_number"], "Get the atomic number"),
    ],
)
def test_docstring_is_the_text_after_the_signature(obj, doc):
    if doc.endswith("..."):
        assert obj.__doc__.startswith(doc[:-3])
    else:
        assert obj.__doc__ == doc


# Python 3.9 drops the text signature from a heap type's docstring when it builds the type, so
# inspect finds none for the classes themselves; their docstrings still carry it.
class_signature = pytest.mark.skipif(
    sys.version_info < (3, 10),
    reason="Python 3.9 keeps no text signature for classes made from a type spec",
)


@pytest.mark.parametrize(
    "callable_, signature",
    [
        pytest.param(PyAtom, "(x, y, z, atomic_number)", marks=class_signature),
        pytest.param(
            PyMolecule,
            "(positions, atomic_numbers, *, energy=None, forces=None, charges=None, "
            "velocities=None, cell=None, stress=None, pbc=None, name=None)",
            marks=class_signature,
        ),
        pytest.param(
            PyAtomDatabase,
            "(path, compression='none', level=3, overwrite=False)",
            marks=class_signature,
        ),
        (PyAtomDatabase.open, "(path, mmap=True, populate=False)"),
        (kr._molecule_from_pickle_bytes, "(payload)"),
        (PyAtom(0, 0, 0, 1).distance_to, "(other)"),
    ],
)
def test_reported_signature(callable_, signature):
    assert str(inspect.signature(callable_)) == signature


@pytest.mark.parametrize(
    "method, text_signature, doc",
    [
        (PyAtom.position, "($self)", "Get the position as a tuple (x, y, z)"),
        (PyAtom.distance_to, "($self, other)", "Calculate distance to another atom"),
        (PyAtomDatabase.flush, "($self)", "Flush and save the database"),
        (
            PyAtomDatabase.open,
            "(path, mmap=True, populate=False)",
            "Open an existing database.\n\n"
            "By default this uses a memory-mapped index and is read-only. Reopen with\n"
            "`mmap=False` if you need to append molecules.",
        ),
        (kr._molecule_from_pickle_bytes, "(payload)", None),
        (PyMolecule.__reduce__, "($self)", None),
        (PyMolecule._ase_payload, "($self, *, copy_info=True, copy_arrays=True)", None),
        (PyMolecule.atoms, "($self)", "Get atoms as a list"),
        (PyMolecule.has_property, "($self, key)", "Check if a property exists"),
    ],
)
def test_method_docstring_and_text_signature(method, text_signature, doc):
    assert method.__text_signature__ == text_signature
    assert method.__doc__ == doc


# ---------------------------------------------------------------------------------------------
# The classes as Python types


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_is_final_without_dict_or_weak_references(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert (cls.__dictoffset__, cls.__weakrefoffset__) == (0, 0)


@pytest.fixture(params=["atom", "database"])
def instance(request, db_path):
    if request.param == "atom":
        return PyAtom(1, 2, 3, 6)
    return PyAtomDatabase(db_path)


def test_instance_refuses_new_attributes_and_weak_references(instance):
    with pytest.raises(AttributeError):
        instance.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(instance)


def test_second_initialisation_in_one_process_fails(run_python):
    result = run_python(
        """
        import importlib, sys
        import kestrove._kestrove_rs
        del sys.modules["kestrove._kestrove_rs"]
        try:
            importlib.import_module("kestrove._kestrove_rs")
        except ImportError as e:
            print("ImportError:", e)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("ImportError:")
    assert "3.8 or older" in result.stdout
    assert "initialized once per interpreter process" in result.stdout


def test_import_raises_no_warnings_and_does_not_load_numpy(run_python):
    # NumPy's array interface is set up on first use, never at import.
    result = run_python(
        """
        import sys, kestrove
        kestrove.PyAtom(1, 2, 3, 4)
        print("numpy" in sys.modules)
        """,
        options=["-W", "error"],
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "False"


# Names some linkers define in every shared object.
LINKER_SYMBOLS = {"_init", "_fini", "_edata", "_end", "__bss_start"}


def test_module_exports_its_init_function_and_nothing_else():
    # Another build of the module loaded into the same process must not bind any of this one's
    # functions or tables: no kestrove name, no library template instance, no GNU unique object.
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    listing = subprocess.run(
        [nm, "-D", "--defined-only", kr.__file__], capture_output=True, text=True, check=True
    ).stdout
    kinds = {line.split()[-1]: line.split()[-2] for line in listing.splitlines() if line.strip()}
    exported = {name: kind for name, kind in kinds.items() if name not in LINKER_SYMBOLS}
    assert exported == {"PyInit__kestrove_rs": "T"}


# ---------------------------------------------------------------------------------------------
# Argument binding: the interpreter's wording, the callable named as Class.method()

ATOM = PyAtom(0, 0, 0, 1)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: PyAtom(1, 2, 3, 4, 5), "PyAtom.__new__() takes 4 positional arguments but 5 were given"),
        (
            lambda: PyAtomDatabase.open("p", True, False, 1),
            "PyAtomDatabase.open() takes from 1 to 3 positional arguments but 4 were given",
        ),
        (
            lambda: PyAtomDatabase("p", "none", 3, False, None),
            "PyAtomDatabase.__new__() takes from 1 to 4 positional arguments but 5 were given",
        ),
        (
            lambda: ATOM.distance_to(ATOM, ATOM),
            "PyAtom.distance_to() takes 1 positional arguments but 2 were given",
        ),
        (lambda: PyAtom(1, 2, 3, 4, w=5), "PyAtom.__new__() got an unexpected keyword argument 'w'"),
        (
            lambda: PyAtomDatabase.open("p", cache=True),
            "PyAtomDatabase.open() got an unexpected keyword argument 'cache'",
        ),
        (
            lambda: PyAtomDatabase.open("p", path="q"),
            "PyAtomDatabase.open() got multiple values for argument 'path'",
        ),
        (
            lambda: ATOM.distance_to(ATOM, other=ATOM),
            "PyAtom.distance_to() got multiple values for argument 'other'",
        ),
        (
            lambda: PyAtom(1, 2, 3),
            "PyAtom.__new__() missing 1 required positional argument: 'atomic_number'",
        ),
        (
            lambda: PyAtom(1, 2),
            "PyAtom.__new__() missing 2 required positional arguments: 'z' and 'atomic_number'",
        ),
        (
            lambda: PyAtom(1),
            "PyAtom.__new__() missing 3 required positional arguments: 'y', 'z', and 'atomic_number'",
        ),
        (
            lambda: PyAtom(y=1, atomic_number=3),
            "PyAtom.__new__() missing 2 required positional arguments: 'x' and 'z'",
        ),
        (
            lambda: PyAtomDatabase.open(mmap=True),
            "PyAtomDatabase.open() missing 1 required positional argument: 'path'",
        ),
        (
            lambda: PyAtomDatabase(),
            "PyAtomDatabase.__new__() missing 1 required positional argument: 'path'",
        ),
        (
            lambda: ATOM.distance_to(),
            "PyAtom.distance_to() missing 1 required positional argument: 'other'",
        ),
        (
            lambda: kr._molecule_from_pickle_bytes(data=b""),
            "_molecule_from_pickle_bytes() got an unexpected keyword argument 'data'",
        ),
        # Binding comes before any conversion: a bad value does not hide a binding failure.
        (
            lambda: PyAtom("not a number", 0, 0),
            "PyAtom.__new__() missing 1 required positional argument: 'atomic_number'",
        ),
    ],
)
def test_binding_failure_message(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_every_parameter_can_be_given_by_keyword(db_path):
    atom = PyAtom(atomic_number=8, z=3, y=2, x=1)
    assert repr(atom) == "Atom(x=1, y=2, z=3, atomic_number=8)"
    assert atom.distance_to(other=PyAtom(1, 2, 3, 1)) == 0.0
    PyAtomDatabase(overwrite=False, level=1, compression="lz4", path=db_path).flush()
    assert len(PyAtomDatabase.open(populate=False, mmap=False, path=db_path)) == 0


# ---------------------------------------------------------------------------------------------
# Argument conversion


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Failing:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error

    def __float__(self):
        raise self.error


@pytest.mark.parametrize(
    "call, error, message",
    [
        # A TypeError from a conversion is re-raised naming the parameter.
        (
            lambda d: PyAtomDatabase(pathlib.Path(d)),
            TypeError,
            "argument 'path': 'PosixPath' object cannot be converted to 'PyString'",
        ),
        (
            lambda d: PyAtomDatabase.open(d.encode()),
            TypeError,
            "argument 'path': 'bytes' object cannot be converted to 'PyString'",
        ),
        (
            lambda d: PyAtomDatabase(d, compression=b"zstd"),
            TypeError,
            "argument 'compression': 'bytes' object cannot be converted to 'PyString'",
        ),
        (
            lambda d: PyAtomDatabase.open(d, mmap=1),
            TypeError,
            "argument 'mmap': 'int' object cannot be converted to 'PyBool'",
        ),
        (
            lambda d: PyAtomDatabase.open(d, populate=0),
            TypeError,
            "argument 'populate': 'int' object cannot be converted to 'PyBool'",
        ),
        (
            lambda d: PyAtomDatabase(d, overwrite="yes"),
            TypeError,
            "argument 'overwrite': 'str' object cannot be converted to 'PyBool'",
        ),
        (
            lambda d: PyAtomDatabase(d, level=3.0),
            TypeError,
            "argument 'level': 'float' object cannot be interpreted as an integer",
        ),
        (
            lambda d: PyAtomDatabase(d, level=Index("3")),
            TypeError,
            "argument 'level': __index__ returned non-int (type str)",
        ),
        (
            lambda d: PyAtom(0, 0, 0, 6.0),
            TypeError,
            "argument 'atomic_number': 'float' object cannot be interpreted as an integer",
        ),
        (
            lambda d: PyAtom(0, 0, 0, np.float64(6)),
            TypeError,
            "argument 'atomic_number': 'numpy.float64' object cannot be interpreted as an integer",
        ),
        # Parameters are converted in order; the first failure is the one raised.
        (lambda d: PyAtom("1.5", [], 0, 256), TypeError, "argument 'x': "),
        (lambda d: PyAtom(0, None, "z", 1), TypeError, "argument 'y': "),
        (lambda d: PyAtom(0, 0, "z", 256), TypeError, "argument 'z': "),
        (lambda d: PyAtomDatabase(1, compression=2, level=3.0), TypeError, "argument 'path': "),
        # Any other exception passes through unchanged.
        (lambda d: PyAtom(10**400, 0, 0, 1), OverflowError, "int too large to convert to float"),
        (lambda d: PyAtom(Failing(ValueError("no float")), 0, 0, 1), ValueError, "no float"),
        (lambda d: PyAtom(0, 0, 0, Failing(KeyError("k"))), KeyError, "'k'"),
        (lambda d: PyAtomDatabase(d, level=Failing(ValueError("no int"))), ValueError, "no int"),
    ],
)
def test_conversion_failure(db_path, call, error, message):
    with pytest.raises(error) as info:
        call(db_path)
    text = str(info.value)
    if message.endswith(": "):
        assert text.startswith(message)
    else:
        assert text == message


@pytest.mark.parametrize(
    "value, mmap, overwrite",
    [
        (True, True, True),
        (False, False, False),
        (np.True_, True, True),
        (np.False_, False, False),
        (np.bool_(1), True, True),
        (None, True, False),  # None means the default
    ],
)
def test_boolean_parameters_accept_bools_and_numpy_bools(db_path, value, mmap, overwrite):
    PyAtomDatabase(db_path).flush()
    database = PyAtomDatabase.open(db_path, mmap=value)
    # A memory-mapped open of a flushed file refuses to flush; a plain open accepts it.
    if mmap:
        with pytest.raises(ValueError, match="read-only"):
            database.flush()
    else:
        assert database.flush() is None
    if overwrite:
        assert len(PyAtomDatabase(db_path, overwrite=value)) == 0
    else:
        with pytest.raises(FileExistsError):
            PyAtomDatabase(db_path, overwrite=value)


@pytest.mark.parametrize(
    "value, level",
    [
        (np.int64(7), 7),
        (np.uint8(19), 19),
        (np.int32(-2), -2),
        (Index(5), 5),
        (2**31 - 1, 2**31 - 1),
        (-(2**31), -(2**31)),
    ],
)
def test_integer_parameters_accept_objects_with_index(db_path, value, level):
    PyAtomDatabase(db_path, compression="zstd", level=value)
    with open(db_path, "rb") as f:
        header = f.read(56)
    assert int.from_bytes(header[52:56], "little", signed=True) == level


@pytest.mark.parametrize(
    "value, position",
    [
        (Real(0.5), 0.5),
        (np.float32(0.1), 0.10000000149011612),
        (np.float64(2.5), 2.5),
        (np.int32(3), 3.0),
        (7, 7.0),
        (2**64, 18446744073709551616.0),
    ],
)
def test_float_parameters_accept_anything_float_accepts(value, position):
    assert PyAtom(value, value, value, 1).position() == (position,) * 3
