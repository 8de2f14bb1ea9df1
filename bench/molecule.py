"""Cost of building PyMolecule objects from arrays and of reading their fields, side by side with
the plain-NumPy work of the same size: copying the input arrays, slicing and copying the same rows
out of stacked arrays, reading one energy out of an array.

Run by hand after installing the package: python bench/molecule.py
"""

import argparse
import os
import tempfile
import time

import numpy as np

from kestrove import PyAtomDatabase, PyMolecule

ATOMS = (8, 16, 32, 64)
MOLECULES = 2000
REPEATS = 5


def best_ns_per_call(fn, calls):
    """The best of REPEATS timings of `fn()` (which makes `calls` calls), in ns per call."""
    best = float("inf")
    for _ in range(REPEATS):
        start = time.perf_counter_ns()
        fn()
        best = min(best, time.perf_counter_ns() - start)
    return best / calls


def stacked(n_atoms, dtype):
    rng = np.random.default_rng(n_atoms)
    total = n_atoms * MOLECULES
    return (
        rng.standard_normal((total, 3)).astype(dtype),
        rng.integers(1, 100, total, dtype=np.uint8),
        rng.standard_normal((total, 3)).astype(dtype),
        rng.standard_normal(MOLECULES),
    )


def bench(n_atoms, dtype):
    pos, nums, forces, energy = stacked(n_atoms, dtype)
    bounds = [(i * n_atoms, (i + 1) * n_atoms) for i in range(MOLECULES)]
    inputs = [(pos[s:e].copy(), nums[s:e].copy(), forces[s:e].copy(), float(energy[i])) for i, (s, e) in enumerate(bounds)]
    molecules = [PyMolecule(p, z, forces=f, energy=en) for p, z, f, en in inputs]
    # The same molecules as lazy views over an uncompressed, memory-mapped database.
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "bench.kstv")
        db = PyAtomDatabase(path)
        db.add_molecules(molecules)
        db.flush()
        lazy = PyAtomDatabase.open(path).get_molecules(range(MOLECULES))

    def construct():
        for p, z, f, en in inputs:
            PyMolecule(p, z, forces=f, energy=en)

    def copy_inputs():
        for p, z, f, en in inputs:
            p.copy(), z.copy(), f.copy(), float(en)

    def getters(name, objects=molecules):
        def run():
            for m in objects:
                getattr(m, name)

        return run

    def numpy_rows(array):
        def run():
            for s, e in bounds:
                array[s:e].copy()

        return run

    def numpy_energy():
        for i in range(MOLECULES):
            float(energy[i])

    rows = [("construct", "owned", best_ns_per_call(construct, MOLECULES),
             best_ns_per_call(copy_inputs, MOLECULES))]
    baselines = {"positions": numpy_rows(pos), "forces": numpy_rows(forces),
                 "atomic_numbers": numpy_rows(nums), "energy": numpy_energy}
    for name, baseline in baselines.items():
        numpy_ns = best_ns_per_call(baseline, MOLECULES)
        for state, objects in (("owned", molecules), ("lazy", lazy)):
            rows.append((name, state, best_ns_per_call(getters(name, objects), MOLECULES), numpy_ns))
    for name, state, ours, baseline in rows:
        print(f"{np.dtype(dtype).name:8} {n_atoms:5d} {name:15} {state:5} {ours:8.0f} ns   numpy {baseline:8.0f} ns   ratio {ours / baseline:5.2f}")


def main():
    print("precision atoms what            kestrove           plain NumPy        kestrove / NumPy")
    for dtype in (np.float32, np.float64):
        for n_atoms in ATOMS:
            bench(n_atoms, dtype)


if __name__ == "__main__":
    argparse.ArgumentParser(description=__doc__.split("\n\n")[0]).parse_args()
    main()
