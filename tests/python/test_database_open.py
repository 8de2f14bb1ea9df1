"""PyAtomDatabase: creation, opening, len() and flush(), and the header they leave on disk."""

import fcntl
import os
import resource
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import textwrap
import time

import numpy as np
import pytest

from kestrove import PyAtomDatabase, PyMolecule

SLOT_SIZE = 4096
DATA_START = 2 * SLOT_SIZE
EXISTS_MESSAGE = (
    "Database file already exists at '{}'. Use Database.open(path) for read-only access, "
    "Database.open(path, mmap=False) to append, or pass overwrite=True to recreate it."
)
READ_ONLY_MESSAGE = (
    "Invalid data: Cannot flush a database opened with a memory-mapped index (read-only); "
    "reopen without mmap to write."
)


def read_slots(path):
    """The two header slots: (raw bytes, fields) each."""
    with open(path, "rb") as f:
        data = f.read(DATA_START)
    names = ("magic", "version", "generation", "data_start", "index_offset", "index_len", "count")
    slots = []
    for raw in (data[:SLOT_SIZE], data[SLOT_SIZE:DATA_START]):
        fields = dict(zip(names, struct.unpack_from("<4sIQQQQQ", raw)))
        fields.update(compression=raw[48], level=struct.unpack_from("<i", raw, 52)[0])
        slots.append((raw, fields))
    return slots


def file_bytes(path):
    with open(path, "rb") as f:
        return f.read()


# ---------------------------------------------------------------------------------------------
# Creation


def test_create_writes_an_empty_database_with_two_equal_slots(db_path):
    database = PyAtomDatabase(db_path)
    assert len(database) == 0
    assert os.path.getsize(db_path) == DATA_START
    (raw0, slot0), (raw1, slot1) = read_slots(db_path)
    assert raw0 == raw1
    fields = ("magic", "version", "generation", "data_start", "index_offset", "count")
    assert [slot0[f] for f in fields] == [b"KSTV", 2, 0, DATA_START, 0, 0]


class LowerIsSwapped(str):
    def lower(self):
        return "zstd"


class LowerIsBroken(str):
    def lower(self):
        return 5


# A str subclass is read by its text, never through its own lower().
@pytest.mark.parametrize(
    "name, kind",
    [("none", 0), ("NONE", 0), ("lz4", 1), ("Lz4", 1), ("zstd", 2), ("ZSTD", 2), ("zStD", 2),
     (None, 0), (LowerIsBroken("LZ4"), 1), (LowerIsSwapped("none"), 0)],  # None: the default
)
def test_compression_name_in_any_case(db_path, name, kind):
    PyAtomDatabase(db_path, compression=name, level=19)
    (_, slot), _ = read_slots(db_path)
    assert slot["compression"] == kind
    if kind == 2:
        assert slot["level"] == 19


@pytest.mark.parametrize(
    "name", ["", "gzip", "zstd ", "lz-4", "ｚstd", "none\0", LowerIsSwapped("gzip")]
)
@pytest.mark.parametrize("exists", [False, True])
def test_unknown_compression_is_refused_before_touching_the_file(db_path, name, exists):
    if exists:
        PyAtomDatabase(db_path).flush()
        before = file_bytes(db_path)
    with pytest.raises(ValueError) as info:
        PyAtomDatabase(db_path, compression=name, overwrite=True)
    assert str(info.value) == "Invalid compression type"
    if exists:
        assert file_bytes(db_path) == before
    else:
        assert not os.path.exists(db_path)


@pytest.mark.parametrize("relative", [False, True])
def test_second_create_names_the_path_as_given(tmp_path, monkeypatch, relative):
    monkeypatch.chdir(tmp_path)
    path = "db.kstv" if relative else str(tmp_path / "db.kstv")
    PyAtomDatabase(path).flush()
    before = file_bytes(path)
    with pytest.raises(FileExistsError) as info:
        PyAtomDatabase(path, compression="zstd")
    assert str(info.value) == EXISTS_MESSAGE.format(path)
    assert file_bytes(path) == before


def test_existing_directory(tmp_path):
    path = str(tmp_path)
    with pytest.raises(FileExistsError) as info:
        PyAtomDatabase(path)
    assert str(info.value) == EXISTS_MESSAGE.format(path)
    for call in (lambda: PyAtomDatabase(path, overwrite=True), lambda: PyAtomDatabase.open(path)):
        with pytest.raises(ValueError, match="^IO error: "):
            call()
    assert os.path.isdir(path)


def test_overwrite_recreates_an_empty_database(db_path):
    first = PyAtomDatabase(db_path, compression="lz4")
    first.flush()
    first.flush()
    second = PyAtomDatabase(db_path, compression="zstd", level=5, overwrite=True)
    assert len(second) == 0
    assert os.path.getsize(db_path) == DATA_START
    (raw0, slot0), (raw1, _) = read_slots(db_path)
    assert raw0 == raw1
    assert (slot0["generation"], slot0["compression"], slot0["level"]) == (0, 2, 5)


RANGE = "out of range integral type conversion attempted"
NOT_INT = "argument 'level': '{}' object cannot be interpreted as an integer"


@pytest.mark.parametrize(
    "level, error, message",
    [
        (2**31, OverflowError, RANGE),
        (-(2**31) - 1, OverflowError, RANGE),
        (2**63 - 1, OverflowError, RANGE),
        (np.int64(2**40), OverflowError, RANGE),
        (2**64, OverflowError, None),  # the interpreter's own text
        (-(2**70), OverflowError, None),
        (3.0, TypeError, NOT_INT.format("float")),
        (np.float32(3), TypeError, NOT_INT.format("numpy.float32")),
        ("3", TypeError, NOT_INT.format("str")),
    ],
)
def test_level_must_be_a_32_bit_integer(db_path, level, error, message):
    with pytest.raises(error) as info:
        PyAtomDatabase(db_path, compression="zstd", level=level)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message
    assert not os.path.exists(db_path)


def test_path_with_a_nul_byte_is_refused(tmp_path):
    with pytest.raises(ValueError, match="^IO error: "):
        PyAtomDatabase(str(tmp_path / "a\0b"))
    assert os.listdir(tmp_path) == []


def test_dropping_a_database_does_not_flush(db_path):
    database = PyAtomDatabase(db_path)
    del database
    assert [slot["generation"] for _, slot in read_slots(db_path)] == [0, 0]


# ---------------------------------------------------------------------------------------------
# Opening


@pytest.mark.parametrize(
    "options",
    [{}, {"mmap": True}, {"mmap": False}, {"populate": True}, {"mmap": True, "populate": True}],
)
@pytest.mark.parametrize("flushed", [False, True])
def test_open_an_empty_database(db_path, options, flushed):
    created = PyAtomDatabase(db_path)
    if flushed:
        created.flush()
    database = PyAtomDatabase.open(db_path, **options)
    assert type(database) is PyAtomDatabase
    assert len(database) == 0


def test_populate_without_mmap_is_refused_before_opening(tmp_path):
    missing = str(tmp_path / "missing")
    with pytest.raises(ValueError) as info:
        PyAtomDatabase.open(missing, mmap=False, populate=True)
    assert str(info.value) == "populate=True requires mmap=True"


@pytest.mark.parametrize(
    "content, message",
    [
        (None, "IO error: No such file or directory (os error 2)"),
        (b"", "IO error: failed to fill whole buffer"),
        (b"KSTV\x02\x00\x00", "IO error: failed to fill whole buffer"),
        (b"\x00" * DATA_START, "Invalid data: Invalid file format"),
        (os.urandom(3 * SLOT_SIZE), "Invalid data: Invalid file format"),
    ],
    ids=["missing", "empty", "seven-bytes", "zeros", "random"],
)
@pytest.mark.parametrize("mmap", [True, False])
def test_open_refuses_what_is_not_a_database(db_path, content, message, mmap):
    if content is not None:
        with open(db_path, "wb") as f:
            f.write(content)
    with pytest.raises(ValueError) as info:
        PyAtomDatabase.open(db_path, mmap=mmap)
    assert str(info.value) == message


# Opening a FIFO waits for a peer to open its other end, so anything but a regular file is refused
# before it is read or written. The calls run in a fresh interpreter: one that blocks fails the
# test by its timeout instead of hanging pytest with the interpreter lock held.
def test_what_is_not_a_regular_file_is_refused_at_once(tmp_path, run_python):
    here = os.path.realpath(tmp_path)
    not_regular = "ValueError: IO error: '{}/{}' is not a regular file".format
    is_a_directory = "ValueError: IO error: Is a directory (os error 21)"
    expected = {
        "fifo:open": not_regular(here, "fifo"),
        "fifo:open-file": not_regular(here, "fifo"),
        "fifo:overwrite": not_regular(here, "fifo"),
        "fifo:create": "FileExistsError: " + EXISTS_MESSAGE.format("fifo"),
        "socket:open": "ValueError: IO error: No such device or address (os error 6)",
        "socket:overwrite": not_regular(here, "socket"),
        "dir:open": is_a_directory,
        "dir:overwrite": is_a_directory,
        "/dev/zero:open": "ValueError: Invalid data: Invalid file format",
    }
    result = run_python("""
        import os, socket, sys
        from kestrove import PyAtomDatabase
        os.chdir(sys.argv[1])  # relative paths: the messages name them absolute
        os.mkfifo("fifo")
        os.mkdir("dir")
        socket.socket(socket.AF_UNIX).bind("socket")
        calls = {
            "open": PyAtomDatabase.open,
            "open-file": lambda path: PyAtomDatabase.open(path, mmap=False),
            "overwrite": lambda path: PyAtomDatabase(path, overwrite=True),
            "create": PyAtomDatabase,
        }
        for case in sys.argv[2:]:
            path, call = case.split(":")
            try:
                calls[call](path)
                outcome = "ok"
            except Exception as error:
                outcome = f"{type(error).__name__}: {error}"
            print(case, outcome, sep="\\t", flush=True)
        """, tmp_path, *expected, timeout=30)
    assert result.returncode == 0, result.stderr
    assert dict(line.split("\t") for line in result.stdout.splitlines()) == expected
    modes = [os.stat(tmp_path / name).st_mode for name in ("fifo", "socket", "dir")]
    assert [stat.S_ISFIFO(modes[0]), stat.S_ISSOCK(modes[1]), stat.S_ISDIR(modes[2])] == [True] * 3


# ---------------------------------------------------------------------------------------------
# Flush


def test_flush_commits_to_the_other_slot(db_path):
    database = PyAtomDatabase(db_path)
    assert database.flush() is None
    (raw0, slot0), (_, slot1) = read_slots(db_path)
    assert (slot0["generation"], slot1["generation"]) == (0, 1)
    assert slot1["magic"] == b"KSTV" and slot1["version"] == 2
    assert len(PyAtomDatabase.open(db_path)) == 0

    reopened = PyAtomDatabase.open(db_path, mmap=False)
    assert reopened.flush() is None
    (_, slot0), (_, slot1) = read_slots(db_path)
    assert (slot0["generation"], slot1["generation"]) == (2, 1)
    assert len(PyAtomDatabase.open(db_path)) == 0


def test_memory_mapped_open_of_a_flushed_file_refuses_flush(db_path):
    PyAtomDatabase(db_path).flush()
    before = file_bytes(db_path)
    database = PyAtomDatabase.open(db_path)
    for _ in range(2):  # a failed flush leaves the object usable, with no borrow held
        with pytest.raises(ValueError) as info:
            database.flush()
        assert str(info.value) == READ_ONLY_MESSAGE
        assert len(database) == 0
    assert file_bytes(db_path) == before


def test_memory_mapped_open_of_a_never_flushed_file_stays_writable(db_path):
    PyAtomDatabase(db_path)
    database = PyAtomDatabase.open(db_path, mmap=True)
    assert database.flush() is None
    _, (_, slot1) = read_slots(db_path)
    assert slot1["generation"] == 1


# ---------------------------------------------------------------------------------------------
# Re-creation over a file that is still in use


def test_overwrite_replaces_the_file_under_live_maps(db_path, run_python):
    # Run in a child: were the old file truncated in place, touching its maps would raise SIGBUS.
    result = run_python(
        """
        import mmap, os, sys
        from kestrove import PyAtomDatabase

        path = sys.argv[1]
        PyAtomDatabase(path).flush()
        old = PyAtomDatabase.open(path, mmap=True)
        with open(path, "rb") as f:
            old_inode = os.fstat(f.fileno()).st_ino
            old_map = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        old_bytes = old_map[:]
        assert len(old_bytes) > 8192  # the index blob follows the header

        new = PyAtomDatabase(path, overwrite=True)
        assert len(old) == 0
        assert old_map[:] == old_bytes  # every page of the old file is still there
        assert os.stat(path).st_ino != old_inode
        assert os.path.getsize(path) == 8192
        assert len(new) == 0 and len(PyAtomDatabase.open(path)) == 0
        print("ok")
        """,
        db_path,
    )
    assert result.returncode == 0, (result.returncode, result.stderr)
    assert result.stdout.strip() == "ok"


def test_readers_open_and_read_while_new_versions_are_renamed_over_the_path(db_path, run_python):
    # A publisher writes each version beside the path and renames it over the path, as fast as it
    # can; every open finds one whole version and reads that version's four molecules.
    publisher = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
        import os, sys
        import numpy as np
        from kestrove import PyAtomDatabase, PyMolecule
        path, version = sys.argv[1], 0
        while not os.path.exists(path + ".stop"):
            version += 1
            db = PyAtomDatabase(path + ".next", overwrite=True)
            db.add_molecules([PyMolecule(np.full((2, 3), version, np.float32), np.ones(2, np.uint8))
                              for _ in range(4)])
            db.flush()
            del db
            os.replace(path + ".next", path)
        """), db_path])
    try:
        while not os.path.exists(db_path):
            time.sleep(0.001)
        failures, reads = [], 0
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline or reads < 200:
            mmap = reads % 2 == 0
            try:
                db = PyAtomDatabase.open(db_path, mmap=mmap)
                flat = db.get_molecules_flat([0, 1, 2, 3])["positions"]
                lazy = [m.positions for m in db.get_molecules([3, 2])] + [db.get_molecule(1).positions]
                version = flat[0, 0]
                assert (flat == version).all() and all((p == version).all() for p in lazy)
            except (ValueError, AssertionError) as error:
                failures.append(f"mmap={mmap}: {error!r}")
            reads += 1
    finally:
        open(db_path + ".stop", "w").close()
        publisher.wait(timeout=30)
    assert publisher.returncode == 0
    assert failures == [], f"{len(failures)} of {reads}: {failures[:3]}"


def test_overwrite_through_a_symlink_replaces_its_target(tmp_path):
    target = tmp_path / "target.kstv"
    link = tmp_path / "link.kstv"
    PyAtomDatabase(str(target)).flush()
    link.symlink_to(target)
    with pytest.raises(FileExistsError):
        PyAtomDatabase(str(link))

    database = PyAtomDatabase(str(link), overwrite=True)
    assert link.is_symlink()
    assert os.readlink(link) == str(target)
    assert os.path.getsize(target) == DATA_START
    database.flush()
    _, (_, slot1) = read_slots(str(target))
    assert slot1["generation"] == 1


NOBODY = 65534


def outcome_in_child(body, as_nobody=False, file_size_limit=None):
    """Runs body() in a forked child; returns "ok" or "<exception type>: <text>". With as_nobody
    the child first drops to the unprivileged user 65534 when the tests run as root (root may
    write and remove anything); with file_size_limit no file may grow past that many bytes (a
    full disk, as the write sees it)."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        outcome = "child setup failed"
        try:
            os.close(read_end)
            if file_size_limit is not None:
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))
            if as_nobody and os.geteuid() == 0:
                os.setgroups([])
                os.setgid(NOBODY)
                os.setuid(NOBODY)
            body()
            outcome = "ok"
        except BaseException as error:  # noqa: BLE001 - reported to the parent
            outcome = f"{type(error).__name__}: {error}"
        finally:
            os.write(write_end, outcome.encode())
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        outcome = pipe.read().decode()
    os.waitpid(pid, 0)
    return outcome


FS_IOC_GETFLAGS, FS_IOC_SETFLAGS, FS_APPEND_FL = 0x80086601, 0x40086602, 0x20


def keep_entries(directory, append_only, on):
    """Keeps the entries of `directory` from being removed, or lets them be removed again: with
    the append-only attribute (chattr +a), which binds root too, or by making the directory
    read-only, which binds only an unprivileged caller. False where that is refused."""
    if not append_only:
        os.chmod(directory, 0o555 if on else 0o700)
        return True
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        flags = struct.unpack("<i", fcntl.ioctl(fd, FS_IOC_GETFLAGS, bytes(8))[:4])[0]
        flags = flags | FS_APPEND_FL if on else flags & ~FS_APPEND_FL
        fcntl.ioctl(fd, FS_IOC_SETFLAGS, struct.pack("<iI", flags, 0))
        return True
    except OSError:
        return False
    finally:
        os.close(fd)


# Where the directory keeps the old file's entry, overwrite=True empties that file and takes it
# over: the new database appends to it and reads every molecule back through itself, before and
# after its flush.
@pytest.mark.parametrize("append_only", [False, True], ids=["read-only dir", "append-only dir"])
def test_overwrite_takes_over_in_place_where_the_entry_cannot_be_removed(append_only):
    directory = tempfile.mkdtemp()
    path = os.path.join(directory, "old.kstv")
    positions = np.arange(12, dtype=np.float32).reshape(4, 3)

    def create_add_and_read():
        db = PyAtomDatabase(path, compression="lz4", overwrite=True)
        db.add_molecule(PyMolecule(positions, np.arange(1, 5, dtype=np.uint8), energy=-1.5))
        for _ in range(2):
            assert db[0].positions.tolist() == positions.tolist()
            assert db.get_molecules([0])[0].energy == -1.5
            assert db.get_molecules_flat([0])["positions"].tolist() == positions.tolist()
            db.flush()

    try:
        PyAtomDatabase(path).flush()
        os.chmod(path, 0o666)
        inode = os.stat(path).st_ino
        if not keep_entries(directory, append_only, True):
            pytest.skip("this file system keeps no append-only directory")
        try:
            outcome = outcome_in_child(create_add_and_read, as_nobody=not append_only)
        finally:
            keep_entries(directory, append_only, False)
        assert outcome == "ok"
        assert os.stat(path).st_ino == inode
        (_, slot0), (_, slot1) = read_slots(path)
        assert {slot0["generation"], slot1["generation"]} == {1, 2}
        assert slot0["compression"] == slot1["compression"] == 1
        for mmap in (True, False):
            assert PyAtomDatabase.open(path, mmap=mmap)[0].positions.tolist() == \
                positions.tolist()
    finally:
        os.chmod(directory, 0o700)
        shutil.rmtree(directory)


# Replacing a file needs only its directory to be writable (here it is writable by all), but a
# file that the caller could not open for writing is refused and left as it was.
@pytest.mark.parametrize(
    "mode, owned_by_caller, replaced",
    [(0o444, True, False), (0o644, False, False), (0o444, False, False), (0o666, False, True)],
)
def test_overwrite_refuses_a_file_the_caller_could_not_open_for_writing(
    mode, owned_by_caller, replaced
):
    if not owned_by_caller and os.geteuid() != 0:
        pytest.skip("a file of another user needs root to set up")
    directory = tempfile.mkdtemp()
    path = os.path.join(directory, "old.kstv")
    try:
        os.chmod(directory, 0o777)
        PyAtomDatabase(path).flush()
        if owned_by_caller and os.geteuid() == 0:
            os.chown(path, NOBODY, NOBODY)
        os.chmod(path, mode)
        before, inode = file_bytes(path), os.stat(path).st_ino
        with open(path, "rb"):  # held open, so that a new file cannot take the old inode number
            create = lambda: PyAtomDatabase(path, overwrite=True)  # noqa: E731
            outcome = outcome_in_child(create, as_nobody=True)
        if replaced:
            assert outcome == "ok"
            assert os.stat(path).st_ino != inode and os.path.getsize(path) == DATA_START
        else:
            assert outcome == "ValueError: IO error: Permission denied (os error 13)"
            assert os.stat(path).st_ino == inode and file_bytes(path) == before
    finally:
        shutil.rmtree(directory)


# A creation that fails part way (the disk is full) removes the file it made, also one at the end
# of a symbolic link, so that a plain retry succeeds. With overwrite=True the old file is gone
# already, replaced by the new one.
@pytest.mark.parametrize("through_link", [False, True])
@pytest.mark.parametrize("overwrite", [False, True])
def test_failed_create_leaves_no_file_behind(tmp_path, overwrite, through_link):
    target = str(tmp_path / "target.kstv")
    path = str(tmp_path / "link.kstv") if through_link else target
    if through_link:
        os.symlink("target.kstv", path)  # to nothing yet
    if overwrite:
        PyAtomDatabase(target).flush()
    create = lambda: PyAtomDatabase(path, overwrite=overwrite)  # noqa: E731
    outcome = outcome_in_child(create, file_size_limit=SLOT_SIZE)
    assert outcome == "ValueError: IO error: File too large (os error 27)"
    assert not os.path.exists(target)
    assert os.path.islink(path) == through_link
    assert len(PyAtomDatabase(path)) == 0
    assert os.path.getsize(target) == DATA_START


# Two processes create one new path at once, round after round: one makes the database, the other
# is refused as the existence check would refuse it, and never truncates or removes the file the
# first one committed.
def test_racing_creators_never_take_each_others_file(tmp_path, run_python):
    result = run_python("""
        import os, sys, time
        import numpy as np
        from kestrove import PyAtomDatabase, PyMolecule
        mol = PyMolecule(np.zeros((1, 3), np.float32), np.ones(1, np.uint8))

        def create(path):
            try:
                db = PyAtomDatabase(path)
                db.add_molecule(mol)
                db.flush()
                return "made"
            except Exception as error:
                return f"{type(error).__name__}: {error}"

        for round in range(200):
            path = os.path.join(sys.argv[1], f"{round}.kstv")
            start_read, start_write = os.pipe()
            result_read, result_write = os.pipe()
            pid = os.fork()
            if pid == 0:
                os.close(start_write)
                os.read(start_read, 1)  # returns once the parent closes its end: both go
                os.write(result_write, create(path).encode())
                os._exit(0)
            os.close(start_read)
            os.close(start_write)
            # The child needs about a millisecond to get going: the parent starts from 0 to 3 ms
            # later, so that across the rounds the two calls meet at every offset.
            start = time.perf_counter() + 0.003 * round / 200
            while time.perf_counter() < start:
                pass
            mine = create(path)
            os.waitpid(pid, 0)
            os.close(result_write)
            with os.fdopen(result_read) as pipe:
                theirs = pipe.read()
            print(sorted([mine, theirs]), len(PyAtomDatabase.open(path)), sep="\t")
        """, tmp_path, timeout=120)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 200
    for round, line in enumerate(lines):
        refused = "FileExistsError: " + EXISTS_MESSAGE.format(tmp_path / f"{round}.kstv")
        assert line == f"{sorted([refused, 'made'])}\t1"
