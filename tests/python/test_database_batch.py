"""PyAtomDatabase.add_arrays_batch: records equal to add_molecules', checks in order, atomicity."""

import os
import resource
import signal

import numpy as np
import pytest

from kestrove import PyAtomDatabase, PyMolecule


def batch_arrays(seed, batch, n, *, f64=False, optional=True, custom=True):
    rng = np.random.default_rng(seed)
    ft = np.float64 if f64 else np.float32
    arrays = {
        "positions": rng.standard_normal((batch, n, 3)).astype(ft),
        "atomic_numbers": rng.integers(1, 90, (batch, n)).astype(np.uint8),
    }
    kw = {}
    if optional:
        kw = {
            "energy": rng.standard_normal(batch).astype(ft if f64 else np.float64),
            "forces": rng.standard_normal((batch, n, 3)).astype(ft),
            "charges": rng.standard_normal((batch, n)).astype(np.float64 if not f64 else np.float32),
            "velocities": rng.standard_normal((batch, n, 3)).astype(ft),
            "cell": rng.standard_normal((batch, 3, 3)).astype(ft),
            "stress": rng.standard_normal((batch, 3, 3)).astype(np.float64),
            "pbc": rng.integers(0, 2, (batch, 3)).astype(bool),
            "name": [f"mol-{seed}-{i}" for i in range(batch)],
        }
    props = {}
    if custom:
        props = {
            "score": rng.standard_normal(batch),
            "count": rng.integers(-5, 5, batch).astype(np.int64),
            "label": [f"l{i}" for i in range(batch)],
            "m32": rng.standard_normal((batch, 4)).astype(np.float32),
            "m64": rng.standard_normal((batch, 2)),
            "i64": rng.integers(-9, 9, (batch, 3)).astype(np.int64),
            "i32": rng.integers(-9, 9, (batch, 3)).astype(np.int32),
            "v3": rng.standard_normal((batch, 2, 3)).astype(ft),
        }
        # add_molecules writes custom sections sorted by key, add_arrays_batch in the order given
        props = dict(sorted(props.items()))
    return arrays, kw, props


def as_molecules(arrays, kw, props):
    mols = []
    for i in range(len(arrays["positions"])):
        fields = {key: value[i] for key, value in kw.items()}
        if "pbc" in fields:
            fields["pbc"] = tuple(bool(x) for x in fields["pbc"])
        if "energy" in fields and fields["energy"].dtype == np.float64:
            fields["energy"] = float(fields["energy"])
        mol = PyMolecule.from_arrays(arrays["positions"][i], arrays["atomic_numbers"][i], **fields)
        for key, value in props.items():
            item = value[i]
            mol.set_property(key, item.item() if isinstance(item, np.generic) else item)
        mols.append(mol)
    return mols


def file_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def batch_file(path, *args, compression="none", **kw):
    """The bytes of a new database holding one add_arrays_batch call."""
    db = PyAtomDatabase(str(path), compression)
    db.add_arrays_batch(*args, **kw)
    db.flush()
    return file_bytes(path)


def molecules_file(path, mols, compression="none"):
    db = PyAtomDatabase(str(path), compression)
    db.add_molecules(mols)
    db.flush()
    return file_bytes(path)


@pytest.mark.parametrize("f64", [False, True])
@pytest.mark.parametrize("optional", [False, True])
@pytest.mark.parametrize("custom", [False, True])
@pytest.mark.parametrize("compression", ["none", "zstd"])
def test_same_file_as_add_molecules(tmp_path, f64, optional, custom, compression):
    arrays, kw, props = batch_arrays(7, 6, 5, f64=f64, optional=optional, custom=custom)
    if f64 and optional:
        kw["energy"] = kw["energy"].astype(np.float64)  # a float energy is stored as float64
    got = batch_file(tmp_path / "a", **arrays, **kw, properties=props or None, compression=compression)
    assert got == molecules_file(tmp_path / "b", as_molecules(arrays, kw, props), compression)


@pytest.mark.parametrize("batch", [1023, 1024])
def test_threshold_rows_in_order(tmp_path, batch):
    arrays, kw, props = batch_arrays(batch, batch, 3)
    got = batch_file(tmp_path / "a", **arrays, **kw, properties=props)
    assert got == molecules_file(tmp_path / "b", as_molecules(arrays, kw, props))


@pytest.mark.parametrize("f64", [False, True])
def test_non_contiguous_inputs(tmp_path, f64):
    """Strided 1-D custom columns are read in logical order (and pbc too on the general path)."""
    arrays, kw, props = batch_arrays(3, 5, 4, f64=f64)
    strided = dict(props)
    strided["score"] = np.repeat(props["score"], 2)[::2]
    strided["count"] = props["count"][::-1].copy()[::-1]
    kw2 = dict(kw, pbc=np.asfortranarray(kw["pbc"])) if f64 else kw
    want = batch_file(tmp_path / "a", **arrays, **kw, properties=props)
    assert batch_file(tmp_path / "b", **arrays, **kw2, properties=strided) == want


@pytest.mark.parametrize("f64", [False, True])
def test_pbc_bool_view_of_other_bytes_is_stored_as_flags(tmp_path, f64):
    arrays, _, _ = batch_arrays(2, 2, 3, f64=f64, optional=False, custom=False)
    odd = np.array([[2, 0, 255], [0, 7, 1]], np.uint8).view(bool)
    plain = np.array([[1, 0, 1], [0, 1, 1]], bool)
    got = batch_file(tmp_path / "a", **arrays, pbc=odd)
    assert got == batch_file(tmp_path / "b", **arrays, pbc=plain)


@pytest.mark.parametrize("batch", [1023, 1024])
def test_failing_records_append_nothing(tmp_path, batch):
    arrays, _, _ = batch_arrays(0, batch, 2, optional=False, custom=False)
    db = PyAtomDatabase(str(tmp_path / "a"))
    with pytest.raises(ValueError, match="Section key '.*' is too long"):
        db.add_arrays_batch(**arrays, properties={"k" * 300: np.zeros(batch)})
    assert len(db) == 0


def test_atom_count_beyond_32_bits_is_refused(tmp_path, run_python):
    """2**32 atoms read in place from sparse memory-mapped files: refused before a record is
    allocated. The child's address space is capped so that a record that size could not be."""
    code = """
        import resource, sys
        import numpy as np
        from kestrove import PyAtomDatabase
        n = 2**32
        positions = np.memmap(sys.argv[1] + ".p", np.float32, "w+", shape=(1, n, 3))
        numbers = np.memmap(sys.argv[1] + ".z", np.uint8, "w+", shape=(1, n))
        db = PyAtomDatabase(sys.argv[1])
        mapped = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (mapped + 2**32, resource.RLIM_INFINITY))
        try:
            db.add_arrays_batch(positions, numbers)
        except ValueError as error:
            print(error, len(db))
    """
    result = run_python(code, tmp_path / "a")
    assert result.stdout == "Atom count 4294967296 exceeds the record limit of 4294967295 0\n", \
        result.stderr


def test_zero_rows_and_read_only(tmp_path):
    path = str(tmp_path / "a")
    PyAtomDatabase(path).flush()
    ro = PyAtomDatabase.open(path)
    ro.add_arrays_batch(np.zeros((0, 2, 3), np.float32), np.zeros((0, 2), np.uint8))
    assert len(ro) == 0
    with pytest.raises(ValueError):
        ro.add_arrays_batch(np.zeros((1, 2, 3), np.float32), np.zeros((1, 2), np.uint8))


B, N = 4, 3
P32 = np.zeros((B, N, 3), np.float32)
P64 = np.zeros((B, N, 3), np.float64)
Z = np.ones((B, N), np.uint8)
PROPERTY_TYPES = "list[str], 1D numeric arrays, 2D numeric arrays, or 3D float arrays with trailing dimension 3"


def raising(error, from_len):
    """A sequence of B items whose __len__, or else __getitem__, raises `error`."""

    class Sequence:
        def __len__(self):
            if from_len:
                raise error
            return B

        def __getitem__(self, i):
            raise error

    return Sequence()


ERRORS = [
    # argument conversion, before any array is looked at
    ({"atomic_numbers": [[1]]}, TypeError, "argument 'atomic_numbers': 'list' object cannot be converted to 'PyArray<T, D>'"),
    ({"atomic_numbers": Z.astype(np.int64)}, TypeError, "argument 'atomic_numbers': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ({"pbc": np.ones((B, 3), np.uint8)}, TypeError, "argument 'pbc': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ({"name": 5}, TypeError, "argument 'name': 'int' object cannot be converted to 'Sequence'"),
    ({"name": ["a", None, "c", "d"]}, TypeError, "argument 'name': 'NoneType' object cannot be converted to 'PyString'"),
    ({"positions": "junk", "name": "abc"}, TypeError, "argument 'name': Can't extract `str` to `Vec`"),
    ({"properties": []}, TypeError, "argument 'properties': 'list' object cannot be converted to 'PyDict'"),
    ({"atom_properties": 1}, TypeError, "argument 'atom_properties': 'int' object cannot be converted to 'PyDict'"),
    ({"properties": {1: np.zeros(B)}}, TypeError, "'int' object cannot be converted to 'PyString'"),
    # built-in columns, on the fast path (float32 positions) and the general one (float64)
    ({"positions": np.zeros((B, N, 4), np.float32)}, ValueError, "positions must have shape (batch, n_atoms, 3)"),
    ({"positions": np.zeros((B, N, 4))}, ValueError, "positions must have shape (batch, n_atoms, 3)"),
    ({"positions": np.zeros((B, N, 3), np.int32)}, ValueError, "positions must be a float32 or float64 ndarray with shape (batch, n_atoms, 3)"),
    ({"positions": np.asfortranarray(P32)}, ValueError, "positions must be C-contiguous"),
    ({"atomic_numbers": np.ones((B, N + 1), np.uint8)}, ValueError, f"atomic_numbers must have shape ({B}, {N})"),
    ({"positions": P64, "atomic_numbers": np.ones((B, N + 1), np.uint8)}, ValueError, f"atomic_numbers must have shape ({B}, {N})"),
    ({"atomic_numbers": np.asfortranarray(np.ones((B, N), np.uint8))}, ValueError, "atomic_numbers must be C-contiguous"),
    ({"energy": np.zeros(B - 1)}, ValueError, f"energy length ({B - 1}) doesn't match batch size ({B})"),
    ({"energy": np.zeros(B - 1, np.float32)}, ValueError, f"energy length ({B - 1}) doesn't match batch size ({B})"),
    ({"energy": np.zeros(2 * B)[::2]}, ValueError, "energy must be C-contiguous"),
    ({"energy": np.zeros((B, 1))}, ValueError, "energy must be a float32 or float64 ndarray with shape (batch,)"),
    ({"forces": np.asfortranarray(np.zeros((B, N, 3), np.float32))}, ValueError, "forces must be C-contiguous"),
    ({"forces": np.zeros((B, N + 1, 3), np.float32)}, ValueError, f"forces must have shape ({B}, {N}, 3)"),
    ({"forces": np.zeros((B, N + 1, 3))}, ValueError, f"forces must have shape ({B}, {N}, 3)"),
    ({"forces": [[0.0]]}, ValueError, "forces must be a float32 or float64 ndarray with shape (batch, n_atoms, 3)"),
    ({"charges": np.zeros((B, N + 1))}, ValueError, f"charges must have shape ({B}, {N})"),
    ({"velocities": np.zeros((B, 1, 3), np.float32)}, ValueError, f"velocities must have shape ({B}, {N}, 3)"),
    ({"cell": np.zeros((B, 3, 3), np.int64)}, ValueError, "cell must be a float32 or float64 ndarray with shape (batch, 3, 3)"),
    ({"cell": np.zeros((B, 3, 4), np.float32)}, ValueError, f"cell must have shape ({B}, 3, 3)"),
    ({"stress": np.asfortranarray(np.zeros((B, 3, 3)))}, ValueError, "stress must be C-contiguous"),
    ({"pbc": np.ones((B, 2), bool)}, ValueError, f"pbc must have shape ({B}, 3)"),
    ({"pbc": np.asfortranarray(np.ones((B, 3), bool))}, ValueError, "pbc must be C-contiguous"),
    ({"name": ["a"] * (B + 1)}, ValueError, f"name length ({B + 1}) doesn't match batch size ({B})"),
    # a shape and a contiguity fault together: the shape is reported
    ({"positions": np.asfortranarray(np.zeros((B, N, 4), np.float32))}, ValueError, "positions must have shape (batch, n_atoms, 3)"),
    ({"atomic_numbers": np.asfortranarray(np.ones((B, N + 1), np.uint8))}, ValueError, f"atomic_numbers must have shape ({B}, {N})"),
    ({"forces": np.asfortranarray(np.zeros((B, N + 1, 3), np.float32))}, ValueError, f"forces must have shape ({B}, {N}, 3)"),
    ({"pbc": np.asfortranarray(np.ones((B, 2), bool))}, ValueError, f"pbc must have shape ({B}, 3)"),
    ({"properties": {"s": np.zeros((2, B + 1)).T}}, ValueError, f"custom property 's' must have shape ({B}, k)"),
    ({"atom_properties": {"s": np.zeros((2, N, B)).T}}, ValueError, f"custom property 's' must have shape ({B}, {N}, 3) for atom properties"),
    # custom columns
    ({"properties": {"stress": 1}}, ValueError, "'stress' is a reserved field; use the builtin stress argument instead"),
    ({"atom_properties": {"stress": 1}}, ValueError, "'stress' is a reserved field; use the builtin stress argument instead"),
    ({"properties": {"a": np.zeros(B)}, "atom_properties": {"a": np.zeros((B, N))}}, ValueError, "Duplicate custom key 'a' across batched atom property inputs"),
    ({"properties": {"s": "text"}}, ValueError, f"Unsupported batched property 's' type. Supported: {PROPERTY_TYPES}"),
    ({"properties": {"s": 1.5}}, ValueError, f"Unsupported batched property 's' type. Supported: {PROPERTY_TYPES}"),
    ({"properties": {"s": np.zeros((B, 2, 2))}}, ValueError, f"Unsupported batched property 's' type. Supported: {PROPERTY_TYPES}"),
    ({"properties": {"s": range(10**12)}}, ValueError, f"Unsupported batched property 's' type. Supported: {PROPERTY_TYPES}"),
    ({"properties": {"s": range(2**62)}}, ValueError, f"Unsupported batched property 's' type. Supported: {PROPERTY_TYPES}"),
    # an exception of the value's own code: an Exception is a failed attempt, anything else
    # (Ctrl-C, exit) propagates as itself
    ({"properties": {"s": raising(LookupError("x"), False)}}, ValueError, f"Unsupported batched property 's' type. Supported: {PROPERTY_TYPES}"),
    ({"properties": {"s": raising(KeyboardInterrupt("stop"), True)}}, KeyboardInterrupt, "stop"),
    ({"properties": {"s": raising(SystemExit("stop"), False)}}, SystemExit, "stop"),
    ({"properties": {"s": []}}, ValueError, f"custom property 's' length (0) doesn't match batch size ({B})"),
    ({"properties": {"s": np.zeros(B + 1, np.int32)}}, ValueError, f"custom property 's' length ({B + 1}) doesn't match batch size ({B})"),
    ({"properties": {"s": np.zeros((B + 1, 2))}}, ValueError, f"custom property 's' must have shape ({B}, k)"),
    ({"properties": {"s": np.zeros((2, B)).T}}, ValueError, "custom property 's' must be C-contiguous"),
    ({"atom_properties": {"s": np.zeros((B, N + 1), np.int64)}}, ValueError, f"atom property 's' must have shape ({B}, {N})"),
    ({"atom_properties": {"s": np.zeros((B, N, 2))}}, ValueError, f"custom property 's' must have shape ({B}, {N}, 3) for atom properties"),
    ({"atom_properties": {"s": np.zeros(B)}}, ValueError, "Unsupported batched atom property 's' type. Supported: 2D numeric arrays with shape (batch, n_atoms) or 3D float arrays with shape (batch, n_atoms, 3)"),
]


@pytest.mark.parametrize("case,error,message", ERRORS)
def test_refusals_append_nothing(tmp_path, case, error, message):
    db = PyAtomDatabase(str(tmp_path / "a"))
    with pytest.raises(error) as info:
        db.add_arrays_batch(**{"positions": P32, "atomic_numbers": Z, "energy": np.zeros(B), **case})
    assert str(info.value) == message
    assert len(db) == 0


def test_precisions_kept(tmp_path):
    path = str(tmp_path / "a")
    db = PyAtomDatabase(path)
    db.add_arrays_batch(P32 + 1, Z, energy=np.arange(B, dtype=np.float32),
                        charges=np.ones((B, N), np.float32), cell=np.eye(3)[None].repeat(B, 0))
    db.flush()
    mol = PyAtomDatabase.open(path)[3].to_owned()
    assert mol.energy == 3.0
    assert mol.charges.dtype == np.float32
    assert mol.cell.dtype == np.float64


def test_columns_read_back(tmp_path):
    """Custom columns in the order given (add_molecules sorts them) and per-atom columns."""
    path = str(tmp_path / "a")
    arrays, kw, props = batch_arrays(11, 4, 3)
    atom_props = {"q": np.arange(12, dtype=np.int32).reshape(4, 3),
                  "v": np.arange(36, dtype=np.float64).reshape(4, 3, 3)}
    db = PyAtomDatabase(path)
    db.add_arrays_batch(**arrays, **kw, properties=dict(reversed(list(props.items()))),
                        atom_properties=atom_props)
    db.flush()
    db = PyAtomDatabase.open(path)
    flat = db.get_molecules_flat([0, 1, 2, 3])["atom_properties"]
    for key, value in atom_props.items():
        assert flat[key].dtype == value.dtype and flat[key].tobytes() == value.tobytes()
    for got, want in zip(db.get_molecules([0, 1, 2, 3]), as_molecules(arrays, kw, props)):
        got, want = got.to_owned(), want.to_owned()
        for key in ("positions", "forces", "charges", "velocities", "cell", "stress"):
            assert getattr(got, key).tobytes() == getattr(want, key).tobytes()
        assert (got.energy, got.pbc) == (want.energy, want.pbc)
        for key, value in props.items():
            a, b = np.asarray(got.get_property(key)), np.asarray(want.get_property(key))
            assert a.dtype == b.dtype and a.tobytes() == b.tobytes()


def test_value_that_empties_its_dict_while_read(tmp_path):
    props = {}

    class Texts:
        def __len__(self):
            return B

        def __getitem__(self, i):
            if i >= B:
                raise IndexError
            props.clear()  # drops the dict's reference to this value
            return f"t{i}"

    props["s"] = Texts()
    db = PyAtomDatabase(str(tmp_path / "a"))
    db.add_arrays_batch(P32, Z, properties=props)
    assert db[B - 1].to_owned().get_property("s") == f"t{B - 1}"


def test_value_that_rebuilds_its_dict_while_read_loses_no_key(tmp_path):
    """Deleting a key already read and adding fifty rebuilds the dict's table under the reader:
    the keys given are stored, all of them and only they."""
    props = {}

    class Texts(list):
        def __getitem__(self, i):
            if "a" in props:
                del props["a"]
                props.update((f"z{k}", np.zeros(B)) for k in range(50))
            return list.__getitem__(self, i)

    props.update(a=np.zeros(B), b=Texts(["t"] * B), c=np.ones(B))
    db = PyAtomDatabase(str(tmp_path / "a"))
    db.add_arrays_batch(P32, Z, properties=props)
    assert db[0].property_keys() == ["a", "b", "c"]


@pytest.mark.skipif(not hasattr(getattr(np, "dtypes", None), "StringDType"), reason="NumPy 2 only")
def test_string_dtype_array_is_a_text_column(tmp_path):
    texts = ["α", "", "d", "long " * 20]
    db = PyAtomDatabase(str(tmp_path / "a"))
    db.add_arrays_batch(P32, Z, properties={"t": np.array(texts, np.dtypes.StringDType())})
    assert [m.get_property("t") for m in db.get_molecules(range(B))] == texts


# Python code run while one argument is read changes an array checked before: the call reads
# nothing but what it checked, so it refuses, and never reads a freed or resized buffer.
CHANGED_MID_CALL = [
    # name is converted after atomic_numbers and pbc
    ("name=TEXTS", "Z.dtype = np.float64", "TypeError: argument 'atomic_numbers': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    # custom columns are read while the fast path holds the built-in arrays in place
    ("properties={'t': TEXTS}", "P.resize((1, 1, 3), refcheck=False)", "RuntimeError: a built-in array changed while the custom properties were read"),
    ("properties={'t': TEXTS}", "P.dtype = np.int32", "RuntimeError: a built-in array changed while the custom properties were read"),
]


@pytest.mark.parametrize("argument,change,outcome", CHANGED_MID_CALL)
def test_arrays_changed_while_another_argument_is_read(tmp_path, run_python, argument, change, outcome):
    result = run_python(
        f"""
        import sys
        import numpy as np
        from kestrove import PyAtomDatabase

        P = np.zeros((4, 1 << 14, 3), np.float32)  # freed to the system when resized
        Z = np.ones(P.shape[:2], np.uint8)
        pbc = np.ones((4, 3), bool)

        class Texts(list):
            def __getitem__(self, i):
                {change}
                return list.__getitem__(self, i)

        TEXTS = Texts(["t"] * 4)
        db = PyAtomDatabase(sys.argv[1])
        try:
            db.add_arrays_batch(P, Z, pbc=pbc, {argument})
        except Exception as error:
            print(f"{{type(error).__name__}}: {{error}}")
        print(len(db))
        """,
        tmp_path / "a",
    )
    assert (result.returncode, result.stdout) == (0, f"{outcome}\n0\n"), result.stderr


def test_interrupted_batch_keeps_last_commit(tmp_path):
    path = str(tmp_path / "a")
    arrays, kw, props = batch_arrays(5, 50, 4)
    db = PyAtomDatabase(path)
    db.add_arrays_batch(**arrays, **kw, properties=props)
    db.flush()
    del db
    committed = file_bytes(path)
    big, kw2, props2 = batch_arrays(6, 4000, 16)
    pid = os.fork()
    if pid == 0:  # child: the size limit hits in the middle of the append
        try:
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (len(committed) + 100_000,) * 2)
            d = PyAtomDatabase.open(path, mmap=False)
            try:
                d.add_arrays_batch(**big, **kw2, properties=props2)
                d.flush()
                os._exit(1)
            except (ValueError, OSError):
                os._exit(0)
        except BaseException:
            os._exit(2)
    _, status = os.waitpid(pid, 0)
    assert os.WEXITSTATUS(status) == 0
    reopened = PyAtomDatabase.open(path, mmap=False)
    assert len(reopened) == 50
    assert reopened[49].to_owned().positions.tobytes() == arrays["positions"][49].tobytes()
    reopened.add_arrays_batch(**arrays, **kw, properties=props)
    reopened.flush()
    again = PyAtomDatabase.open(path)
    assert len(again) == 100
    assert again[99].to_owned().positions.tobytes() == arrays["positions"][49].tobytes()

