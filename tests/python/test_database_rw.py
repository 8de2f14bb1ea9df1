"""PyAtomDatabase: adding molecules and reading them back as lazy molecules."""

import os
import resource
import signal
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from kestrove import PyAtomDatabase, PyMolecule
from test_database_flat import entry_at, patch
from test_database_open import outcome_in_child

DATA_START = 2 * 4096
KINDS = ["none", "lz4", "zstd"]


def make_molecule(seed, n_atoms=None):
    rng = np.random.default_rng(seed)
    n = n_atoms if n_atoms is not None else int(rng.integers(1, 9))
    mol = PyMolecule(
        rng.standard_normal((n, 3)).astype(np.float32),
        rng.integers(1, 90, n).astype(np.uint8),
        energy=float(rng.standard_normal()),
        forces=rng.standard_normal((n, 3)).astype(np.float32),
        cell=rng.standard_normal((3, 3)),
        pbc=(True, False, True),
    )
    mol.set_property("score", float(seed) + 0.25)
    return mol


def values(mol):
    """Every field of a molecule (lazy or owned) as comparable values."""
    m = mol.to_owned()
    return (
        m.positions.tobytes(),
        m.atomic_numbers.tobytes(),
        m.energy,
        m.forces.tobytes(),
        m.cell.tobytes(),
        m.pbc,
        m.get_property("score"),
    )


@pytest.fixture
def source(tmp_path):
    """An uncompressed database of ten molecules: (path, molecules, end of its records)."""
    path = str(tmp_path / "source.kstv")
    molecules = [make_molecule(seed) for seed in range(10)]
    db = PyAtomDatabase(path)
    db.add_molecules(molecules)
    end = os.path.getsize(path)
    db.flush()
    return path, molecules, end


@pytest.mark.parametrize("road", ["created", "mmap", "file"])
@pytest.mark.parametrize("kind", KINDS)
def test_round_trip_keeps_values_order_and_repeats(db_path, create_db, kind, road):
    molecules = [make_molecule(seed) for seed in range(6)]
    db = create_db(db_path, molecules, kind)
    if road != "created":
        db = PyAtomDatabase.open(db_path, mmap=(road == "mmap"))
    indices = [5, 0, 5, 3]
    got = db.get_molecules(indices)
    assert [values(m) for m in got] == [values(molecules[i]) for i in indices]
    assert got[0] is not got[2]
    assert values(db.get_molecule(4)) == values(molecules[4])
    assert values(db[np.int64(1)]) == values(molecules[1])
    assert values(db[True]) == values(molecules[1])
    assert db.get_molecules([]) == []


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("road", ["mmap", "file"])
def test_lazy_molecules_are_stored_byte_for_byte(tmp_path, source, create_db, kind, road):
    path, molecules, end = source
    mmap = road == "mmap"
    middle = str(tmp_path / "middle.kstv")
    create_db(middle, PyAtomDatabase.open(path, mmap=mmap).get_molecules(range(10)), kind)
    again = PyAtomDatabase.open(middle, mmap=mmap).get_molecules(range(10))
    final = str(tmp_path / "final.kstv")
    PyAtomDatabase(final).add_molecules(again)
    with open(path, "rb") as a, open(final, "rb") as b:
        assert a.read()[DATA_START:end] == b.read()[DATA_START:end]
    assert [values(m) for m in again] == [values(m) for m in molecules]


def test_lazy_layouts_that_differ_and_owned_ones_are_grouped(tmp_path, source):
    path, molecules, _ = source
    db = PyAtomDatabase.open(path)
    lazy = [db.get_molecule(i) for i in range(3)]
    owned = [make_molecule(100), make_molecule(101)]
    target = PyAtomDatabase(str(tmp_path / "t.kstv"), "lz4")
    target.add_molecules([owned[0], lazy[2], owned[1], lazy[0]])
    target.add_molecule(lazy[1])
    target.add_molecule(owned[0])
    expected = [lazy[2], lazy[0], owned[0], owned[1], lazy[1], owned[0]]
    assert [values(target[i]) for i in range(len(target))] == [values(m) for m in expected]


def test_failures_raise_the_documented_errors(tmp_path, source, create_db):
    path, molecules, _ = source
    lz4 = str(tmp_path / "lz4.kstv")
    create_db(lz4, molecules, "lz4")
    mapped, plain = PyAtomDatabase.open(path), PyAtomDatabase.open(path, mmap=False)
    # A copy whose first index entry says record 0 is one byte long, too short to parse.
    short = str(tmp_path / "short.kstv")
    data = bytearray(open(path, "rb").read())
    entry = data.index(struct.pack("<Q", DATA_START), DATA_START)
    struct.pack_into("<II", data, entry + 8, 1, 1)
    open(short, "wb").write(data)
    too_small = "Invalid data: SOA record too small"
    # Lazy molecules whose per-molecule arrays differ in length fit no one schema.
    ragged = []
    for length in (2, 3):
        mol = make_molecule(0, 2)
        mol.set_property("w", np.zeros(length))
        ragged.append(create_db(str(tmp_path / f"w{length}.kstv"), [mol])[0])
    cases = [
        (lambda: PyAtomDatabase.open(short).get_molecules([1, 0]), ValueError, too_small),
        (lambda: PyAtomDatabase.open(short, mmap=False)[0], ValueError, too_small),
        (lambda: PyAtomDatabase.open(short, mmap=False).get_molecules([1, 0]), ValueError,
         "Invalid data: ValueError: " + too_small),
        (lambda: mapped.get_molecule(10), IndexError,
         "Index 10 out of bounds for database of length 10"),
        (lambda: mapped[10], IndexError, "Index 10 out of bounds for database of length 10"),
        (lambda: mapped.get_molecules([10]), ValueError,
         "Invalid data: Missing mmap bytes for molecule 10"),
        (lambda: PyAtomDatabase.open(lz4).get_molecules([0, 11]), ValueError,
         "Invalid data: Missing compressed bytes for molecule 11"),
        (lambda: PyAtomDatabase.open(lz4).get_molecules([0] * 300 + [13] + [0] * 300 + [11]),
         ValueError, "Invalid data: Missing compressed bytes for molecule 13"),
        (lambda: plain.get_molecules([12]), ValueError, None),
        (lambda: mapped.get_molecule(-1), OverflowError, None),
        (lambda: mapped[-1], OverflowError, None),
        (lambda: mapped.get_molecule(2**64), OverflowError, None),
        (lambda: mapped.get_molecule(1.0), TypeError, "argument 'index': "),
        (lambda: mapped[0:2], TypeError, "argument 'index': "),
        (lambda: mapped.get_molecules("01"), TypeError,
         "argument 'indices': Can't extract `str` to `Vec`"),
        (lambda: mapped.get_molecules(3), TypeError,
         "argument 'indices': 'int' object cannot be converted to 'Sequence'"),
        (lambda: plain.add_molecules("ab"), TypeError,
         "argument 'molecules': Can't extract `str` to `Vec`"),
        (lambda: plain.add_molecules([molecules[0], 1]), TypeError,
         "argument 'molecules': 'int' object cannot be converted to 'PyMolecule'"),
        (lambda: plain.add_molecule(None), TypeError,
         "argument 'molecule': 'NoneType' object cannot be converted to 'PyMolecule'"),
        (lambda: plain.add_molecules(ragged), ValueError,
         "Invalid data: Schema mismatch for section 'w'"),
        (lambda: mapped.add_molecule(molecules[0]), ValueError,
         "Invalid data: Cannot add molecules to a database opened with a memory-mapped index "
         "(read-only); reopen without mmap to write."),
    ]
    for call, error, text in cases:
        with pytest.raises(error) as raised:
            call()
        if text is not None:
            assert str(raised.value).startswith(text), str(raised.value)
    assert len(plain) == 10 and len(mapped) == 10
    mapped.add_molecules([])  # nothing to append: the read-only engine is never asked


# A lazy molecule is appended as the record it holds. A damaged record whose section no writer
# gives its kind and tag is refused before anything is appended, on every lazy road: committed, its
# schema entry would make every flat read of the file fail, for every molecule.
@pytest.mark.parametrize("target", ["empty", "made", "opened"])
@pytest.mark.parametrize("values, kind, tag, message", [
    (9, 2, 10, "invalid type tag 10"),  # nine float64 read as one 3 x 3 matrix
    (2, 3, 0, "invalid slot length 16 for type tag 0"),  # two float64 read as one
], ids=["tag 10", "kind 3, two values of tag 0"])
def test_a_lazy_record_that_flat_reads_refuse_is_not_appended(
        tmp_path, create_db, target, values, kind, tag, message):
    source, path = str(tmp_path / "source.kstv"), str(tmp_path / "target.kstv")
    plain, other, forged = (PyMolecule(np.zeros((n, 3), np.float32), np.ones(n, np.uint8))
                            for n in (1, 3, 2))
    forged.set_property("m", np.arange(float(values)))
    create_db(source, [forged, other])
    # Record 0's section "m": kind 2, key, tag 3 (float64 array), payload length.
    section = b"\x02\x01m\x03" + struct.pack("<I", 8 * values)
    forgery = bytes([kind, 1, ord("m"), tag]) + section[4:]
    patch(source, lambda d: d.__setitem__(slice(d.index(section), d.index(section) + 8), forgery))
    forged, other = PyAtomDatabase.open(source, mmap=False).get_molecules([0, 1])
    first = [] if target == "empty" else [plain]  # empty: no schema lock held yet
    db = create_db(path, first)
    if target == "opened":
        db = PyAtomDatabase.open(path, mmap=False)
    appends = [
        lambda: db.add_molecule(forged),  # under the view's own schema
        lambda: db.add_molecules([forged, forged]),  # one layout: under the first view's
        lambda: db.add_molecules([plain, other, forged]),  # two: each record's own; no owned group
    ]
    for append in appends:
        with pytest.raises(ValueError, match=f"^Invalid data: Section 'm' has {message}$"):
            append()
        assert len(db) == len(first)
    db.add_molecule(other)
    db.flush()
    for mmap in (True, False):
        got = PyAtomDatabase.open(path, mmap=mmap).get_molecules_flat(range(len(first) + 1))
        assert got["n_atoms"].tolist() == [1] * len(first) + [3] and "properties" not in got


def test_lazy_molecule_outlives_its_database_and_file(tmp_path, source):
    path, molecules, _ = source
    db = PyAtomDatabase.open(path)
    lazy = db.get_molecules([3, 7])
    del db
    replacement = PyAtomDatabase(path, overwrite=True)
    replacement.add_molecule(make_molecule(55))
    replacement.flush()
    assert [values(m) for m in lazy] == [values(molecules[3]), values(molecules[7])]
    assert values(PyAtomDatabase.open(path)[0]) == values(make_molecule(55))


REPLACED = (
    "IO error: The file at '{}' is no longer the one this database created or opened: another "
    "process replaced it. Reopen the database."
)
CUT_SHORT = (
    "IO error: The file at '{}' holds {} bytes, fewer than the {} this database wrote: another "
    "process cut it short. Reopen the database."
)


# A writer opens the file by its path for each append and flush: a file that another process put
# at the path, or cut short, is refused and never written to. The database keeps its own file
# open, so a new file cannot take the old one's inode number, and reads go on through it.
@pytest.mark.parametrize("change", ["replaced", "recreated", "emptied", "cut"])
@pytest.mark.parametrize("road", ["created", "file"])
def test_a_file_replaced_or_cut_short_is_refused_and_left_alone(db_path, create_db, road, change):
    molecules = [make_molecule(seed) for seed in range(2)]
    db = create_db(db_path, molecules)
    if road == "file":
        db = PyAtomDatabase.open(db_path, mmap=False)
    end = os.path.getsize(db_path)
    if change == "replaced":
        create_db(db_path + ".new", [make_molecule(50)])
        os.replace(db_path + ".new", db_path)
    elif change == "recreated":
        other = PyAtomDatabase(db_path, overwrite=True)
        other.add_molecule(make_molecule(50))
        other.flush()
    else:
        os.truncate(db_path, 0 if change == "emptied" else DATA_START + 1)
    before = open(db_path, "rb").read()
    replaced = change in ("replaced", "recreated")
    if replaced:
        refused = REPLACED.format(db_path)
    else:
        refused = CUT_SHORT.format(db_path, len(before), end)
    writes = [lambda: db.add_molecule(molecules[0]), db.flush]
    reads = [lambda: db.get_molecule(1), lambda: db.get_molecules([0, 1]),
             lambda: db.get_molecules_flat([1])]
    cut = "IO error: failed to fill whole buffer"
    expected = [(w, refused) for w in writes] + ([] if replaced else [(r, cut) for r in reads])
    for call, text in expected:
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == text
    assert open(db_path, "rb").read() == before
    if replaced:
        # Its own file, which nothing removed while the database held it, still reads.
        assert values(db.get_molecule(1)) == values(molecules[1])
        assert [values(m) for m in db.get_molecules([0, 1])] == [values(m) for m in molecules]
        assert db.get_molecules_flat([1])["positions"].tolist() == \
            np.asarray(molecules[1].positions).tolist()
        other = PyAtomDatabase.open(db_path)
        assert [values(m) for m in other.get_molecules(range(len(other)))] == [
            values(make_molecule(50))
        ]


# Takes a read lease on the file argv[1] and prints "held" (or why the lease was refused), then
# gives the lease up once asked to break it (SIGIO), or after 10 s. Exits 0 when a break was asked
# for, 1 when none was, 2 when the lease was refused.
HOLD_READ_LEASE = """
import fcntl, os, signal, sys
F_SETLEASE = getattr(fcntl, "F_SETLEASE", 1024)
signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGIO])  # left for sigtimedwait
fd = os.open(sys.argv[1], os.O_RDONLY)
try:
    fcntl.fcntl(fd, F_SETLEASE, getattr(fcntl, "F_RDLCK", 0))
except OSError as error:
    print(error, flush=True)
    sys.exit(2)
print("held", flush=True)
broken = signal.sigtimedwait([signal.SIGIO], 10) is not None
fcntl.fcntl(fd, F_SETLEASE, getattr(fcntl, "F_UNLCK", 2))
sys.exit(0 if broken else 1)
"""


# Another process may hold a lease on the file (a file server's oplock or delegation, here
# F_SETLEASE): an append waits for the lease to be broken, as a plain open does, instead of
# failing at once with EAGAIN.
def test_an_append_waits_for_the_break_of_another_process_lease(db_path, create_db):
    create_db(db_path, [make_molecule(0)])
    db = PyAtomDatabase.open(db_path, mmap=False)  # only a read-only handle: leases are possible
    command = [sys.executable, "-c", HOLD_READ_LEASE, db_path]
    with subprocess.Popen(command, stdout=subprocess.PIPE, text=True) as holder:
        state = holder.stdout.readline().strip()
        if state != "held":
            holder.wait(timeout=30)
            assert state, "the lease holder failed"
            pytest.skip(f"this file system grants no lease: {state}")
        try:
            db.add_molecule(make_molecule(1))
            db.flush()
        finally:
            code = holder.wait(timeout=30)
    assert code == 0  # the append asked for the break
    assert len(PyAtomDatabase.open(db_path)) == 2


# Takes a read lease on the file argv[1], prints "held" (or why the lease was refused) and holds
# it, while it is being broken too, until a line comes on its standard input.
HOLD_READ_LEASE_UNTIL_TOLD = """
import fcntl, os, signal, sys
signal.signal(signal.SIGIO, signal.SIG_IGN)  # a break is asked for, and not granted
fd = os.open(sys.argv[1], os.O_RDONLY)
try:
    fcntl.fcntl(fd, getattr(fcntl, "F_SETLEASE", 1024), getattr(fcntl, "F_RDLCK", 0))
except OSError as error:
    print(error, flush=True)
    sys.exit(2)
print("held", flush=True)
sys.stdin.readline()
"""

# Run without /proc (an empty tmpfs over it, in a mount namespace of its own): an append and a
# flush, then a replacing creation, each as "ok" or "<exception type>: <text>".
WRITE_WITHOUT_PROC = """
import sys
import numpy as np
from kestrove import PyAtomDatabase, PyMolecule
def outcome(call):
    try:
        call()
        return "ok"
    except Exception as error:
        return f"{type(error).__name__}: {error}"
db = PyAtomDatabase.open(sys.argv[1], mmap=False)
def append():
    db.add_molecule(PyMolecule(np.zeros((2, 3), np.float32), np.ones(2, np.uint8)))
    db.flush()
print(outcome(append))
print(outcome(lambda: PyAtomDatabase(sys.argv[1], overwrite=True)))
"""


# The wait for a lease's break reopens the file through /proc. Where there is none, an open of a
# file under a lease fails with the lease's own error, never as if the file were missing, and a
# replacing creation does not take that for a free path. A retry once the lease is gone succeeds.
def test_without_proc_a_lease_fails_writes_with_its_own_error(db_path, create_db):
    create_db(db_path, [make_molecule(0)])
    before = open(db_path, "rb").read()
    without_proc = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                    'mount -t tmpfs none /proc && exec "$@"', "sh"]
    probe = subprocess.run([*without_proc, "test", "!", "-e", "/proc/self"], capture_output=True)
    if probe.returncode != 0:
        pytest.skip("no mount namespace without /proc can be made here")
    command = [sys.executable, "-c", HOLD_READ_LEASE_UNTIL_TOLD, db_path]
    with subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                          text=True) as holder:
        try:
            state = holder.stdout.readline().strip()
            if state != "held":
                assert state, "the lease holder failed"
                pytest.skip(f"this file system grants no lease: {state}")
            writer = subprocess.run(
                [*without_proc, sys.executable, "-c", WRITE_WITHOUT_PROC, db_path],
                capture_output=True, text=True, timeout=60)
        finally:
            holder.communicate("release\n", timeout=30)
    lease_error = "ValueError: IO error: Resource temporarily unavailable (os error 11)"
    assert writer.stdout.splitlines() == [lease_error, lease_error], writer.stderr
    assert open(db_path, "rb").read() == before
    db = PyAtomDatabase.open(db_path, mmap=False)
    db.add_molecule(make_molecule(1))
    db.flush()
    assert len(PyAtomDatabase.open(db_path)) == 2


def add_with(method, db, forces=False, dtype=np.float32):
    """Adds two molecules of three atoms through `method`."""
    positions = np.zeros((2, 3, 3), dtype)
    numbers = np.ones((2, 3), np.uint8)
    force_values = np.ones((2, 3, 3), np.float32) if forces else None
    if method == "add_arrays_batch":
        return db.add_arrays_batch(positions, numbers, energy=np.ones(2), forces=force_values)
    molecules = [
        PyMolecule(positions[i], numbers[i], energy=1.0,
                   forces=None if force_values is None else force_values[i])
        for i in range(2)
    ]
    if method == "add_molecule":
        return db.add_molecule(molecules[0])
    return db.add_molecules(molecules)


# An append takes the schema its molecules bring only once their records are written: one that
# fails (here the disk is full) leaves neither its forces nor its float64 positions to be
# committed by the next flush, or to refuse the float32 appends after it.
@pytest.mark.parametrize("refused", [{"forces": True}, {"dtype": np.float64}], ids=["forces", "f64"])
@pytest.mark.parametrize("method", ["add_molecule", "add_molecules", "add_arrays_batch"])
def test_a_failed_append_leaves_no_schema_behind(db_path, method, refused):
    def fill_then_add():
        db = PyAtomDatabase(db_path)
        db.flush()
        _, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (os.path.getsize(db_path), hard))
        with pytest.raises(ValueError, match=r"^IO error: File too large \(os error 27\)$"):
            add_with(method, db, **refused)
        resource.setrlimit(resource.RLIMIT_FSIZE, (hard, hard))
        add_with(method, db)
        db.flush()

    assert outcome_in_child(fill_then_add) == "ok"
    reader = PyAtomDatabase.open(db_path)
    assert "forces" not in reader.get_molecules_flat([0])
    assert reader[0].forces is None and reader[0].positions.dtype == np.float32
    writer = PyAtomDatabase.open(db_path, mmap=False)
    add_with(method, writer)
    writer.flush()
    added = 1 if method == "add_molecule" else 2
    assert len(PyAtomDatabase.open(db_path)) == 2 * added


@pytest.mark.parametrize("mmap", [True, False])
def test_threads_read_one_database_at_once(source, in_threads, mmap):
    path, molecules, _ = source
    db = PyAtomDatabase.open(path, mmap=mmap)
    expected = [values(m) for m in molecules]

    def read(seed):
        rng = np.random.default_rng(seed)
        for _ in range(50):
            indices = rng.integers(0, 10, 16)
            assert [values(m) for m in db.get_molecules(indices)] == [expected[i] for i in indices]

    in_threads(read)


def test_reentrant_conversions_meet_the_borrow(tmp_path, source):
    path, molecules, _ = source
    db = PyAtomDatabase.open(path, mmap=False)

    class WritingIndex:
        def __index__(self):
            db.add_molecule(molecules[0])
            return 0

    class ReadingSequence:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i:
                raise IndexError
            db.get_molecule(0)
            return molecules[0]

    class ReadingIndex:
        def __index__(self):
            return len(db) - 10

    for call, text in [
        (lambda: db.get_molecules([0, WritingIndex()]), "Already borrowed"),
        (lambda: db[WritingIndex()], "Already borrowed"),
        (lambda: db.get_molecule(WritingIndex()), "Already borrowed"),
        (lambda: db.add_molecules(ReadingSequence()), "Already mutably borrowed"),
    ]:
        with pytest.raises(RuntimeError, match=text):
            call()
    assert values(db.get_molecules([ReadingIndex()])[0]) == values(molecules[0])
    assert len(db) == 10


@pytest.mark.parametrize("kind", ["none", "zstd"])
def test_corrupt_files_give_clean_errors_on_every_read_road(db_path, create_db, run_python, kind):
    molecules = [make_molecule(seed) for seed in range(6)]
    for m in molecules[1::3]:
        m.set_property("label", "t")
    create_db(db_path, molecules, kind)
    # Cut short and with bytes flipped, from the first record to the end of the index.
    code = """
        import sys
        from kestrove import PyAtomDatabase
        path, start = sys.argv[1], int(sys.argv[2])
        original = open(path, "rb").read()
        variants = [original[:cut] for cut in range(start, len(original), 7)]
        for offset in range(start, len(original), 2):
            for flip in (0x01, 0x80, 0xFF):
                data = bytearray(original)
                data[offset] ^= flip
                variants.append(bytes(data))
        for data in variants:
            open(path, "wb").write(data)
            for mmap in (True, False):
                for read in (
                    lambda db: [m.to_owned() for m in db.get_molecules(range(len(db)))],
                    lambda db: [db[i].to_owned() for i in {0, len(db) - 1} if i in range(len(db))],
                    lambda db: db.get_molecules_flat(list(range(len(db))) + [0]),
                ):
                    try:
                        read(PyAtomDatabase.open(path, mmap=mmap))
                    except ValueError:
                        pass
        print("ok")
    """
    result = run_python(code, db_path, DATA_START, timeout=600)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == "ok"


# Each of entries 1 to 40 names a real record followed by every record after it, up to the index:
# legal stored ranges, whose records simply end early. A read holds a few stored records per
# worker while it works, and a lazy molecule keeps only its record.
@pytest.mark.parametrize("indices", ["[1] * 80", "list(range(1, 41))"], ids=["repeated", "distinct"])
@pytest.mark.parametrize("road", ["get_molecules_flat", "get_molecules"])
def test_reads_without_the_map_hold_no_stored_bytes_per_position(db_path, run_python, road, indices):
    db = PyAtomDatabase(db_path)
    db.add_arrays_batch(np.ones((500, 1000, 3), np.float32), np.ones((500, 1000), np.uint8))
    db.flush()
    data = bytearray(open(db_path, "rb").read())
    index_at = entry_at(data, 0) - 8  # the index blob, whose count comes first
    for i in range(1, 41):
        at = entry_at(data, i)
        offset = DATA_START if i == 1 else struct.unpack_from("<Q", data, at)[0]
        struct.pack_into("<QII", data, at, offset, index_at - offset, index_at - offset)
    open(db_path, "wb").write(data)
    result = run_python(f"""
        import os, resource, sys
        os.environ["RAYON_NUM_THREADS"] = "2"
        from kestrove import PyAtomDatabase
        db = PyAtomDatabase.open(sys.argv[1], mmap=False)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        held = db.{road}({indices})
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
        """, db_path)
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) * 1024 < 3 * len(data)


def declare_record_sizes(path, indices, size):
    """Index entries `indices` of the database at `path` declare records of `size` bytes."""
    data = bytearray(open(path, "rb").read())
    for i in indices:
        struct.pack_into("<I", data, entry_at(data, i) + 12, size)
    open(path, "wb").write(data)


def capped_child(headroom, body):
    """A child's source: two worker threads (few thread stacks under the cap), an address space
    capped `headroom` bytes above what the child maps once it has imported kestrove, then
    `body`, which finds PyAtomDatabase and sys imported."""
    return textwrap.dedent(f"""
        import os, resource, sys
        os.environ["RAYON_NUM_THREADS"] = "2"
        from kestrove import PyAtomDatabase
        vm = next(int(line.split()[1]) for line in open("/proc/self/status")
                  if line.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, ((vm << 10) + {headroom},) * 2)
        """) + textwrap.dedent(body)


# A lazy molecule keeps its record and no more, whatever size its index entry declares: here every
# record of about 12 KB declares 1 GiB (an LZ4 buffer sized from that could grow to 3 MB), and all
# 300 molecules are held at once, on every road, with only 400 MiB of address space to spare.
@pytest.mark.parametrize("kind", ["lz4", "zstd"])
def test_lazy_molecules_hold_only_their_records(db_path, run_python, kind):
    rng = np.random.default_rng(0)
    db = PyAtomDatabase(db_path, kind)
    db.add_molecules([PyMolecule(rng.standard_normal((500, 3)).astype(np.float32),
                                 np.ones(500, np.uint8),
                                 forces=rng.standard_normal((500, 3)).astype(np.float32))
                      for _ in range(300)])
    db.flush()
    declare_record_sizes(db_path, range(300), 1 << 30)
    result = run_python(capped_child(400 << 20, """
        for mmap in (True, False):
            db = PyAtomDatabase.open(sys.argv[1], mmap=mmap)
            for read in (lambda: [db[i] for i in range(300)], lambda: db.get_molecules(range(300))):
                held = read()
                print(sum(len(m.positions) for m in held))
                del held
        """), db_path)
    assert result.stdout.split() == ["150000"] * 4, result.stderr


# Allocations that fail while a record is read say what they were sizing: here the record's
# declared size, as far as its LZ4 bytes could expand, is beyond the address space left.
def test_a_record_too_large_to_allocate_is_named(db_path, run_python):
    rng = np.random.default_rng(0)
    db = PyAtomDatabase(db_path, "lz4")
    db.add_molecule(PyMolecule(rng.standard_normal((400_000, 3)).astype(np.float32),
                               np.ones(400_000, np.uint8)))
    db.flush()
    declare_record_sizes(db_path, [0], 0x70000000)
    result = run_python(capped_child(1 << 30, """
        for mmap in (True, False):
            db = PyAtomDatabase.open(sys.argv[1], mmap=mmap)
            for read in (lambda: db.get_molecule(0), lambda: db.get_molecules([0]),
                         lambda: db.get_molecules_flat([0])):
                try:
                    read()
                except MemoryError as error:
                    print(error)
        """), db_path)
    assert result.stdout.splitlines() == [
        "cannot allocate the record of molecule 0",
        "cannot allocate the record of molecule 0",
        "cannot allocate the decompressed record of molecule 0",
    ] * 2, result.stderr
