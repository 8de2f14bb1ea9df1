"""Shared fixtures for the Python tests of kestrove."""

import subprocess
import sys
import textwrap

import pytest


@pytest.fixture
def db_path(tmp_path):
    """A path in a fresh directory where no database exists yet."""
    return str(tmp_path / "test.kstv")


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
