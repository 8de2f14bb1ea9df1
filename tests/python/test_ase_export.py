"""Export of molecules to ASE: the 11-item tuple, checked against the real ase package, and the
rule that sorts custom properties into per-atom arrays and per-structure info."""

import struct

import numpy as np
import pytest

from kestrove import PyMolecule
from test_database_flat import with_atom_properties as with_compact_atom_properties

ase = pytest.importorskip("ase")
from ase.calculators.singlepoint import SinglePointCalculator  # noqa: E402

N = 3


def molecule(dtype=np.float64, **fields):
    rng = np.random.default_rng(5)
    positions = rng.normal(size=(N, 3)).astype(dtype)
    return PyMolecule(positions, np.array([1, 8, 1], np.uint8), **fields)


def full(dtype):
    rng = np.random.default_rng(9)
    return molecule(
        dtype,
        energy=-3.25,
        forces=rng.normal(size=(N, 3)).astype(dtype),
        charges=rng.normal(size=N).astype(dtype),
        velocities=rng.normal(size=(N, 3)).astype(dtype),
        cell=np.diag([5.0, 6.0, 7.0]).astype(dtype),
        stress=(lambda s: s + s.T)(rng.normal(size=(3, 3))).astype(dtype),  # ASE keeps stress as Voigt
        pbc=(True, False, True),
    )


def to_atoms(t):
    numbers, positions, cell, pbc, velocities, energy, forces, stress, charges, arrays, info = t
    atoms = ase.Atoms(numbers=numbers, positions=positions, cell=cell, pbc=pbc, charges=charges)
    if velocities is not None:
        atoms.set_velocities(velocities)
    for key, value in (arrays or {}).items():
        atoms.new_array(key, value)
    atoms.info.update(info or {})
    atoms.calc = SinglePointCalculator(atoms, energy=energy, forces=forces, stress=stress)
    return atoms


def with_atom_properties(m, table):
    """The molecule with per-atom float64 arrays added through a hand-edited compact form."""
    return with_compact_atom_properties(m, {
        key: struct.pack("<IQ", 4, len(v)) + np.asarray(v, "<f8").tobytes()
        for key, v in table.items()})


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_ase_atoms_from_the_tuple_hold_the_same_data(dtype):
    m = full(dtype)
    t = m._ase_builtin_tuple_fast()
    assert len(t) == 11 and t[3] == (True, False, True) and type(t[5]) is float
    for item, field in zip((t[1], t[2], t[4], t[6], t[7], t[8]), ("positions", "cell", "velocities", "forces", "stress", "charges")):
        assert item.dtype == dtype and item.tobytes() == getattr(m, field).tobytes()
    atoms = to_atoms(t)
    assert np.array_equal(atoms.numbers, m.atomic_numbers)
    assert np.array_equal(atoms.positions, m.positions.astype(np.float64))
    assert np.array_equal(atoms.cell.array, m.cell.astype(np.float64))
    assert atoms.pbc.tolist() == [True, False, True]
    assert np.array_equal(atoms.get_velocities(), m.velocities.astype(np.float64))
    assert np.array_equal(atoms.get_initial_charges(), m.charges.astype(np.float64))
    assert atoms.get_potential_energy() == m.energy
    assert np.array_equal(atoms.get_forces(), m.forces.astype(np.float64))
    assert np.array_equal(atoms.get_stress(voigt=False), m.stress.astype(np.float64))


def test_minimal_molecule_gives_none_for_everything_else():
    m = molecule(np.float32)
    t = m._ase_builtin_tuple_fast()
    assert t[0].dtype == np.uint8 and t[1].dtype == np.float32
    assert t[2:] == (None,) * 9
    assert t[0].ctypes.data != m.atomic_numbers.ctypes.data


def test_custom_properties_are_sorted_into_arrays_and_info():
    m = with_atom_properties(molecule(), {"charge_like": [1.0, 2.0, 3.0], "positions": [0.0, 0.0, 0.0]})
    m.set_property("per_atom", np.arange(N, dtype=np.float64))
    m.set_property("per_atom_i32", np.arange(N, dtype=np.int32))
    m.set_property("per_atom_vec3", np.ones((N, 3), np.float32))
    m.set_property("longer", np.arange(N + 1, dtype=np.float64))
    m.set_property("forces", np.arange(N, dtype=np.float64))
    m.set_property("label", "x")
    m.set_property("count", 4)

    arrays, info = m._ase_builtin_tuple_fast()[9:]
    assert sorted(arrays) == ["charge_like", "per_atom", "per_atom_i32", "per_atom_vec3"]
    assert sorted(info) == ["count", "forces", "label", "longer"]
    assert arrays["per_atom_i32"].dtype == np.int32 and arrays["per_atom_vec3"].shape == (N, 3)

    arrays, info = m._ase_builtin_tuple_fast(copy_info=False)[9:]
    assert sorted(arrays) == ["charge_like", "per_atom", "per_atom_i32", "per_atom_vec3"] and info is None
    arrays, info = m._ase_builtin_tuple_fast(copy_arrays=False)[9:]
    assert arrays is None
    assert sorted(info) == ["count", "forces", "label", "longer", "per_atom", "per_atom_i32", "per_atom_vec3"]
    assert m._ase_builtin_tuple_fast(copy_info=False, copy_arrays=False)[9:] == (None, None)

    atoms = to_atoms(m._ase_builtin_tuple_fast())
    assert np.array_equal(atoms.arrays["charge_like"], [1.0, 2.0, 3.0])
    assert atoms.info["label"] == "x" and atoms.info["count"] == 4


def test_both_methods_give_equal_tuples():
    m = full(np.float64)
    m.set_property("s", "text")
    assert_equal_tuples(m._ase_builtin_tuple_fast(), m._ase_payload())


@pytest.mark.parametrize("method", ["_ase_builtin_tuple_fast", "_ase_payload"])
def test_flags_are_keyword_only_booleans(method):
    m = molecule()
    call = getattr(m, method)
    with pytest.raises(TypeError, match="argument 'copy_info': 'str' object cannot be converted to 'PyBool'"):
        call(copy_info="yes")
    with pytest.raises(TypeError, match="copy_arrays"):
        call(copy_arrays=None)
    with pytest.raises(TypeError):
        call(True)


def assert_equal_tuples(a, b):
    assert len(a) == len(b) == 11
    for x, y in zip(a, b):
        if isinstance(x, dict):
            assert type(y) is dict and sorted(x) == sorted(y)
            for key in x:
                assert_equal_tuples_item(x[key], y[key])
        else:
            assert_equal_tuples_item(x, y)


def assert_equal_tuples_item(x, y):
    if isinstance(x, np.ndarray):
        assert x.dtype == y.dtype and x.shape == y.shape and x.tobytes() == y.tobytes()
    else:
        assert type(x) is type(y) and x == y


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_lazy_molecule_exports_as_its_owned_copy_does(tmp_path, dtype):
    from kestrove import PyAtomDatabase

    m = with_atom_properties(full(dtype), {"charge_like": [1.0, 2.0, 3.0], "positions": [0.0, 0.0, 0.0]})
    for key, value in {
        "per_atom": np.arange(N, dtype=np.float64),
        "per_atom_i64": np.arange(N, dtype=np.int64),
        "per_atom_f32": np.arange(N, dtype=np.float32),
        "per_atom_vec3": np.ones((N, 3), np.float64),
        "longer": np.arange(N + 1, dtype=np.int32),
        "forces": np.arange(N, dtype=np.float64),
        "label": "x",
        "count": 4,
        "nothing": None,
        "ratio": 0.5,
    }.items():
        m.set_property(key, value)
    db = PyAtomDatabase(str(tmp_path / "ase.kstv"), "none")
    db.add_molecule(m)
    db.add_molecule(molecule(dtype))
    db.flush()
    lazy, plain = db.get_molecule(0), db.get_molecule(1)
    owned = lazy.to_owned()
    for flags in ({}, {"copy_info": False}, {"copy_arrays": False}, {"copy_info": False, "copy_arrays": False}):
        assert_equal_tuples(lazy._ase_builtin_tuple_fast(**flags), owned._ase_builtin_tuple_fast(**flags))
        assert_equal_tuples(lazy._ase_payload(**flags), owned._ase_payload(**flags))
    assert_equal_tuples(plain._ase_builtin_tuple_fast(), plain.to_owned()._ase_builtin_tuple_fast())
    assert plain._ase_builtin_tuple_fast()[2:] == (None,) * 9
    atoms = to_atoms(lazy._ase_builtin_tuple_fast())
    assert np.array_equal(atoms.arrays["per_atom_vec3"], np.ones((N, 3)))
    assert atoms.info["label"] == "x" and atoms.get_potential_energy() == owned.energy
