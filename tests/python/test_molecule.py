"""PyMolecule built from arrays: bit-exact round trips, built-in field getters and setters,
conversions, repr, and reference counts."""

import gc
import os
import sys

import numpy as np
import pytest

from kestrove import PyMolecule

F32, F64 = np.float32, np.float64
UINT = {F32: np.uint32, F64: np.uint64}


def special_values(dtype, n):
    """n * 3 values: NaNs with payloads and signs, -0.0, subnormals, infinities, extremes, then
    random bit patterns."""
    info = np.finfo(dtype)
    uint = UINT[dtype]
    bits = 8 * np.dtype(dtype).itemsize
    nan_payloads = np.array([(1 << (bits - 1)) - 1, (1 << bits) - 1, ((1 << (bits - 1)) - 1) ^ 1], dtype=np.uint64)
    fixed = np.concatenate(
        [
            nan_payloads.astype(uint).view(dtype),
            np.array([-0.0, 0.0, info.smallest_subnormal, -info.smallest_subnormal, info.tiny, np.inf, -np.inf, info.max, info.min], dtype),
        ]
    )
    rng = np.random.default_rng(7)
    random = rng.integers(0, 2**bits - 1, size=n * 3, dtype=np.uint64, endpoint=True).astype(uint).view(dtype)
    values = random.copy()
    values[: len(fixed)] = fixed
    return values


def same_bits(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a.view(UINT[a.dtype.type]), b.view(UINT[b.dtype.type]))


@pytest.mark.parametrize("dtype", [F32, F64])
def test_round_trip_is_bit_exact_and_keeps_precision(dtype):
    n = 8
    values = special_values(dtype, n)
    triples = values.reshape(n, 3)
    matrix = values[:9].reshape(3, 3)
    m = PyMolecule(
        triples,
        np.arange(n, dtype=np.uint8),
        forces=triples[::-1],
        velocities=triples,
        charges=values[:n],
        cell=matrix,
        stress=matrix.T,
    )
    assert same_bits(m.positions, triples)
    assert same_bits(m.forces, triples[::-1].copy())
    assert same_bits(m.velocities, triples)
    assert same_bits(m.charges, values[:n])
    assert same_bits(m.cell, matrix)
    assert same_bits(m.stress, matrix.T.copy())
    owned = m.to_owned()
    assert same_bits(owned.forces, m.forces) and same_bits(owned.cell, m.cell)
    for name in ["forces", "velocities", "charges", "cell", "stress"]:
        setattr(m, name, getattr(m, name))
    assert same_bits(m.forces, triples[::-1].copy()) and same_bits(m.stress, matrix.T.copy())


def test_each_field_keeps_its_own_precision():
    pos = np.zeros((2, 3), F32)
    m = PyMolecule(pos, np.zeros(2, np.uint8), forces=np.zeros((2, 3)), charges=np.zeros(2), cell=np.eye(3, dtype=F32))
    assert [m.positions.dtype, m.forces.dtype, m.charges.dtype, m.cell.dtype] == [F32, F64, F64, F32]
    m.forces = np.ones((2, 3), F32)
    assert m.forces.dtype == F32


NAN_WITH_PAYLOAD = float(np.array([0x7FF0_0000_0000_1234], np.uint64).view(F64)[0])


@pytest.mark.parametrize(
    "energy, expected",
    [
        (1.5, 1.5),
        (np.float32(0.1), float(np.float32(0.1))),
        (-0.0, -0.0),
        (np.int64(3), 3.0),
        (True, 1.0),
        (NAN_WITH_PAYLOAD, NAN_WITH_PAYLOAD),
    ],
)
def test_energy_is_a_python_float(energy, expected):
    m = PyMolecule(np.zeros((1, 3)), np.ones(1, np.uint8), energy=energy)
    for _ in range(2):  # from the constructor, then from the setter
        assert type(m.energy) is float and np.float64(m.energy).tobytes() == np.float64(expected).tobytes()
        m.energy = None
        assert m.energy is None
        m.energy = energy


def test_empty_molecule():
    m = PyMolecule(np.zeros((0, 3), F32), np.zeros(0, np.uint8), forces=np.zeros((0, 3)), charges=np.zeros(0))
    assert len(m) == 0 and m.positions.shape == (0, 3) and m.atomic_numbers.shape == (0,)
    assert repr(m) == "Molecule(n_atoms=0, has_forces=true, has_energy=false)"


def test_absent_fields_and_repr():
    m = PyMolecule(np.zeros((3, 3)), np.array([1, 6, 8], np.uint8))
    assert [m.forces, m.energy, m.charges, m.velocities, m.cell, m.stress, m.pbc] == [None] * 7
    assert repr(m) == "Molecule(n_atoms=3, has_forces=false, has_energy=false)"
    m.energy = 2
    assert repr(m) == "Molecule(n_atoms=3, has_forces=false, has_energy=true)"
    assert m.atomic_numbers.dtype == np.uint8 and list(m.atomic_numbers) == [1, 6, 8]


@pytest.mark.parametrize(
    "value, error, message",
    [
        ((True, False, np.True_), None, None),
        (None, None, None),
        ([True, False, True], TypeError, "argument 'pbc': 'list' object cannot be converted to 'PyTuple'"),
        ((True, False), ValueError, "expected tuple of length 3, but got tuple of length 2"),
        ((1, 0, 1), TypeError, "argument 'pbc': 'int' object cannot be converted to 'PyBool'"),
    ],
)
def test_pbc_conversion(value, error, message):
    m = PyMolecule(np.zeros((1, 3)), np.ones(1, np.uint8), pbc=(False, False, False))
    if error is None:
        m.pbc = value
        assert m.pbc == (None if value is None else tuple(bool(v) for v in value))
        return
    for attempt in (lambda: setattr(m, "pbc", value), lambda: PyMolecule(np.zeros((1, 3)), np.ones(1, np.uint8), pbc=value)):
        with pytest.raises(error) as info:
            attempt()
        assert str(info.value) == message
    assert m.pbc == (False, False, False)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(energy="x"), "argument 'energy': must be real number, not str"),
        (dict(name=b"x"), "argument 'name': 'bytes' object cannot be converted to 'PyString'"),
    ],
)
def test_conversion_errors_name_the_argument(kwargs, message):
    m = PyMolecule(np.zeros((1, 3)), np.ones(1, np.uint8), energy=1.0)
    with pytest.raises(TypeError) as info:
        PyMolecule(np.zeros((1, 3)), np.ones(1, np.uint8), **kwargs)
    assert str(info.value) == message
    if "energy" in kwargs:  # the setter's message is the constructor's
        with pytest.raises(TypeError) as info:
            m.energy = kwargs["energy"]
        assert str(info.value) == message and m.energy == 1.0


def test_energy_is_keyword_only_and_from_arrays_matches_the_constructor():
    with pytest.raises(TypeError):
        PyMolecule(np.zeros((1, 3)), np.ones(1, np.uint8), 1.0)
    m = PyMolecule.from_arrays(atomic_numbers=np.ones(1, np.uint8), positions=np.zeros((1, 3)), energy=2.0, name="w")
    assert type(m) is PyMolecule and m.energy == 2.0
    with pytest.raises(TypeError, match=r"^PyMolecule.from_arrays\(\) missing 1 required positional argument: 'atomic_numbers'$"):
        PyMolecule.from_arrays(np.zeros((1, 3)))


@pytest.mark.parametrize(
    "name", ["forces", "energy", "charges", "velocities", "cell", "stress", "pbc", "positions", "atomic_numbers"]
)
def test_attributes_refuse_deletion_and_read_only_ones_assignment(name):
    m = PyMolecule(np.zeros((1, 3)), np.ones(1, np.uint8), energy=1.0, pbc=(True, True, True))
    before = getattr(m, name)
    read_only = name in ("positions", "atomic_numbers")
    with pytest.raises(AttributeError, match=None if read_only else "^can't delete attribute$"):
        delattr(m, name)
    if read_only:
        with pytest.raises(AttributeError):
            setattr(m, name, before)
    assert repr(getattr(m, name)) == repr(before)


def test_to_owned_is_independent():
    m = PyMolecule(np.zeros((2, 3)), np.ones(2, np.uint8), energy=1.0)
    m.set_property("k", np.arange(3))
    copy = m.to_owned()
    m.energy = 5.0
    m.set_property("k", 1)
    assert copy.energy == 1.0 and np.array_equal(copy.get_property("k"), np.arange(3))


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def test_reference_counts_and_memory_are_unchanged_by_a_long_loop():
    pos = np.random.default_rng(0).standard_normal((32, 3)).astype(F32)
    nums = np.arange(32, dtype=np.uint8)
    forces = pos.astype(F64)[::-1]
    cell = np.eye(3)
    bad = np.zeros((5, 3))
    inputs = [pos, nums, forces, cell, bad]

    def loop():
        for _ in range(10_000):
            m = PyMolecule(pos, nums, energy=1.0, forces=forces, cell=cell, pbc=(True, False, True), name="x")
            m.positions, m.forces, m.cell, m.energy, m.pbc, m.atomic_numbers, repr(m)
            m.set_property("p", pos)
            m.get_property("p")
            for attempt in (lambda: setattr(m, "forces", bad), lambda: m.set_property("q", [1])):
                try:
                    attempt()
                except ValueError:
                    pass
            try:
                PyMolecule(pos, nums, forces=bad)
            except ValueError:
                pass

    loop()
    gc.collect()
    counts = [sys.getrefcount(a) for a in inputs]
    before = rss_bytes()
    loop()
    gc.collect()
    assert [sys.getrefcount(a) for a in inputs] == counts
    if "asan" not in os.environ.get("LD_PRELOAD", ""):  # AddressSanitizer holds freed memory back
        assert rss_bytes() - before < 8 * 2**20


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_an_interrupt_in_a_conversion_propagates_as_itself(error):
    """An exception of a value's own code that is no Exception is no failed attempt: the next
    attempt does not run, and nothing is stored."""

    class Interrupting:
        def __index__(self):
            raise error("stop")

        def __float__(self):
            return 1.0

    m = PyMolecule(np.zeros((1, 3)), np.ones(1, np.uint8))
    for call in (lambda: m.set_property("p", Interrupting()), lambda: m[Interrupting()]):
        with pytest.raises(error, match="stop"):
            call()
    assert m.property_keys() == []


def test_values_are_converted_outside_or_inside_the_exclusive_borrow_as_specified():
    m = PyMolecule(np.zeros((1, 3)), np.ones(1, np.uint8), energy=1.0)
    seen = []

    class Reader:
        """A value whose float conversion reads the molecule it is being stored into."""

        def __float__(self):
            try:
                seen.append(m.energy)
            except RuntimeError as error:
                seen.append(str(error))
            return 2.0

    m.energy = Reader()  # converted before the borrow is taken
    m.set_property("k", Reader())  # converted under the exclusive borrow
    assert seen == [1.0, "Already mutably borrowed"]
    assert m.energy == 2.0 and m.get_property("k") == 2.0


def test_atomic_numbers_are_read_as_checked_when_the_energy_conversion_changes_them(run_python):
    """energy is converted after atomic_numbers is checked; its code changing the array's dtype
    must neither overflow the copy (a crash, hence the child) nor change what is read."""
    result = run_python(
        """
        import numpy as np
        from kestrove import PyMolecule

        Z = np.ones(1 << 16, np.uint8)

        class Energy:
            def __float__(self):
                Z.dtype = np.float64  # the same bytes as an eighth of the elements
                return 1.0

        m = PyMolecule(np.zeros((len(Z), 3), np.float32), Z, energy=Energy())
        print(len(m), m.atomic_numbers.dtype, m.atomic_numbers.sum())
        """
    )
    assert (result.returncode, result.stdout) == (0, "65536 uint8 65536\n"), result.stderr
