"""PyAtom: construction, single-precision rounding, repr, position and distance."""

import math
import operator
import struct

import numpy as np
import pytest

from kestrove import PyAtom, PyAtomDatabase

F32_MAX = float(np.finfo(np.float32).max)
F32_TINY = float(np.float32(1e-45))  # the smallest subnormal


def f32(value):
    """`value` rounded to single precision the way the atom rounds it, as a NumPy scalar."""
    with np.errstate(over="ignore"):
        return np.float32(value)


def reference_text(value):
    """The shortest positional text that reads back to the single-precision `value`."""
    if np.isnan(value):
        return "NaN"
    if np.isinf(value):
        return "inf" if value > 0 else "-inf"
    return np.format_float_positional(value, unique=True, trim="-")


def random_f32(rng, n):
    """Single-precision values from random bit patterns (every exponent, subnormals, NaNs and
    infinities included) and from short decimals, where the shortest text matters most."""
    bits = rng.integers(0, 2**32, size=n, dtype=np.uint64).astype(np.uint32).view(np.float32)
    decimals = (rng.integers(-(10**6), 10**6, size=n) * 10.0 ** rng.integers(-12, 12, size=n)).astype(
        np.float32
    )
    return np.concatenate([bits, decimals])


def same_float(a, b):
    return (math.isnan(a) and math.isnan(b)) or struct.pack("<d", a) == struct.pack("<d", b)


# ---------------------------------------------------------------------------------------------
# repr


@pytest.mark.parametrize(
    "value, text",
    [
        (1, "1"),
        (1.0, "1"),
        (0.1, "0.1"),
        (0.0, "0"),
        (-0.0, "-0"),
        (-2.5, "-2.5"),
        (100.0, "100"),
        (1e-7, "0.0000001"),
        (123456789, "123456790"),
        (16777217, "16777216"),
        (F32_MAX, "340282350000000000000000000000000000000"),
        (-F32_MAX, "-340282350000000000000000000000000000000"),
        (F32_TINY, "0." + "0" * 44 + "1"),
        (1e39, "inf"),
        (-1e39, "-inf"),
        (math.inf, "inf"),
        (-math.inf, "-inf"),
        (math.nan, "NaN"),
        (-math.nan, "NaN"),
        (2e-46, "0"),  # below half the smallest subnormal: rounds to zero
    ],
)
def test_repr_of_a_coordinate(value, text):
    assert repr(PyAtom(value, 0, 0, 1)) == f"Atom(x={text}, y=0, z=0, atomic_number=1)"
    assert repr(PyAtom(0, 0, value, 255)) == f"Atom(x=0, y=0, z={text}, atomic_number=255)"


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_repr_is_the_shortest_round_trip_text(seed):
    values = random_f32(np.random.default_rng(seed), 6000).reshape(-1, 3)
    for x, y, z in values:
        expected = (
            f"Atom(x={reference_text(x)}, y={reference_text(y)}, z={reference_text(z)}, "
            "atomic_number=7)"
        )
        assert repr(PyAtom(float(x), float(y), float(z), 7)) == expected


# ---------------------------------------------------------------------------------------------
# Rounding to single precision and position()


@pytest.mark.parametrize(
    "value",
    [
        0.1,
        1 + 2**-24,  # a tie: rounds to even (1.0)
        1 + 2**-24 + 2**-50,  # just above the tie: rounds up
        3 * 2**-150,  # between subnormals
        F32_MAX,
        F32_MAX * (1 + 2**-25),  # below the overflow threshold: stays finite
        F32_MAX * (1 + 2**-24),  # at the threshold: infinity
        -1e300,
        1e-300,
        -0.0,
    ],
)
def test_coordinates_round_to_nearest_single(value):
    expected = float(f32(value))
    position = PyAtom(value, -value, value, 1).position()
    assert all(type(c) is float for c in position)
    assert [struct.pack("<d", c) for c in position] == [
        struct.pack("<d", c) for c in (expected, -expected, expected)
    ]


def test_nan_coordinate_stays_nan():
    x, y, z = PyAtom(math.nan, 0, 0, 1).position()
    assert math.isnan(x) and (y, z) == (0.0, 0.0)


# ---------------------------------------------------------------------------------------------
# distance_to


def reference_distance(a, b):
    """The distance in single precision: each operation rounded, in a fixed order."""
    with np.errstate(all="ignore"):
        dx, dy, dz = (np.float32(p) - np.float32(q) for p, q in zip(a, b))
        s = dx * dx + dy * dy
        s = s + dz * dz
        return float(np.sqrt(s))


# None: random bit patterns; 1e-20 and 1e18 reach subnormal squares and overflow to inf.
@pytest.mark.parametrize("scale", [None, 1.0, 100.0, 1e-20, 1e18])
def test_distance_is_computed_in_single_precision(scale):
    rng = np.random.default_rng(5)
    if scale is None:
        rows = random_f32(rng, 3000).reshape(-1, 6)
    else:
        rows = rng.uniform(-1, 1, size=(5000, 6)) * scale
    for row in rows:
        a, b = PyAtom(*map(float, row[:3]), 1), PyAtom(*map(float, row[3:]), 2)
        result = a.distance_to(b)
        assert type(result) is float
        assert same_float(result, reference_distance(a.position(), b.position())), row


@pytest.mark.parametrize(
    "a, b, distance",
    [
        ((0, 0, 0), (3, 4, 0), 5.0),
        ((3, 4, 0), (0, 0, 0), 5.0),
        ((1, 2, 3), (1, 2, 3), 0.0),
        ((0, 0, 0), (0, 0, 2), 2.0),
        ((0, 0, 0), (0.1, 0, 0), 0.10000000149011612),
        ((math.inf, 0, 0), (0, 0, 0), math.inf),
        ((math.inf, 0, 0), (math.inf, 0, 0), math.nan),
    ],
)
def test_distance_between_known_points(a, b, distance):
    assert same_float(PyAtom(*a, 1).distance_to(PyAtom(*b, 6)), distance)


@pytest.mark.parametrize(
    "other, type_name",
    [
        ((0.0, 0.0, 0.0), "tuple"),
        (None, "NoneType"),
        ("atom", "str"),
        (PyAtom, "type"),
        (np.zeros(3, dtype=np.float32), "ndarray"),
    ],
)
def test_distance_to_refuses_anything_but_an_atom(other, type_name):
    with pytest.raises(TypeError) as info:
        PyAtom(0, 0, 0, 1).distance_to(other)
    assert str(info.value) == f"argument 'other': '{type_name}' object cannot be converted to 'PyAtom'"


def test_distance_to_refuses_a_database(db_path):
    with pytest.raises(TypeError, match="'PyAtomDatabase' object cannot be converted to 'PyAtom'"):
        PyAtom(0, 0, 0, 1).distance_to(PyAtomDatabase(db_path))


# ---------------------------------------------------------------------------------------------
# atomic_number


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("value", [0, 1, 255, np.uint8(200), np.int64(255), Index(6), True])
def test_atomic_number_in_range(value):
    atom = PyAtom(0, 0, 0, value)
    assert type(atom.atomic_number) is int
    assert atom.atomic_number == operator.index(value)
    assert repr(atom).endswith(f", atomic_number={atom.atomic_number})")


@pytest.mark.parametrize(
    "value, error, message",
    [
        (256, OverflowError, "out of range integral type conversion attempted"),
        (-1, OverflowError, "out of range integral type conversion attempted"),
        (2**40, OverflowError, "out of range integral type conversion attempted"),
        (-(2**63), OverflowError, "out of range integral type conversion attempted"),
        (np.int64(-1), OverflowError, "out of range integral type conversion attempted"),
        (np.uint16(300), OverflowError, "out of range integral type conversion attempted"),
        ("6", TypeError, "argument 'atomic_number': 'str' object cannot be interpreted as an integer"),
        (None, TypeError, "argument 'atomic_number': 'NoneType' object cannot be interpreted as an integer"),
    ],
)
def test_atomic_number_out_of_range_or_not_an_integer(value, error, message):
    with pytest.raises(error) as info:
        PyAtom(0, 0, 0, value)
    assert type(info.value) is error
    assert str(info.value) == message


@pytest.mark.parametrize("bad", ["1.5", None, [1.0], b"1"])
@pytest.mark.parametrize("slot", [0, 1, 2])
def test_coordinate_that_is_not_a_number_names_its_parameter(bad, slot):
    args = [0.0, 0.0, 0.0, 1]
    args[slot] = bad
    with pytest.raises(TypeError, match=f"^argument '{'xyz'[slot]}': "):
        PyAtom(*args)


def test_atom_is_an_immutable_value_without_coordinate_attributes():
    atom = PyAtom(1, 2, 3, 6)
    for name in ("x", "y", "z"):
        assert not hasattr(atom, name)
    with pytest.raises(AttributeError):
        atom.atomic_number = 7
    assert atom.atomic_number == 6
    # Identity is the only equality.
    twin = PyAtom(1, 2, 3, 6)
    assert atom != twin and atom == atom
