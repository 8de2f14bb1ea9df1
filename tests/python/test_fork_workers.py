"""Reads and writes in forked children of a parent that read and wrote in parallel first: data
loader workers, and plain os.fork."""

import os
import signal
import time
import traceback

import numpy as np
import pytest

from kestrove import PyAtomDatabase, PyMolecule

# Batches large enough that reads and writes run on the worker pool in the parent.
MOLECULES = 256
BATCH = 64
ARRAY_ROWS = 1200


def make_data(seed, count):
    """Molecules of 10 to 60 atoms as plain arrays, and the molecules made from them."""
    rng = np.random.default_rng(seed)
    data = []
    for _ in range(count):
        n = int(rng.integers(10, 60))
        data.append({
            "positions": rng.standard_normal((n, 3)).astype(np.float32),
            "atomic_numbers": rng.integers(1, 90, n).astype(np.uint8),
            "energy": float(rng.standard_normal()),
            "forces": rng.standard_normal((n, 3)).astype(np.float32),
            "q": rng.standard_normal(4),
        })
    molecules = []
    for d in data:
        mol = PyMolecule(d["positions"], d["atomic_numbers"], energy=d["energy"],
                         forces=d["forces"])
        mol.set_property("q", d["q"])
        molecules.append(mol)
    return data, molecules


def expected_flat(data, indices):
    ds = [data[i] for i in indices]
    return {
        "n_atoms": np.array([len(d["atomic_numbers"]) for d in ds], np.uint32),
        "positions": np.concatenate([d["positions"] for d in ds]),
        "atomic_numbers": np.concatenate([d["atomic_numbers"] for d in ds]),
        "energy": np.array([d["energy"] for d in ds]),
        "forces": np.concatenate([d["forces"] for d in ds]),
        "q": np.concatenate([d["q"] for d in ds]),
    }


def flat_matches(got, data, indices):
    want = expected_flat(data, indices)
    got = dict(got)
    got["q"] = got.pop("properties")["q"]
    return all(np.asarray(got[key]).dtype == value.dtype
               and np.asarray(got[key]).tobytes() == value.tobytes()
               for key, value in want.items())


def molecules_match(got, data, indices):
    for mol, i in zip(got, indices):
        mol = mol.to_owned()
        d = data[i]
        if (mol.positions.tobytes() != d["positions"].tobytes()
                or mol.atomic_numbers.tobytes() != d["atomic_numbers"].tobytes()
                or mol.forces.tobytes() != d["forces"].tobytes() or mol.energy != d["energy"]
                or mol.get_property("q").tobytes() != d["q"].tobytes()):
            return False
    return len(got) == len(indices)


def batch_indices(seed, batches):
    rng = np.random.default_rng(seed)
    return [rng.integers(0, MOLECULES, BATCH) for _ in range(batches)]


@pytest.fixture
def busy_parent(tmp_path):
    """A zstd database written and read back in parallel in this process, open with mmap=True."""
    path = str(tmp_path / "db.kstv")
    data, molecules = make_data(1, MOLECULES)
    writer = PyAtomDatabase(path, "zstd")
    writer.add_molecules(molecules)
    writer.flush()
    db = PyAtomDatabase.open(path, mmap=True)
    for indices in batch_indices(2, 4):
        assert flat_matches(db.get_molecules_flat(indices), data, indices)
        assert molecules_match(db.get_molecules(indices), data, indices)
    return path, db, data, writer


# Four workers on purpose, also where fewer cores make the loader warn about it.
@pytest.mark.filterwarnings("ignore:This DataLoader will create:UserWarning")
def test_data_loader_workers_read_flat_batches(busy_parent):
    torch = pytest.importorskip("torch")
    from torch.utils.data import DataLoader, Dataset, get_worker_info

    _, db, data, _ = busy_parent
    batches = batch_indices(3, 32)

    class FlatBatches(Dataset):
        def __len__(self):
            return len(batches)

        def __getitem__(self, i):
            info = get_worker_info()
            got = db.get_molecules_flat(batches[i])
            return i, info.id if info else -1, os.getpid(), flat_matches(got, data, batches[i])

    # A worker stuck in a pool the fork broke fails the test (timeout) instead of hanging it.
    loader = DataLoader(FlatBatches(), batch_size=None, num_workers=4,
                        collate_fn=lambda item: item, timeout=120)
    assert loader.multiprocessing_context is None  # the platform's default: fork on Linux
    assert torch.multiprocessing.get_start_method() == "fork"
    for _ in range(2):  # every epoch forks four new workers
        seen = list(loader)
        assert sorted(i for i, *_ in seen) == list(range(len(batches)))
        assert all(ok for *_, ok in seen)
        assert {worker for _, worker, _, _ in seen} == {0, 1, 2, 3}
        assert os.getpid() not in {pid for _, _, pid, _ in seen}
    # The parent's pool still serves the parent.
    assert flat_matches(db.get_molecules_flat(batches[0]), data, batches[0])


def child(work):
    """Runs work() in a forked child; the child's exit status says how it went."""
    pid = os.fork()
    if pid == 0:
        code = 3
        try:
            code = 0 if work() else 1
        except BaseException:
            traceback.print_exc()
        finally:
            os._exit(code)
    return pid


def exit_code(pid, timeout=120):
    """The child's exit code; a child still running after `timeout` seconds (a pool deadlocked by
    the fork) is killed and fails the test instead of hanging it."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    pytest.fail(f"the forked child did not finish within {timeout} s")


@pytest.mark.parametrize("target", ["own file", "parent's database"])
def test_forked_child_reads_and_writes_after_parallel_work(tmp_path, busy_parent, target):
    path, db, data, writer = busy_parent
    rng = np.random.default_rng(4)
    rows = {
        "positions": rng.standard_normal((ARRAY_ROWS, 4, 3)).astype(np.float32),
        "atomic_numbers": rng.integers(1, 90, (ARRAY_ROWS, 4)).astype(np.uint8),
        "energy": rng.standard_normal(ARRAY_ROWS),
        "forces": rng.standard_normal((ARRAY_ROWS, 4, 3)).astype(np.float32),
        "properties": {"q": rng.standard_normal((ARRAY_ROWS, 4))},
    }
    # Parallel writes in the parent, right before the fork.
    scratch = PyAtomDatabase(str(tmp_path / "parent-scratch.kstv"))
    scratch.add_arrays_batch(**rows)
    scratch.add_molecules(make_data(5, BATCH)[1])
    scratch.flush()
    more_data, more = make_data(6, BATCH)
    batches = batch_indices(7, 6)

    def work():
        # Reads through the parent's handles: the pool starts afresh in the child.
        for indices in batches:
            if not flat_matches(db.get_molecules_flat(indices), data, indices):
                return False
            if not molecules_match(db.get_molecules(indices), data, indices):
                return False
        if target == "own file":
            out_path = str(tmp_path / "child.kstv")
            out = PyAtomDatabase(out_path, "lz4")
        else:
            out_path, out = path, writer  # the parent's writer, still open on the database
        start = len(out)
        out.add_arrays_batch(**rows)
        out.add_molecules(more)
        out.flush()
        back = PyAtomDatabase.open(out_path, mmap=True)
        got = back.get_molecules_flat(np.arange(start + ARRAY_ROWS, len(back)))
        return len(back) == start + ARRAY_ROWS + BATCH and flat_matches(got, more_data,
                                                                        range(BATCH))

    assert exit_code(child(work)) == 0
    # The parent reads on, and sees what the child wrote to the shared file.
    for indices in batches:
        assert flat_matches(db.get_molecules_flat(indices), data, indices)
    if target == "parent's database":
        reopened = PyAtomDatabase.open(path, mmap=True)
        assert len(reopened) == MOLECULES + ARRAY_ROWS + BATCH
        tail = reopened.get_molecules_flat(np.arange(MOLECULES + ARRAY_ROWS, len(reopened)))
        assert flat_matches(tail, more_data, range(BATCH))
        head = reopened.get_molecules_flat(np.arange(MOLECULES, MOLECULES + ARRAY_ROWS))
        assert head["positions"].tobytes() == rows["positions"].tobytes()
        assert head["energy"].tobytes() == rows["energy"].tobytes()
        assert head["properties"]["q"].tobytes() == rows["properties"]["q"].tobytes()
