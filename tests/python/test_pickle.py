"""Pickling of molecules through their compact serialised form: bit-exact round trips at every
protocol, golden bytes, decoding of untrusted payloads, and unpickling in another process."""

import copy
import pickle
import random
import struct

import numpy as np
import pytest

import kestrove._kestrove_rs as ext
from kestrove import PyMolecule, _molecule_from_pickle_bytes

F32, F64 = np.float32, np.float64
UINT = {F32: np.uint32, F64: np.uint64}
PREFIX = "Failed to deserialize molecule: "
EOF_TEXT = PREFIX + "io error: unexpected end of file"


def bits(a):
    a = np.asarray(a)
    return a.dtype, a.shape, a.tobytes()


def special(dtype, count):
    """NaNs with payloads and signs, -0.0, infinities and subnormals, then random bit patterns."""
    uint = UINT[dtype]
    width = 8 * np.dtype(dtype).itemsize
    rng = np.random.default_rng(3)
    raw = rng.integers(0, 2**width - 1, size=count, dtype=np.uint64, endpoint=True).astype(uint)
    fixed = [(1 << (width - 1)) - 1 - 5, (1 << width) - 7, 1 << (width - 1), 1, (1 << (width - 1)) - 1]
    fixed = fixed[:count]
    raw[: len(fixed)] = np.array(fixed, dtype=np.uint64).astype(uint)
    return raw.view(dtype)


PROPERTY_VALUES = {
    "none": None,
    "float": -0.0,
    "nan": struct.unpack("<d", struct.pack("<Q", 0x7FF8_0000_0000_1234))[0],
    "int": -(2**63),
    "text": "héllo\x00",
    "f64": special(F64, 5),
    "vec3_f32": special(F32, 12).reshape(4, 3),
    "i64": np.array([2**63 - 1, -1, 0], np.int64),
    "f32": special(F32, 3),
    "vec3_f64": special(F64, 6).reshape(2, 3),
    "i32": np.array([-(2**31), 7], np.int32),
}


def full_molecule(dtype, properties=PROPERTY_VALUES):
    n = 4
    values = special(dtype, 3 * n)
    triples = values.reshape(n, 3)
    m = PyMolecule(
        triples,
        np.array([1, 6, 8, 118], np.uint8),
        energy=struct.unpack("<d", struct.pack("<Q", 0xFFF0_0000_0000_0042))[0],
        forces=-triples,
        charges=values[:n],
        velocities=triples[::-1].copy(),
        cell=values[:9].reshape(3, 3),
        stress=values[3:12].reshape(3, 3),
        pbc=(True, False, True),
        name="wäter",
    )
    for key, value in properties.items():
        m.set_property(key, value)
    return m


def payload(m):
    function, (data,) = m.__reduce__()
    assert function is ext._molecule_from_pickle_bytes
    return data


def assert_same_molecule(a, b):
    for field in ("positions", "atomic_numbers", "forces", "charges", "velocities", "cell", "stress"):
        assert bits(getattr(a, field)) == bits(getattr(b, field)), field
    assert struct.pack("<d", a.energy) == struct.pack("<d", b.energy)
    assert a.pbc == b.pbc
    assert sorted(a.property_keys()) == sorted(b.property_keys())
    for key in a.property_keys():
        x, y = a.get_property(key), b.get_property(key)
        if isinstance(x, np.ndarray):
            assert bits(x) == bits(y), key
        elif isinstance(x, float):
            assert struct.pack("<d", x) == struct.pack("<d", y), key
        else:
            assert type(x) is type(y) and x == y, key


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("dtype", [F32, F64])
def test_round_trip_at_every_protocol_is_bit_exact(protocol, dtype):
    m = full_molecule(dtype)
    back = pickle.loads(pickle.dumps(m, protocol=protocol))
    assert type(back) is PyMolecule
    assert_same_molecule(m, back)
    # With at most one property the form is deterministic, so the name survives too.
    single = full_molecule(dtype, {"f64": PROPERTY_VALUES["f64"]})
    assert payload(pickle.loads(pickle.dumps(single, protocol=protocol))) == payload(single)


def test_copies_are_independent_owned_molecules():
    m = full_molecule(F64)
    for clone in (copy.copy(m), copy.deepcopy(m)):
        assert_same_molecule(m, clone)
        clone.set_property("float", 1.0)
        clone.energy = 2.0
        assert m.get_property("float") == 0.0 and m.energy != 2.0


def encode(name=None, positions=((0.0, 0.0, 0.0),), numbers=(1,), atom_props=(), props=(), f64=False):
    """A compact form written by hand; properties are (key, tag, payload bytes) triples."""
    text = lambda s: struct.pack("<Q", len(s.encode())) + s.encode()
    out = b"\x00" if name is None else b"\x01" + text(name)
    fmt = "<3d" if f64 else "<3f"
    out += struct.pack("<IQ", int(f64), len(positions)) + b"".join(struct.pack(fmt, *p) for p in positions)
    out += struct.pack("<Q", len(numbers)) + bytes(numbers) + b"\x00" * 7
    for table in (atom_props, props):
        out += struct.pack("<Q", len(table)) + b"".join(text(k) + struct.pack("<I", t) + v for k, t, v in table)
    return out


def test_golden_bytes():
    one_atom = PyMolecule(np.zeros((1, 3), F32), np.array([1], np.uint8))
    assert payload(one_atom) == encode() and len(encode()) == 57

    m = PyMolecule(np.array([[1.0, -0.0, 2.5]]), np.array([8], np.uint8), energy=-1.5, pbc=(True, False, True), name="w")
    m.set_property("k", None)
    expected = (
        b"\x01" + struct.pack("<Q", 1) + b"w"
        + struct.pack("<IQ3d", 1, 1, 1.0, -0.0, 2.5)
        + struct.pack("<Q", 1) + b"\x08"
        + b"\x00"  # forces
        + b"\x01" + struct.pack("<Id", 1, -1.5)  # energy, double precision
        + b"\x00\x00\x00"  # charges, velocities, cell
        + b"\x01\x01\x00\x01"  # pbc
        + b"\x00"  # stress
        + struct.pack("<Q", 0)
        + struct.pack("<Q", 1) + struct.pack("<Q", 1) + b"k" + struct.pack("<I", 0)
    )
    assert payload(m) == expected
    assert payload(_molecule_from_pickle_bytes(expected + b"trailing")) == expected


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", EOF_TEXT),
        (b"\x02", PREFIX + "tag for enum is not valid, found 2"),
        (b"\x00" + struct.pack("<I", 2), PREFIX + "invalid value: integer `2`, expected variant index 0 <= i < 2"),
        (encode(props=[("k", 10, b"")]),
         PREFIX + "invalid value: integer `10`, expected variant index 0 <= i < 10"),
        (b"\x00" + struct.pack("<IQ", 0, 2**61) + b"\x00" * 12, EOF_TEXT),
        (b"\x01" + struct.pack("<Q", 2) + b"\xff\xfe", PREFIX + "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\x01" + struct.pack("<Q", 4) + b"\xf0\x90\x80A", PREFIX + "string is not valid utf8: invalid utf-8 sequence of 3 bytes from index 0"),
        (b"\x01" + struct.pack("<Q", 3) + b"ok\xc3", PREFIX + "string is not valid utf8: incomplete utf-8 byte sequence from index 2"),
        (encode()[:39] + b"\x01\x01\x02\x01", PREFIX + "invalid u8 while decoding bool, expected 0 or 1, found 2"),
    ],
)
def test_invalid_payloads(data, message):
    with pytest.raises(ValueError) as info:
        _molecule_from_pickle_bytes(data)
    assert str(info.value) == message


@pytest.mark.parametrize("value", [bytearray(encode()), memoryview(encode()), "x", None])
def test_payload_must_be_bytes(value):
    with pytest.raises(TypeError) as info:
        _molecule_from_pickle_bytes(payload=value)
    assert str(info.value) == f"argument 'payload': '{type(value).__name__}' object cannot be converted to 'PyBytes'"


def test_every_prefix_and_random_flips_fail_cleanly():
    m = full_molecule(F64)
    m.set_property("f32", PROPERTY_VALUES["f32"])
    data = payload(m)
    for end in range(len(data)):
        with pytest.raises(ValueError, match="^" + PREFIX):
            _molecule_from_pickle_bytes(data[:end])
    rng = random.Random(11)
    for _ in range(3000):
        flipped = bytearray(data)
        for _ in range(rng.randint(1, 4)):
            flipped[rng.randrange(len(flipped))] ^= 1 << rng.randrange(8)
        try:
            back = _molecule_from_pickle_bytes(bytes(flipped))
        except ValueError as error:
            assert str(error).startswith(PREFIX)
            continue
        # A payload that still decodes gives a usable molecule, however odd its counts.
        back._ase_builtin_tuple_fast()
        _molecule_from_pickle_bytes(payload(back))


@pytest.mark.parametrize("lazy", [False, True], ids=["owned", "lazy"])
def test_unpickled_in_a_child_process(tmp_path, run_python, lazy):
    m = full_molecule(F32)
    if lazy:
        m = stored(tmp_path, m)
    code = """
        import pickle, sys
        m = pickle.loads(bytes.fromhex(sys.argv[1]))
        sys.stdout.write(pickle.dumps(m).hex())
    """
    result = run_python(code, pickle.dumps(m).hex())
    assert result.returncode == 0, result.stderr
    assert_same_molecule(m, pickle.loads(bytes.fromhex(result.stdout)))


def stored(tmp_path, m, name="pickle.kstv"):
    """The molecule read back from a database as a lazy molecule."""
    from kestrove import PyAtomDatabase

    db = PyAtomDatabase(str(tmp_path / name), "zstd")
    db.add_molecule(m)
    db.flush()
    return db.get_molecule(0)


@pytest.mark.parametrize("protocol", [0, pickle.HIGHEST_PROTOCOL])
@pytest.mark.parametrize("dtype", [F32, F64])
def test_lazy_molecule_pickles_by_value(tmp_path, protocol, dtype):
    lazy = stored(tmp_path, full_molecule(dtype, {"vec3": PROPERTY_VALUES["vec3_f64"]}))
    back = pickle.loads(pickle.dumps(lazy, protocol=protocol))
    assert payload(back) == payload(lazy) == payload(lazy.to_owned())
    back.set_property("added", 1)
    assert payload(lazy) == payload(lazy.to_owned())
    many = stored(tmp_path, full_molecule(dtype), "many.kstv")
    assert_same_molecule(many.to_owned(), pickle.loads(pickle.dumps(many, protocol=protocol)))
