"""Write a database of synthetic molecules, then read random training batches back from it.

Run it right after installing kestrove:

    python examples/train_batches.py [--molecules N] [--batch-size B] [--path FILE]

It writes N molecules of 8 to 64 atoms (float32 positions and forces, energy, cell, pbc and one
custom per-molecule property) with `add_arrays_batch`, one call per atom count, commits them with
`flush`, reopens the file memory-mapped, reads random batches with `get_molecules_flat`, checks
a few molecules against what was written, and prints the throughput of every step.
"""

import argparse
import os
import tempfile
import time

import numpy as np

from kestrove import PyAtomDatabase


def synthetic_groups(n_molecules, rng):
    """Stacked arrays per atom count, as a dataset loader would hand them over."""
    atom_counts = rng.integers(8, 65, size=n_molecules)
    groups = {}
    for n_atoms in np.unique(atom_counts):
        batch = int(np.count_nonzero(atom_counts == n_atoms))
        groups[int(n_atoms)] = dict(
            positions=rng.normal(scale=3.0, size=(batch, n_atoms, 3)).astype(np.float32),
            atomic_numbers=rng.integers(1, 10, size=(batch, n_atoms), dtype=np.uint8),
            energy=rng.normal(size=batch),
            forces=rng.normal(size=(batch, n_atoms, 3)).astype(np.float32),
            cell=np.broadcast_to(np.eye(3) * 20.0, (batch, 3, 3)).copy(),
            pbc=np.ones((batch, 3), dtype=bool),
            properties={"dipole": rng.normal(size=(batch, 3))},
        )
    return groups


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--molecules", type=int, default=100_000)
    parser.add_argument("--batch-size", type=int, default=256)
    parser.add_argument("--batches", type=int, default=400)
    parser.add_argument("--path", help="database file (default: a temporary directory)")
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    groups = synthetic_groups(args.molecules, rng)
    tmp = None
    path = args.path
    if path is None:
        tmp = tempfile.TemporaryDirectory()
        path = os.path.join(tmp.name, "train.kstv")

    # Write: one add_arrays_batch call per atom count, then one durable commit.
    start = time.perf_counter()
    db = PyAtomDatabase(path, overwrite=True)
    order = []  # (atom count, row) of every stored record, in storage order
    for n_atoms, arrays in groups.items():
        db.add_arrays_batch(**arrays)
        order.extend((n_atoms, row) for row in range(len(arrays["energy"])))
    db.flush()
    del db
    elapsed = time.perf_counter() - start
    size_mb = os.path.getsize(path) / 1e6
    print(f"wrote   {args.molecules:>9,} molecules in {elapsed:6.2f} s "
          f"({args.molecules / elapsed:>11,.0f} molecules/s, {size_mb:,.1f} MB, durable)")

    # Read: random training batches from the memory-mapped file.
    db = PyAtomDatabase.open(path)
    assert len(db) == args.molecules
    start = time.perf_counter()
    atoms = 0
    for _ in range(args.batches):
        batch = db.get_molecules_flat(rng.integers(0, len(db), size=args.batch_size))
        atoms += len(batch["atomic_numbers"])
    elapsed = time.perf_counter() - start
    n_read = args.batches * args.batch_size
    print(f"read    {n_read:>9,} molecules in {elapsed:6.2f} s "
          f"({n_read / elapsed:>11,.0f} molecules/s, {atoms / elapsed:,.0f} atoms/s) "
          f"as {args.batches} flat batches of {args.batch_size}")

    # Check: a batch and single molecules hold exactly what was written.
    picks = rng.integers(0, len(db), size=8)
    batch = db.get_molecules_flat(picks)
    offsets = np.concatenate([[0], np.cumsum(batch["n_atoms"], dtype=np.int64)])
    for m, index in enumerate(picks):
        n_atoms, row = order[index]
        src = groups[n_atoms]
        rows = slice(offsets[m], offsets[m + 1])
        assert np.array_equal(batch["positions"][rows], src["positions"][row])
        assert np.array_equal(batch["forces"][rows], src["forces"][row])
        assert np.array_equal(batch["atomic_numbers"][rows], src["atomic_numbers"][row])
        assert batch["energy"][m] == src["energy"][row]
        assert np.array_equal(batch["properties"]["dipole"][3 * m : 3 * m + 3],
                              src["properties"]["dipole"][row])
        molecule = db[int(index)]
        assert np.array_equal(molecule.positions, src["positions"][row])
        assert molecule.energy == src["energy"][row]
    print(f"checked {len(picks)} molecules against the input: identical")
    del db
    if tmp is not None:
        tmp.cleanup()


if __name__ == "__main__":
    main()
