"""Bulk-write throughput: molecules of 8 to 64 atoms grouped by atom count, written with one
add_arrays_batch call per count and made durable with flush(), side by side with the plain-NumPy
baseline that writes the same arrays with np.save and fsyncs them. Every configuration runs in
its own process so that RAYON_NUM_THREADS sizes the worker pool; input generation is not timed.

Run by hand after installing the package:
    python bench/write.py [molecules] [add_molecules subset]
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

ATOM_COUNTS = range(8, 65)
THREADS = (1, 2, 4, 8)
COMPRESSIONS = ("none", "lz4", "zstd")


def groups(total):
    """One dict of stacked arrays per atom count; the counts share `total` molecules evenly."""
    rng = np.random.default_rng(0)
    per, extra = divmod(total, len(ATOM_COUNTS))
    out = []
    for i, n in enumerate(ATOM_COUNTS):
        b = per + (1 if i < extra else 0)
        out.append(
            {
                "positions": rng.standard_normal((b, n, 3), dtype=np.float32),
                "atomic_numbers": rng.integers(1, 90, (b, n), dtype=np.uint8),
                "energy": rng.standard_normal(b),
                "forces": rng.standard_normal((b, n, 3), dtype=np.float32),
                "cell": rng.standard_normal((b, 3, 3)),
                "pbc": np.ones((b, 3), dtype=bool),
                "score": rng.standard_normal(b),
            }
        )
    return out


def raw_bytes(data):
    return sum(a.nbytes for g in data for a in g.values())


def run_kestrove(data, path, compression):
    from kestrove import PyAtomDatabase

    start = time.perf_counter()
    db = PyAtomDatabase(path, compression, overwrite=True)
    for g in data:
        db.add_arrays_batch(
            g["positions"], g["atomic_numbers"], energy=g["energy"], forces=g["forces"],
            cell=g["cell"], pbc=g["pbc"], properties={"score": g["score"]},
        )
    db.flush()
    return time.perf_counter() - start, os.path.getsize(path)


def run_numpy(data, directory):
    start = time.perf_counter()
    size = 0
    for i, g in enumerate(data):
        for key, array in g.items():
            path = os.path.join(directory, f"{i}_{key}.npy")
            with open(path, "wb") as f:
                np.save(f, array)
                f.flush()
                os.fsync(f.fileno())
            size += os.path.getsize(path)
    fd = os.open(directory, os.O_RDONLY)
    os.fsync(fd)
    os.close(fd)
    return time.perf_counter() - start, size


def run_add_molecules(data, path):
    from kestrove import PyAtomDatabase, PyMolecule

    start = time.perf_counter()
    db = PyAtomDatabase(path, "none", overwrite=True)
    for g in data:
        mols = []
        for i in range(len(g["energy"])):
            m = PyMolecule.from_arrays(
                g["positions"][i], g["atomic_numbers"][i], energy=float(g["energy"][i]),
                forces=g["forces"][i], cell=g["cell"][i], pbc=(True, True, True),
            )
            m.set_property("score", float(g["score"][i]))
            mols.append(m)
        db.add_molecules(mols)
    db.flush()
    return time.perf_counter() - start, os.path.getsize(path)


def child(mode, total, directory, compression):
    data = groups(total)
    if mode == "kestrove":
        seconds, size = run_kestrove(data, os.path.join(directory, "db.kstv"), compression)
    elif mode == "numpy":
        seconds, size = run_numpy(data, directory)
    else:
        seconds, size = run_add_molecules(data, os.path.join(directory, "mols.kstv"))
    print(json.dumps({"seconds": seconds, "size": size, "raw": raw_bytes(data)}))


def spawn(mode, total, compression="none", threads=None):
    directory = tempfile.mkdtemp(prefix="kstv-write-", dir=os.environ.get("BENCH_DIR"))
    env = dict(os.environ)
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    try:
        out = subprocess.run(
            [sys.executable, __file__, "--child", mode, str(total), directory, compression],
            env=env, check=True, capture_output=True, text=True,
        ).stdout
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    return json.loads(out.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("molecules", type=int, nargs="?", default=1_000_000)
    parser.add_argument("subset", type=int, nargs="?", default=100_000,
                        help="molecules written with add_molecules for comparison")
    args = parser.parse_args()
    total, subset = args.molecules, args.subset
    rows = []
    base = spawn("numpy", total)
    base_rate = total / base["seconds"]
    rows.append(("np.save + fsync", "-", "-", total, base))
    for compression in COMPRESSIONS:
        for threads in THREADS:
            rows.append((f"add_arrays_batch", compression, threads, total,
                         spawn("kestrove", total, compression, threads)))
    rows.append(("add_molecules", "none", "all", subset, spawn("molecules", subset)))
    print(f"{'writer':18} {'codec':5} {'thr':>3} {'molecules':>10} {'s':>8} {'mol/s':>11} "
          f"{'vs np':>6} {'size/raw':>8}")
    for name, codec, threads, count, r in rows:
        rate = count / r["seconds"]
        print(f"{name:18} {codec:5} {threads!s:>3} {count:>10} {r['seconds']:8.2f} {rate:11,.0f} "
              f"{rate / base_rate:6.2f} {r['size'] / r['raw']:8.3f}")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5])
    else:
        main()
