"""Shared fixtures for the Python tests of kestrove."""

import subprocess
import sys
import textwrap
import threading

import pytest


@pytest.fixture
def db_path(tmp_path):
    """A path in a fresh directory where no database exists yet."""
    return str(tmp_path / "test.kstv")


@pytest.fixture
def create_db():
    """Writes molecules into a new database at a path and flushes it; returns the open database."""
    from kestrove import PyAtomDatabase

    def create(path, molecules, compression="none"):
        db = PyAtomDatabase(path, compression)
        db.add_molecules(molecules)
        db.flush()
        return db

    return create


@pytest.fixture
def in_threads():
    """Runs body(seed) for seeds 0 to count - 1 on as many threads at once; the first exception
    raised in any of them is raised again here."""

    def run(body, count=6):
        errors = []

        def guarded(seed):
            try:
                body(seed)
            except BaseException as error:  # noqa: BLE001 - handed to the test's thread
                errors.append(error)

        threads = [threading.Thread(target=guarded, args=(seed,)) for seed in range(count)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        if errors:
            raise errors[0]

    return run


@pytest.fixture
def run_python():
    """Runs a Python snippet in a fresh interpreter, so that a crash (SIGBUS, SIGSEGV) or
    process-wide state shows up as a result instead of taking pytest down."""

    def run(code, *args, options=(), timeout=60):
        return subprocess.run(
            [sys.executable, *options, "-c", textwrap.dedent(code), *map(str, args)],
            capture_output=True,
            text=True,
            timeout=timeout,
        )

    return run
