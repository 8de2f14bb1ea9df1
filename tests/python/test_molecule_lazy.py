"""PyMolecule over a stored record: field reads, lookups and state changes of lazy molecules."""

import struct

import numpy as np
import pytest

from kestrove import PyAtomDatabase, PyMolecule

FIELDS = ["positions", "atomic_numbers", "forces", "velocities", "charges", "cell", "stress",
          "energy", "pbc"]


def special_values(dtype, shape):
    """Values a lossy copy would change: NaN payloads, -0.0, subnormals, extremes."""
    info = np.finfo(dtype)
    pool = np.array([np.nan, -0.0, info.smallest_subnormal, info.max, -info.tiny, 1.0 / 3.0],
                    dtype=dtype)
    values = np.resize(pool, int(np.prod(shape))).reshape(shape)
    bits = values.view(np.uint32 if dtype == np.float32 else np.uint64)
    bits.flat[0] |= bits.dtype.type(0x5)  # a NaN with a payload
    return values


def full_molecule(dtype, n=5):
    mol = PyMolecule(
        special_values(dtype, (n, 3)),
        np.arange(1, n + 1, dtype=np.uint8),
        energy=-0.0,
        forces=special_values(dtype, (n, 3))[::-1].copy(),
        velocities=special_values(dtype, (n, 3)),
        charges=special_values(dtype, (n,)),
        cell=special_values(dtype, (3, 3)),
        stress=special_values(dtype, (3, 3)).T.copy(),
        pbc=(False, True, False),
    )
    mol.set_property("label", "water")
    mol.set_property("weights", np.arange(4, dtype=np.int64))
    return mol


def read(mol, field):
    value = getattr(mol, field)
    if isinstance(value, np.ndarray):
        return value.dtype, value.shape, value.tobytes()
    if isinstance(value, float):
        return np.float64(value).tobytes()
    return value


def stored(tmp_path, molecules, compression="none", mmap=True):
    path = str(tmp_path / f"{compression}.kstv")
    db = PyAtomDatabase(path, compression)
    db.add_molecules(molecules)
    db.flush()
    return PyAtomDatabase.open(path, mmap=mmap)


def undecodable(tmp_path):
    """A lazy molecule whose text property is not UTF-8: its fields read, it cannot become owned."""
    path = str(tmp_path / "bad.kstv")
    db = PyAtomDatabase(path)
    db.add_molecule(full_molecule(np.float32, 3))
    db.flush()
    data = open(path, "rb").read()
    assert data.count(b"water") == 1
    open(path, "wb").write(data.replace(b"water", b"\xffater"))
    return PyAtomDatabase.open(path)[0]


@pytest.mark.parametrize("compression,mmap", [("none", True), ("none", False), ("zstd", True)])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_lazy_getters_equal_owned_bit_for_bit(tmp_path, dtype, compression, mmap):
    owned = full_molecule(dtype)
    lazy = stored(tmp_path, [owned], compression, mmap)[0]
    for field in FIELDS:
        assert read(lazy, field) == read(owned, field), field
        assert read(lazy, field) == read(lazy.to_owned(), field), field
    assert lazy.get_property("label") == "water"
    np.testing.assert_array_equal(lazy.get_property("weights"), np.arange(4))
    assert lazy["label"] == "water"
    assert (lazy.has_property("weights"), lazy.has_property("stress")) == (True, False)
    assert len(lazy) == 5 and repr(lazy) == repr(owned)
    a, b = lazy[-1], owned[4]
    assert a.atomic_number == b.atomic_number
    assert np.array(a.position()).tobytes() == np.array(b.position()).tobytes()
    assert [x.atomic_number for x in lazy.atoms()] == [1, 2, 3, 4, 5]
    lazy.positions[0, 0] = 7  # a new array each time: the record is not changed
    assert read(lazy, "positions") == read(owned, "positions")


def test_absent_fields_and_lookups_keep_a_view_lazy(tmp_path):
    bare = PyMolecule(np.zeros((2, 3), np.float32), np.array([1, 8], np.uint8))
    bare.set_property("label", "a")
    bare.set_property("weights", 1.5)
    lazy = stored(tmp_path, [bare])[0]
    assert [getattr(lazy, f) for f in FIELDS[2:]] == [None] * 7
    assert repr(lazy) == "Molecule(n_atoms=2, has_forces=false, has_energy=false)"
    with pytest.raises(KeyError, match="Property 'nope' not found"):
        lazy.get_property("nope")
    with pytest.raises(IndexError, match="Atom index -3 out of bounds for molecule of length 2"):
        lazy[-3]
    for key in (1.0, slice(0, 1), 2**70, None):
        with pytest.raises(TypeError, match="Molecule indices must be integers or strings"):
            lazy[key]
    assert lazy[True].atomic_number == 8


@pytest.mark.parametrize(
    "field,value",
    [("forces", np.ones((3, 3), np.float64)), ("stress", np.eye(3, dtype=np.float32)),
     ("energy", 2.5), ("energy", None), ("pbc", None), ("charges", np.ones(3, np.float32))],
)
def test_setters_on_lazy_molecules_store_the_new_value(tmp_path, field, value):
    lazy = stored(tmp_path, [full_molecule(np.float32, 3)])[0]
    setattr(lazy, field, value)
    got = getattr(lazy, field)
    if isinstance(value, np.ndarray):
        assert (got.dtype, got.tobytes()) == (value.dtype, value.tobytes())
    else:
        assert got == value
    assert read(lazy, "positions") == read(full_molecule(np.float32, 3), "positions")


# A molecule that cannot be decoded in whole shows which step of a setter comes first: the
# value's check (its own error) or the change to an owned molecule (the decoding error).
DECODE = "Invalid UTF-8 in string property"


@pytest.mark.parametrize(
    "field,value,error,text",
    [
        ("forces", None, ValueError, "Forces must be a float32 or float64 ndarray"),
        ("forces", np.ones((2, 3)), ValueError, r"Forces must have shape \(3, 3\)"),
        ("forces", np.ones((3, 3)), ValueError, DECODE),
        ("cell", [[1, 0, 0]] * 3, ValueError, "Cell must be a float32 or float64 ndarray"),
        ("cell", np.eye(3), ValueError, DECODE),
        ("stress", "bad", ValueError, DECODE),
        ("energy", "x", TypeError, "argument 'energy'"),
        ("energy", 1.0, ValueError, DECODE),
        ("pbc", [True, True, True], TypeError, "argument 'pbc'"),
        ("pbc", (True, True), ValueError, "expected tuple of length 3, but got tuple of length 2"),
    ],
)
def test_setter_checks_value_and_ownership_in_order(tmp_path, field, value, error, text):
    lazy = undecodable(tmp_path)
    before = read(lazy, field)
    with pytest.raises(error, match=text):
        setattr(lazy, field, value)
    assert read(lazy, field) == before


def test_an_undecodable_record_still_reads_field_by_field(tmp_path):
    lazy = undecodable(tmp_path)
    expected = full_molecule(np.float32, 3)
    for field in FIELDS:
        assert read(lazy, field) == read(expected, field), field
    np.testing.assert_array_equal(lazy.get_property("weights"), np.arange(4))
    assert lazy[0].atomic_number == 1
    for call in (lambda: lazy.get_property("label"), lazy.to_owned, lazy.atoms,
                 lambda: lazy.set_property("x", 1)):
        with pytest.raises(ValueError, match=DECODE):
            call()


def test_corrupt_record_bytes_give_value_errors(tmp_path):
    path = str(tmp_path / "c.kstv")
    db = PyAtomDatabase(path)
    db.add_molecule(full_molecule(np.float64, 4))
    end = len(open(path, "rb").read())
    db.flush()
    original = open(path, "rb").read()
    start = 2 * 4096
    rng = np.random.default_rng(0)
    for offset in rng.integers(start, end, 200):
        data = bytearray(original)
        data[offset] ^= int(rng.integers(1, 256))
        open(path, "wb").write(data)
        try:
            mol = PyAtomDatabase.open(path)[0]
        except ValueError:
            continue
        for call in [lambda: [getattr(mol, f) for f in FIELDS], mol.property_keys,
                     lambda: mol.get_property("label"), mol.atoms, lambda: mol[3], mol.to_owned]:
            try:
                call()
            except (ValueError, KeyError):
                pass


def section(kind, key, tag, payload):
    """One stored section: kind, key length, key, type tag, payload length, payload."""
    return struct.pack(f"<BB{len(key)}sBI", kind, len(key), key, tag, len(payload)) + payload


def crafted(tmp_path, sections):
    """A lazy molecule over a hand-made record: two atoms at the origin, then `sections`. The record
    overwrites the start of a longer stored one, whose rest is trailing bytes, which are ignored."""
    head = struct.pack("<I", 2) + bytes(24) + b"\x01\x01"
    record = head + struct.pack("<H", len(sections)) + b"".join(sections)
    mol = PyMolecule(np.zeros((2, 3), np.float32), np.ones(2, np.uint8))
    mol.set_property("pad", "." * len(record))
    path = str(tmp_path / "crafted.kstv")
    db = PyAtomDatabase(path, "none")
    db.add_molecule(mol)
    db.flush()
    data = bytearray(open(path, "rb").read())
    start = data.index(head, 2 * 4096)
    data[start:start + len(record)] = record
    open(path, "wb").write(data)
    return PyAtomDatabase.open(path)[0]


# One bad section per built-in field, in the order materialisation decodes them; the record holds
# them in the reverse order, so the error shows the decoding order, not the record's.
DECODE_ORDER = [
    (section(0, b"charges", 0, b""), "Unsupported charges type tag 0"),
    (section(0, b"cell", 4, b""), "Unsupported cell type tag 4"),
    (section(0, b"energy", 3, bytes(8)), "Unsupported energy type tag 3"),
    (section(0, b"forces", 3, b""), "Unsupported forces type tag 3"),
    (section(0, b"name", 2, b"\xff"), "Invalid UTF-8 in name"),
    (section(0, b"pbc", 9, bytes(2)), "Invalid pbc payload length"),
    (section(0, b"stress", 4, b""), "Unsupported stress type tag 4"),
    (section(0, b"velocities", 3, b""), "Unsupported velocities type tag 3"),
]
ROW = bytes(12)  # one float32 triple, where the record has two atoms


@pytest.mark.parametrize("sections,read,expected", [
    ([section(0, b"forces", 4, ROW)], lambda m: m.forces, ValueError("Invalid forces section")),
    ([section(0, b"energy", 3, bytes(8))], lambda m: m.energy,
     ValueError("Unsupported energy type tag 3")),
    ([section(0, b"pbc", 9, bytes(2))], lambda m: m.pbc, ValueError("Invalid pbc payload length")),
    ([section(2, b"p", 13, b"\0")], lambda m: m.get_property("p"),
     ValueError("Null property payload must be empty")),
    ([section(0, b"pbc", 9, b"\0\2\1")], lambda m: (m.pbc, m.to_owned().pbc),
     ((False, True, True),) * 2),
    # Materialisation compares no array with the atom count.
    ([section(0, b"forces", 4, ROW), section(0, b"velocities", 4, ROW),
      section(0, b"charges", 3, ROW[:8])],
     lambda m: [len(getattr(m.to_owned(), f)) for f in ("forces", "velocities", "charges")],
     [1, 1, 1]),
    # Every listed section's key is read, whatever its kind.
    ([section(0, b"\xff", 0, bytes(8))], lambda m: m.to_owned(),
     ValueError("Invalid UTF-8 in section key")),
] + [
    ([bad for bad, _ in reversed(DECODE_ORDER[k:])], lambda m: m.to_owned(), ValueError(first))
    for k, (_, first) in enumerate(DECODE_ORDER)
])
def test_crafted_records_read_and_fail_as_stored(tmp_path, sections, read, expected):
    mol = crafted(tmp_path, sections)
    if isinstance(expected, ValueError):
        with pytest.raises(ValueError) as raised:
            read(mol)
        assert str(raised.value) == str(expected)
    else:
        assert read(mol) == expected


def test_stress_setter_drops_a_stored_stress_property(tmp_path):
    mol = PyMolecule(np.zeros((2, 3)), np.ones(2, np.uint8))
    mol.set_property("strexx", 1.0)  # renamed in the file: set_property refuses "stress"
    mol.set_property("a", 1)
    path = str(tmp_path / "s.kstv")
    db = PyAtomDatabase(path)
    db.add_molecule(mol)
    db.flush()
    data = open(path, "rb").read()
    open(path, "wb").write(data.replace(b"strexx", b"stress"))
    lazy = PyAtomDatabase.open(path)[0]
    assert (lazy.get_property("stress"), lazy.stress) == (1.0, None)
    with pytest.raises(ValueError, match="Stress must be a float32 or float64 ndarray"):
        lazy.stress = None  # owned now, the property kept
    assert sorted(lazy.property_keys()) == ["a", "stress"]
    lazy.stress = np.eye(3, dtype=np.float32)
    assert lazy.property_keys() == ["a"] and lazy.stress.dtype == np.float32
