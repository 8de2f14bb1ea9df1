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
        fields = {}
        for key, value in kw.items():
            if key == "pbc":
                fields[key] = tuple(bool(x) for x in value[i])
            elif key == "energy":
                fields[key] = value[i]
            else:
                fields[key] = value[i]
        if "energy" in fields and fields["energy"].dtype == np.float64:
            fields["energy"] = float(fields["energy"])
        mol = PyMolecule.from_arrays(arrays["positions"][i], arrays["atomic_numbers"][i], **fields)
        for key, value in props.items():
            item = value[i]
            if isinstance(item, np.floating):
                item = float(item)
            elif isinstance(item, np.integer):
                item = int(item)
            mol.set_property(key, item)
        mols.append(mol)
    return mols


def file_bytes(path):
    with open(path, "rb") as f:
        return f.read()


@pytest.mark.parametrize("f64", [False, True])
@pytest.mark.parametrize("optional", [False, True])
@pytest.mark.parametrize("custom", [False, True])
@pytest.mark.parametrize("compression", ["none", "zstd"])
def test_same_file_as_add_molecules(tmp_path, f64, optional, custom, compression):
    arrays, kw, props = batch_arrays(7, 6, 5, f64=f64, optional=optional, custom=custom)
    if f64 and optional:
        kw["energy"] = kw["energy"].astype(np.float64)  # a float energy is stored as float64
    a, b = str(tmp_path / "a"), str(tmp_path / "b")
    db = PyAtomDatabase(a, compression)
    db.add_arrays_batch(**arrays, **kw, properties=props or None)
    db.flush()
    db = PyAtomDatabase(b, compression)
    db.add_molecules(as_molecules(arrays, kw, props))
    db.flush()
    assert file_bytes(a) == file_bytes(b)
    back = PyAtomDatabase.open(a).get_molecules(list(range(6)))
    for i, mol in enumerate(back):
        assert mol.to_owned().positions.tobytes() == arrays["positions"][i].tobytes()
        if custom:
            assert mol.to_owned().get_property("label") == f"l{i}"


def test_per_atom_columns(tmp_path):
    path = str(tmp_path / "a")
    arrays, _, _ = batch_arrays(1, 3, 4, optional=False, custom=False)
    q = np.arange(12, dtype=np.int32).reshape(3, 4)
    v = np.arange(36, dtype=np.float64).reshape(3, 4, 3)
    db = PyAtomDatabase(path)
    db.add_arrays_batch(**arrays, atom_properties={"q": q, "v": v})
    db.flush()
    assert len(PyAtomDatabase.open(path)) == 3


def layouts(arrays, kw, props):
    """The same values as reversed, sliced and transposed views where strides are honoured."""
    rev = dict(arrays)
    kw2 = dict(kw)
    if kw["positions_f64"]:  # the general path reads pbc through its strides
        kw2["pbc"] = np.asfortranarray(kw["pbc"])
    del kw2["positions_f64"]
    props2 = dict(props)
    props2["score"] = np.concatenate([props["score"][:, None]] * 2, axis=1)[:, 0]  # strided
    props2["count"] = props["count"][::-1].copy()[::-1]
    return rev, kw2, props2


@pytest.mark.parametrize("f64", [False, True])
def test_non_contiguous_inputs(tmp_path, f64):
    arrays, kw, props = batch_arrays(3, 5, 4, f64=f64)
    a, b = str(tmp_path / "a"), str(tmp_path / "b")
    kw["positions_f64"] = f64
    cases = [(a, (arrays, kw, props)), (b, layouts(arrays, kw, props))]
    del kw["positions_f64"]
    for path, (ar, k, p) in cases:
        db = PyAtomDatabase(path)
        db.add_arrays_batch(**ar, **k, properties=p)
        db.flush()
    assert file_bytes(a) == file_bytes(b)


@pytest.mark.parametrize("batch", [1023, 1024])
def test_threshold_rows_in_order(tmp_path, batch):
    arrays, kw, props = batch_arrays(batch, batch, 3)
    a, b = str(tmp_path / "a"), str(tmp_path / "b")
    db = PyAtomDatabase(a)
    db.add_arrays_batch(**arrays, **kw, properties=props)
    db.flush()
    db = PyAtomDatabase(b)
    db.add_molecules(as_molecules(arrays, kw, props))
    db.flush()
    assert file_bytes(a) == file_bytes(b)


@pytest.mark.parametrize("batch", [1023, 1024])
def test_failing_records_append_nothing(tmp_path, batch):
    arrays, _, _ = batch_arrays(0, batch, 2, optional=False, custom=False)
    db = PyAtomDatabase(str(tmp_path / "a"))
    with pytest.raises(ValueError, match="Section key '.*' is too long"):
        db.add_arrays_batch(**arrays, properties={"k" * 300: np.zeros(batch)})
    assert len(db) == 0


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

TYPE_ERRORS = [
    ({"atomic_numbers": [[1]]}, "argument 'atomic_numbers': 'list' object cannot be converted to 'PyArray<T, D>'"),
    ({"atomic_numbers": Z.astype(np.int64)}, "argument 'atomic_numbers'"),
    ({"pbc": np.ones((B, 3), np.uint8)}, "argument 'pbc': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ({"name": "abc"}, "argument 'name': Can't extract `str` to `Vec`"),
    ({"name": 5}, "argument 'name': 'int' object cannot be converted to 'Sequence'"),
    ({"name": ["a", None, "c", "d"]}, "argument 'name'"),
    ({"properties": []}, "argument 'properties': 'list' object cannot be converted to 'PyDict'"),
    ({"atom_properties": 1}, "argument 'atom_properties': 'int' object cannot be converted to 'PyDict'"),
    # argument checks come before any array is looked at
    ({"positions": "junk", "name": "abc"}, "argument 'name'"),
    ({"properties": {1: np.zeros(B)}}, "'int' object cannot be converted to 'PyString'"),
]

VALUE_ERRORS = [
    ({"positions": np.zeros((B, N, 4), np.float32)}, "positions must have shape (batch, n_atoms, 3)"),
    ({"positions": np.zeros((B, N, 4))}, "positions must have shape (batch, n_atoms, 3)"),
    ({"positions": np.zeros((B, N, 3), np.int32)}, "positions must be a float32 or float64 ndarray with shape (batch, n_atoms, 3)"),
    ({"positions": np.asfortranarray(P32)}, "positions must be C-contiguous"),
    ({"atomic_numbers": np.ones((B, N + 1), np.uint8)}, f"atomic_numbers must have shape ({B}, {N})"),
    ({"positions": P64, "atomic_numbers": np.ones((B, N + 1), np.uint8)}, f"atomic_numbers must have shape ({B}, {N})"),
    ({"atomic_numbers": np.asfortranarray(np.ones((B, N), np.uint8))}, "atomic_numbers must be C-contiguous"),
    ({"energy": np.zeros(B - 1)}, f"energy length ({B - 1}) doesn't match batch size ({B})"),
    ({"energy": np.zeros(2 * B)[::2]}, "energy must be C-contiguous"),
    ({"energy": np.zeros((B, 1))}, "energy must be a float32 or float64 ndarray with shape (batch,)"),
    ({"forces": np.asfortranarray(np.zeros((B, N, 3), np.float32))}, "forces must be C-contiguous"),
    ({"forces": np.zeros((B, N + 1, 3), np.float32)}, f"forces must have shape ({B}, {N}, 3)"),
    ({"forces": [[0.0]]}, "forces must be a float32 or float64 ndarray with shape (batch, n_atoms, 3)"),
    ({"charges": np.zeros((B, N + 1))}, f"charges must have shape ({B}, {N})"),
    ({"velocities": np.zeros((B, 1, 3), np.float32)}, f"velocities must have shape ({B}, {N}, 3)"),
    ({"cell": np.zeros((B, 3, 3), np.int64)}, "cell must be a float32 or float64 ndarray with shape (batch, 3, 3)"),
    ({"cell": np.zeros((B, 3, 4), np.float32)}, f"cell must have shape ({B}, 3, 3)"),
    ({"stress": np.asfortranarray(np.zeros((B, 3, 3)))}, "stress must be C-contiguous"),
    ({"pbc": np.ones((B, 2), bool)}, f"pbc must have shape ({B}, 3)"),
    ({"pbc": np.asfortranarray(np.ones((B, 3), bool))}, "pbc must be C-contiguous"),
    ({"name": ["a"] * (B + 1)}, f"name length ({B + 1}) doesn't match batch size ({B})"),
    # custom columns
    ({"properties": {"stress": 1}}, "'stress' is a reserved field; use the builtin stress argument instead"),
    ({"atom_properties": {"stress": 1}}, "'stress' is a reserved field"),
    ({"properties": {"a": np.zeros(B)}, "atom_properties": {"a": np.zeros((B, N))}}, "Duplicate custom key 'a' across batched atom property inputs"),
    ({"properties": {"s": "text"}}, "Unsupported batched property 's' type"),
    ({"properties": {"s": 1.5}}, "Unsupported batched property 's' type"),
    ({"properties": {"s": np.zeros((B, 2, 2))}}, "Unsupported batched property 's' type"),
    ({"properties": {"s": []}}, f"custom property 's' length (0) doesn't match batch size ({B})"),
    ({"properties": {"s": np.zeros(B + 1, np.int32)}}, f"custom property 's' length ({B + 1}) doesn't match batch size ({B})"),
    ({"properties": {"s": np.zeros((B + 1, 2))}}, f"custom property 's' must have shape ({B}, k)"),
    ({"properties": {"s": np.zeros((2, B)).T}}, "custom property 's' must be C-contiguous"),
    ({"atom_properties": {"s": np.zeros((B, N + 1), np.int64)}}, f"atom property 's' must have shape ({B}, {N})"),
    ({"atom_properties": {"s": np.zeros((B, N, 2))}}, f"custom property 's' must have shape ({B}, {N}, 3) for atom properties"),
    ({"atom_properties": {"s": np.zeros(B)}}, "Unsupported batched atom property 's' type"),
]


def call(db, case):
    args = {"positions": P32, "atomic_numbers": Z, "energy": np.zeros(B)}
    args.update(case)
    return db.add_arrays_batch(**args)


@pytest.mark.parametrize("case,message", TYPE_ERRORS)
def test_argument_errors(tmp_path, case, message):
    db = PyAtomDatabase(str(tmp_path / "a"))
    with pytest.raises(TypeError) as info:
        call(db, case)
    assert str(info.value).startswith(message) or message in str(info.value)
    assert len(db) == 0


@pytest.mark.parametrize("case,message", VALUE_ERRORS)
def test_value_errors(tmp_path, case, message):
    db = PyAtomDatabase(str(tmp_path / "a"))
    with pytest.raises(ValueError) as info:
        call(db, case)
    assert str(info.value).startswith(message)
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


def test_custom_columns_in_given_order_read_back(tmp_path):
    path = str(tmp_path / "a")
    arrays, kw, props = batch_arrays(11, 4, 3)
    unsorted = dict(reversed(list(props.items())))
    db = PyAtomDatabase(path)
    db.add_arrays_batch(**arrays, **kw, properties=unsorted)
    db.flush()
    back = PyAtomDatabase.open(path).get_molecules([0, 1, 2, 3])
    for i, (got, want) in enumerate(zip(back, as_molecules(arrays, kw, props))):
        got, want = got.to_owned(), want.to_owned()
        for key in ("positions", "forces", "charges", "velocities", "cell", "stress"):
            assert getattr(got, key).tobytes() == getattr(want, key).tobytes()
        assert (got.energy, got.pbc) == (want.energy, want.pbc)
        for key, value in props.items():
            a, b = np.asarray(got.get_property(key)), np.asarray(want.get_property(key))
            assert a.dtype == b.dtype and a.tobytes() == b.tobytes()


@pytest.mark.parametrize("f64", [False, True])
def test_pbc_bool_view_of_other_bytes_is_stored_as_flags(tmp_path, f64):
    arrays, _, _ = batch_arrays(2, 2, 3, f64=f64, optional=False, custom=False)
    odd = np.array([[2, 0, 255], [0, 7, 1]], np.uint8).view(bool)
    plain = np.array([[1, 0, 1], [0, 1, 1]], bool)
    a, b = str(tmp_path / "a"), str(tmp_path / "b")
    for path, pbc in ((a, odd), (b, plain)):
        db = PyAtomDatabase(path)
        db.add_arrays_batch(**arrays, pbc=pbc)
        db.flush()
    assert file_bytes(a) == file_bytes(b)
