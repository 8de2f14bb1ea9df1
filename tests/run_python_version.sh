#!/usr/bin/env bash
# Runs the Python tests on CPython VERSION (for example 3.9), against a wheel built by and for that
# interpreter, in a virtual environment of its own under build/. A version that this machine does
# not have is skipped with a line that says so.
#
# usage: tests/run_python_version.sh VERSION [PIP_FLAGS...]
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
version="$1"
shift
pip_flags=("$@")

# An interpreter counts when it is this version and can make a virtual environment and build an
# extension (Debian splits venv and the headers into packages of their own).
usable() {
    "$1" - "$version" <<'PY' >/dev/null 2>&1
import os, sys, sysconfig
import ensurepip, venv
want = tuple(int(part) for part in sys.argv[1].split("."))
ok = sys.implementation.name == "cpython" and sys.version_info[:2] == want
ok = ok and os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
sys.exit(0 if ok else 1)
PY
}

# pyenv keeps every installed version under its root, but its shims run only the selected ones.
pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
python=
for candidate in "python$version" "$pyenv_root"/versions/"$version".*/bin/"python$version" \
    "/usr/local/bin/python$version" "/usr/bin/python$version"; do
    if usable "$candidate"; then
        python="$candidate"
        break
    fi
done
if [ -z "$python" ]; then
    echo "test-python-version: skipped: no CPython $version with venv and headers on this machine"
    exit 0
fi

venv="build/venv-py$version"
wheel_dir="build/wheel-py$version"
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
pip=("$venv/bin/python" -m pip --disable-pip-version-check)
"$venv/bin/python" -c 'import sys; print("test-python-version: python", sys.version.split()[0])'

# The build requirements too, for a build without isolation.
"${pip[@]}" install -q "${pip_flags[@]}" "numpy>=2" "scikit-build-core>=0.10"
rm -rf "$wheel_dir"
"${pip[@]}" wheel -q "${pip_flags[@]}" --no-deps -w "$wheel_dir" .
wheel="$(ls "$wheel_dir"/kestrove-*.whl)"
"${pip[@]}" install -q "${pip_flags[@]}" "$wheel[test]"
"${pip[@]}" install -q "${pip_flags[@]}" --force-reinstall --no-deps "$wheel"
"$venv/bin/python" -m pytest tests/python
