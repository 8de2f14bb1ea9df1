"""Random-access batch reads: get_molecules plus reading positions, forces, energy and atomic
numbers of every molecule, side by side with plain NumPy building the same per-molecule dicts of
copies from .npy files opened with mmap_mode="r". Then get_molecules_flat against NumPy
fancy-index gathers of the same rows, with 1, 2, 4 and 8 worker threads (each in a subprocess
with RAYON_NUM_THREADS set), and a full scan in storage order against NumPy reading the whole
arrays. Warm page cache (each road is run once before it is timed).

Run by hand after installing the package: python bench/read.py [molecules] [--threads 1,2,4,8]
The worker pool's size follows RAYON_NUM_THREADS.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

from kestrove import PyAtomDatabase, PyMolecule

BATCH = 256
BATCHES = 200
REPEATS = 3


def synthetic(count, seed=0):
    """Stacked arrays of `count` molecules of 8 to 64 atoms and their row offsets."""
    rng = np.random.default_rng(seed)
    sizes = rng.integers(8, 65, count)
    offsets = np.concatenate([[0], np.cumsum(sizes)])
    total = int(offsets[-1])
    return dict(
        offsets=offsets,
        positions=rng.standard_normal((total, 3)).astype(np.float32),
        forces=rng.standard_normal((total, 3)).astype(np.float32),
        atomic_numbers=rng.integers(1, 90, total).astype(np.uint8),
        energy=rng.standard_normal(count),
        cell=rng.standard_normal((count, 3, 3)).astype(np.float32),
        score=rng.standard_normal(count),
    )


def molecules(data):
    offsets = data["offsets"]
    for i in range(len(offsets) - 1):
        s, e = offsets[i], offsets[i + 1]
        mol = PyMolecule(data["positions"][s:e], data["atomic_numbers"][s:e],
                         forces=data["forces"][s:e], energy=float(data["energy"][i]),
                         cell=data["cell"][i], pbc=(True, True, True))
        mol.set_property("score", float(data["score"][i]))
        yield mol


def write_database(path, data, compression):
    db = PyAtomDatabase(path, compression)
    chunk = []
    for mol in molecules(data):
        chunk.append(mol)
        if len(chunk) == 10_000:
            db.add_molecules(chunk)
            chunk = []
    db.add_molecules(chunk)
    db.flush()


def best_seconds(fn):
    fn()  # warm the page cache and the pool
    best = float("inf")
    for _ in range(REPEATS):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def kestrove_batches(db, batches):
    def run():
        for indices in batches:
            for m in db.get_molecules(indices):
                m.positions, m.forces, m.energy, m.atomic_numbers

    return run


def numpy_batches(arrays, batches):
    offsets, pos, forces, nums, energy = (arrays[k] for k in
                                          ("offsets", "positions", "forces", "atomic_numbers",
                                           "energy"))

    def run():
        for indices in batches:
            [
                dict(positions=pos[offsets[i]:offsets[i + 1]].copy(),
                     forces=forces[offsets[i]:offsets[i + 1]].copy(),
                     energy=float(energy[i]),
                     atomic_numbers=nums[offsets[i]:offsets[i + 1]].copy())
                for i in indices
            ]

    return run


FLAT_THREADS = (1, 2, 4, 8)
SCAN_CHUNK = 4096


def flat_batches(db, batches):
    def run():
        for indices in batches:
            db.get_molecules_flat(indices)

    return run


def numpy_flat_batches(arrays, batches):
    """The same batch dictionaries by fancy-index gathers on the stacked arrays."""
    offsets = np.asarray(arrays["offsets"])
    sizes = np.diff(offsets).astype(np.int64)
    pos, forces, nums = arrays["positions"], arrays["forces"], arrays["atomic_numbers"]
    energy, cell, score = arrays["energy"], arrays["cell"], arrays["score"]

    def run():
        for indices in batches:
            idx = np.asarray(indices)
            n = sizes[idx]
            starts = offsets[idx]
            first = np.cumsum(n) - n
            rows = np.arange(int(n.sum())) + np.repeat(starts - first, n)
            dict(n_atoms=n.astype(np.uint32), positions=pos[rows], atomic_numbers=nums[rows],
                 forces=forces[rows], energy=energy[idx], cell=cell[idx],
                 pbc=np.ones((len(idx), 3), bool), properties=dict(score=score[idx]))

    return run


def flat_scan(db, count):
    def run():
        for start in range(0, count, SCAN_CHUNK):
            db.get_molecules_flat(range(start, min(start + SCAN_CHUNK, count)))

    return run


def numpy_scan(arrays):
    def run():
        for key in arrays:
            np.array(arrays[key])

    return run


def flat_child(tmp, count):
    """Prints the flat rows for this process's pool size (RAYON_NUM_THREADS)."""
    data_keys = ("offsets", "positions", "forces", "atomic_numbers", "energy", "cell", "score")
    arrays = {k: np.load(os.path.join(tmp, k + ".npy"), mmap_mode="r") for k in data_keys}
    rng = np.random.default_rng(1)
    batches = [rng.integers(0, count, BATCH).tolist() for _ in range(BATCHES)]
    done = BATCH * BATCHES
    threads = os.environ.get("RAYON_NUM_THREADS")
    numpy_s = best_seconds(numpy_flat_batches(arrays, batches))
    scan_s = best_seconds(numpy_scan(arrays))
    print(f"{'numpy gather':28} {threads:>7} {done / numpy_s:12,.0f} {1.0:9.2f}")
    print(f"{'numpy whole-array scan':28} {threads:>7} {count / scan_s:12,.0f} {1.0:9.2f}")
    for compression in ("none", "lz4", "zstd"):
        path = os.path.join(tmp, compression + ".kstv")
        for mmap in (True, False):
            db = PyAtomDatabase.open(path, mmap=mmap)
            ours = best_seconds(flat_batches(db, batches))
            road = f"flat {compression} mmap={mmap}"
            print(f"{road:28} {threads:>7} {done / ours:12,.0f} {numpy_s / ours:9.2f}")
            ours = best_seconds(flat_scan(db, count))
            road = f"flat scan {compression} mmap={mmap}"
            print(f"{road:28} {threads:>7} {count / ours:12,.0f} {scan_s / ours:9.2f}")
    sys.stdout.flush()


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--flat-child":
        flat_child(sys.argv[2], int(sys.argv[3]))
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("molecules", nargs="?", type=int, default=100_000)
    parser.add_argument("--threads", default=",".join(map(str, FLAT_THREADS)),
                        help="comma-separated pool sizes for the flat rows (default: 1,2,4,8)")
    args = parser.parse_args()
    count = args.molecules
    flat_threads = [int(t) for t in args.threads.split(",")]
    data = synthetic(count)
    rng = np.random.default_rng(1)
    batches = [rng.integers(0, count, BATCH).tolist() for _ in range(BATCHES)]
    done = BATCH * BATCHES
    threads = os.environ.get("RAYON_NUM_THREADS", "default")
    with tempfile.TemporaryDirectory() as tmp:
        for key, value in data.items():
            np.save(os.path.join(tmp, key + ".npy"), value)
        arrays = {k: np.load(os.path.join(tmp, k + ".npy"), mmap_mode="r") for k in data}
        numpy_s = best_seconds(numpy_batches(arrays, batches))
        print(f"{count} molecules of 8-64 atoms, {BATCHES} batches of {BATCH} random indices, "
              f"threads={threads}")
        print(f"{'road':28} {'molecules/s':>12} {'vs NumPy':>9}")
        print(f"{'numpy .npy mmap_mode=r':28} {done / numpy_s:12,.0f} {1.0:9.2f}")
        for compression in ("none", "lz4", "zstd"):
            path = os.path.join(tmp, compression + ".kstv")
            write_database(path, data, compression)
            for mmap in (True, False):
                db = PyAtomDatabase.open(path, mmap=mmap)
                road = f"get_molecules {compression} mmap={mmap}"
                ours = best_seconds(kestrove_batches(db, batches))
                print(f"{road:28} {done / ours:12,.0f} {numpy_s / ours:9.2f}")
        print()
        print("get_molecules_flat (batches: molecules/s; scans: molecules/s in storage order)")
        print(f"{'road':28} {'threads':>7} {'molecules/s':>12} {'vs NumPy':>9}")
        sys.stdout.flush()
        for n in flat_threads:
            # OpenBLAS's idle threads spin after NumPy's import and would take cores from the
            # pool; neither road here calls BLAS.
            env = dict(os.environ, RAYON_NUM_THREADS=str(n), OPENBLAS_NUM_THREADS="1")
            subprocess.run([sys.executable, __file__, "--flat-child", tmp, str(count)], env=env,
                           check=True)


if __name__ == "__main__":
    main()
