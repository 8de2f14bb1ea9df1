"""NumPy input: shape and type checks of the field parsers, in their order, any array layout, and
custom property values."""

import numpy as np
import pytest

from kestrove import PyMolecule

N = 4
F32, F64 = np.float32, np.float64


def numbers(n=N):
    return np.arange(1, n + 1, dtype=np.uint8)


def positions(n=N, dtype=F64):
    return np.arange(n * 3, dtype=dtype).reshape(n, 3)


def make(**fields):
    return PyMolecule(positions(), numbers(), **fields)


# ---------------------------------------------------------------------------------------------
# Messages and check order of each parser, through the constructor (lower-case labels) and the
# setters (capitalised labels).

VEC3_MESSAGE = "{} must be a float32 or float64 ndarray with shape (4, 3)"
VEC3_SHAPE = "{} must have shape (4, 3)"


def assert_field_refused(field, value, message):
    """The constructor (lower-case label) and the setter (capitalised label) refuse `value` with
    `message`; the setter leaves the field absent."""
    if value is not None:
        with pytest.raises(ValueError) as info:
            make(**{field: value})
        assert str(info.value) == message.format(field)
    molecule = make()
    with pytest.raises(ValueError) as info:
        setattr(molecule, field, value)
    assert str(info.value) == message.format(field.capitalize())
    assert getattr(molecule, field) is None


@pytest.mark.parametrize(
    "value, message",
    [
        (np.zeros((N, 3), np.int64), VEC3_MESSAGE),
        (np.zeros((N, 3), np.float16), VEC3_MESSAGE),
        (np.zeros((N, 3), ">f8"), VEC3_MESSAGE),  # big-endian is not float64
        (np.zeros(N * 3), VEC3_MESSAGE),
        (np.zeros((N, 3, 1)), VEC3_MESSAGE),
        ([[0.0] * 3] * N, VEC3_MESSAGE),
        (None, VEC3_MESSAGE),
        (np.zeros((N + 1, 3), F32), VEC3_SHAPE),
        (np.zeros((N, 2), F32), VEC3_SHAPE),
        (np.zeros((N + 1, 4), F32), VEC3_SHAPE),  # columns are tested before rows
        (np.zeros((0, 3)), VEC3_SHAPE),
    ],
)
@pytest.mark.parametrize("field", ["forces", "velocities"])
def test_vec3_field_messages(field, value, message):
    assert_field_refused(field, value, message)


@pytest.mark.parametrize(
    "value, message",
    [
        (np.zeros((N, 3), np.int64), "positions must be a float32 or float64 ndarray with shape (n_atoms, 3)"),
        (np.zeros(3), "positions must be a float32 or float64 ndarray with shape (n_atoms, 3)"),
        ([[0.0, 0.0, 0.0]] * N, "positions must be a float32 or float64 ndarray with shape (n_atoms, 3)"),
        (np.zeros((N, 2)), "positions must have shape (n, 3)"),
        (np.zeros((N - 1, 3)), "Atomic numbers length (4) doesn't match atom count (3)"),
    ],
)
def test_positions_messages(value, message):
    with pytest.raises(ValueError) as info:
        PyMolecule(value, numbers())
    assert str(info.value) == message


@pytest.mark.parametrize(
    "value, message",
    [
        (np.zeros(N, np.int32), "{} must be a float32 or float64 ndarray with shape (4,)"),
        (np.zeros((N, 1)), "{} must be a float32 or float64 ndarray with shape (4,)"),
        ([0.0] * N, "{} must be a float32 or float64 ndarray with shape (4,)"),
        (None, "{} must be a float32 or float64 ndarray with shape (4,)"),
        (np.zeros(N + 1), "{} length (5) doesn't match atom count (4)"),
        (np.zeros(0, F32), "{} length (0) doesn't match atom count (4)"),
    ],
)
def test_float_array_field_messages(value, message):
    assert_field_refused("charges", value, message)


@pytest.mark.parametrize(
    "value, message",
    [
        (np.zeros(9), "{} must be a float32 or float64 ndarray with shape (3, 3)"),
        (np.zeros((3, 3), np.int64), "{} must be a float32 or float64 ndarray with shape (3, 3)"),
        (np.zeros((1, 3, 3)), "{} must be a float32 or float64 ndarray with shape (3, 3)"),
        (None, "{} must be a float32 or float64 ndarray with shape (3, 3)"),
        (np.zeros((3, 4)), "{} must have shape (3, 3)"),
        (np.zeros((4, 3), F32), "{} must have shape (3, 3)"),
    ],
)
@pytest.mark.parametrize("field", ["cell", "stress"])
def test_mat3_field_messages(field, value, message):
    assert_field_refused(field, value, message)


CHECK_ORDER = ["forces", "charges", "velocities", "cell", "stress"]


@pytest.mark.parametrize(
    "first, message",
    [
        ("forces", "forces must be a float32 or float64 ndarray with shape (4, 3)"),
        ("charges", "charges length (2) doesn't match atom count (4)"),
        ("velocities", "velocities must be a float32 or float64 ndarray with shape (4, 3)"),
        ("cell", "cell must be a float32 or float64 ndarray with shape (3, 3)"),
    ],
)
def test_constructor_reports_the_first_bad_field(first, message):
    """Every field from `first` on is bad, passed in reverse order."""
    bad = CHECK_ORDER[CHECK_ORDER.index(first):]
    with pytest.raises(ValueError) as info:
        make(**{field: np.zeros(2) for field in reversed(bad)})
    assert str(info.value) == message


def test_atomic_number_count_is_checked_before_optional_fields():
    with pytest.raises(ValueError, match=r"^Atomic numbers length \(3\) doesn't match atom count \(4\)$"):
        PyMolecule(positions(), numbers(3), forces=np.zeros(1))


@pytest.mark.parametrize(
    "value, type_name",
    [([1, 2, 3, 4], "list"), (np.arange(N), "ndarray"), (numbers().reshape(2, 2), "ndarray"), (None, "NoneType")],
)
def test_atomic_numbers_conversion_comes_before_positions(value, type_name):
    with pytest.raises(TypeError) as info:
        PyMolecule("not positions", value)
    assert str(info.value) == (
        f"argument 'atomic_numbers': '{type_name}' object cannot be converted to 'PyArray<T, D>'"
    )


# ---------------------------------------------------------------------------------------------
# Layouts: any strides are read in logical order into storage of the molecule's own.


def layouts(base):
    """The same logical array in several memory layouts: C, Fortran, reversed, strided along the
    first and the last axis, unaligned."""
    yield base.copy()
    yield np.asfortranarray(base)
    yield np.ascontiguousarray(base[::-1])[::-1]
    yield np.repeat(base, 2, axis=0)[::2]
    yield np.repeat(base, 2, axis=-1)[..., ::2]
    yield np.frombuffer(b"\0" + base.tobytes(), dtype=base.dtype, offset=1).reshape(base.shape)


@pytest.mark.parametrize("dtype", [F32, F64])
def test_any_layout_is_read_in_logical_order(dtype):
    rng = np.random.default_rng(1)
    pos = rng.standard_normal((N, 3)).astype(dtype)
    cell = rng.standard_normal((3, 3)).astype(dtype)
    charges = rng.standard_normal(N).astype(dtype)
    for p, c, q in zip(layouts(pos), layouts(cell), layouts(charges)):
        m = PyMolecule(p, numbers(), forces=p, velocities=p, cell=c, stress=c.T, charges=q)
        for got, want in [(m.positions, pos), (m.forces, pos), (m.velocities, pos), (m.cell, cell), (m.stress, cell.T), (m.charges, q)]:
            assert got.dtype == dtype and got.flags.c_contiguous and got.flags.writeable
            assert np.array_equal(got, want)
        m.set_property("v", p)
        m.set_property("a", q)
        assert np.array_equal(m.get_property("v"), pos)
        assert np.array_equal(m.get_property("a"), charges)


def test_results_never_share_memory_with_inputs():
    pos, forces = positions(), positions()
    m = PyMolecule(pos, numbers(), forces=forces)
    pos[:] = forces[:] = -1
    m.forces[:] = 7
    assert np.array_equal(m.positions, positions()) and np.array_equal(m.forces, positions())


# ---------------------------------------------------------------------------------------------
# Custom property values


def i64(x):
    return np.array(x, dtype=np.int64)


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, None),
        (True, 1),
        (3, 3),
        (-(2**63), -(2**63)),
        (2**63, float(2**63)),  # beyond 64 bits: the float conversion takes it
        (np.int32(7), 7),
        (np.float32(0.5), 0.5),
        (1.25, 1.25),
        ("héllo\0", "héllo\0"),
        (np.array(5), 5),  # zero-dimensional arrays convert as scalars
        (np.array(2.5), 2.5),
        # An array with dimensions never becomes a scalar, one element or not.
        (i64([3]), i64([3])),
        (np.array([3.0]), np.array([3.0])),
        (np.array([1.5], F32), np.array([1.5], F32)),
        (np.array([3], np.int32), np.array([3], np.int32)),
        (np.array([[1.0, 2.0, 3.0]]), np.array([[1.0, 2.0, 3.0]])),
        (np.zeros((0, 3), F32), np.zeros((0, 3), F32)),
        (np.zeros(0, np.longlong), i64([])),
    ],
)
def test_property_values(value, expected):
    m = make()
    m.set_property("key", value)
    got = m.get_property("key")
    if isinstance(expected, np.ndarray):
        assert isinstance(got, np.ndarray) and got.dtype == expected.dtype
        assert got.shape == expected.shape and np.array_equal(got, expected)
    else:
        assert type(got) is type(expected) and got == expected


@pytest.mark.parametrize(
    "value, message",
    [
        (np.zeros((2, 4), F32), "Vec3Array properties must have shape (n, 3)"),
        (np.zeros(3, bool), "Unsupported property type. Supported: None, float, int, str, ndarray"),
        (np.zeros(3, np.uint8), "Unsupported property type. Supported: None, float, int, str, ndarray"),
        (np.zeros((1, 1, 3)), "Unsupported property type. Supported: None, float, int, str, ndarray"),
        (np.zeros(3, ">f8"), "Unsupported property type. Supported: None, float, int, str, ndarray"),
        ([1.0, 2.0], "Unsupported property type. Supported: None, float, int, str, ndarray"),
        (b"bytes", "Unsupported property type. Supported: None, float, int, str, ndarray"),
        ("\ud800", "Unsupported property type. Supported: None, float, int, str, ndarray"),
        (10**400, "Unsupported property type. Supported: None, float, int, str, ndarray"),
    ],
)
def test_property_value_refusals(value, message):
    m = make()
    with pytest.raises(ValueError) as info:
        m.set_property("key", value)
    assert str(info.value) == message
    assert not m.has_property("key")


def test_stress_property_key_is_reserved():
    m = make()
    with pytest.raises(ValueError, match="^'stress' is a reserved field; use molecule.stress instead$"):
        m.set_property("stress", 1.0)
    m.set_property("Stress", 1.0)
    assert m.property_keys() == ["Stress"]
