# Developer entry points: `make test` runs everything CI runs.

CMAKE  ?= cmake
CTEST  ?= ctest
PYTHON ?= python3
# Extra flags for `pip install`, e.g. --no-build-isolation when the build tools are installed.
PIP_FLAGS ?=
JOBS   ?= $(shell nproc 2>/dev/null || echo 2)
# Seconds of fuzzing per target for `make fuzz`.
FUZZ_SECONDS ?= 20
FUZZ_CXX ?= clang++

CXX_DIRS := base engine platform python tests bench

.PHONY: all test test-engine test-asan test-tsan wheel test-python fuzz fuzz-seeds test-numpy1 \
	test-python-versions format bench clean

all: test

test: test-engine test-asan test-tsan fuzz test-python test-numpy1 test-python-versions

# The engine tests in a debug build.
test-engine:
	$(CMAKE) -S . -B build/debug -G Ninja -DCMAKE_BUILD_TYPE=Debug
	$(CMAKE) --build build/debug -j $(JOBS)
	cd build/debug && $(CTEST) --output-on-failure -j$(JOBS)

# The engine tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan:
	$(CMAKE) -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTROVE_SANITIZE=ON
	$(CMAKE) --build build/asan -j $(JOBS)
	cd build/asan && ASAN_OPTIONS=detect_leaks=1 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		$(CTEST) --output-on-failure -j$(JOBS)

# The engine tests again under ThreadSanitizer: the worker pool, parallel appends and reads.
# Forked children keep running after the fork (TSan would otherwise end them).
test-tsan:
	$(CMAKE) -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTROVE_TSAN=ON
	$(CMAKE) --build build/tsan -j $(JOBS)
	cd build/tsan && TSAN_OPTIONS="die_after_fork=0 halt_on_error=1 second_deadlock_stack=1" \
		$(CTEST) --output-on-failure -j$(JOBS)

# One wheel of the package in build/wheel, which both Python runs install.
wheel:
	rm -rf build/wheel
	$(PYTHON) -m pip wheel $(PIP_FLAGS) --no-deps -w build/wheel .

# Installs the wheel with its test extra, then runs pytest. A kestrove of the same version seen
# anywhere on the path (also one outside a virtual environment) would count as satisfied, so the
# wheel itself is force-installed. A run that collects no test (pytest's exit status 5) fails
# like any other.
test-python: wheel
	$(PYTHON) -m pip install $(PIP_FLAGS) "$$(ls build/wheel/kestrove-*.whl)[test]"
	$(PYTHON) -m pip install $(PIP_FLAGS) -q --force-reinstall --no-deps build/wheel/kestrove-*.whl
	$(PYTHON) -m pytest tests/python

# libFuzzer targets of tests/fuzz/ (clang, AddressSanitizer, UndefinedBehaviorSanitizer): replays
# every regression input, then fuzzes each target for FUZZ_SECONDS. Any finding fails and is kept
# under tests/fuzz/regressions/<target>/.
fuzz:
	$(CMAKE) -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DKESTROVE_FUZZ=ON -DKESTROVE_BUILD_TESTS=OFF
	$(CMAKE) --build build/fuzz -j $(JOBS)
	tests/fuzz/run_fuzz.sh build/fuzz $(FUZZ_SECONDS)

# Rewrites the seed corpora in tests/fuzz/corpus/ with the engine's own writers.
fuzz-seeds:
	$(CMAKE) -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DKESTROVE_FUZZ=ON -DKESTROVE_BUILD_TESTS=OFF
	$(CMAKE) --build build/fuzz -j $(JOBS) --target make_fuzz_seeds
	build/fuzz/make_fuzz_seeds tests/fuzz/corpus

# The Python tests again with NumPy 1 (1.26), in a virtual environment of their own, against the
# same wheel: the one binary must run with NumPy 1 and 2.
NUMPY1_VENV ?= build/venv-numpy1
NUMPY1_PIP = $(NUMPY1_VENV)/bin/python -m pip --disable-pip-version-check
test-numpy1: wheel
	[ -x $(NUMPY1_VENV)/bin/python ] || $(PYTHON) -m venv $(NUMPY1_VENV)
	$(NUMPY1_PIP) install -q 'numpy>=1.26,<2' "$$(ls build/wheel/kestrove-*.whl)[test]"
	$(NUMPY1_PIP) install -q --force-reinstall --no-deps build/wheel/kestrove-*.whl
	$(NUMPY1_VENV)/bin/python -c 'import numpy; print("test-numpy1: numpy", numpy.__version__); \
		assert numpy.__version__.startswith("1.")'
	$(NUMPY1_VENV)/bin/python -m pytest tests/python

# The Python tests on the oldest and the newest CPython the package claims, each against a wheel
# built for it in a virtual environment of its own. A version the machine lacks is skipped.
PYTHON_VERSIONS ?= 3.9 3.13
test-python-versions:
	for version in $(PYTHON_VERSIONS); do tests/run_python_version.sh $$version $(PIP_FLAGS) || exit 1; done

format:
	@if command -v clang-format >/dev/null 2>&1; then \
		find $(wildcard $(CXX_DIRS)) -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' \) \
			-print | xargs -r clang-format -i; \
	else \
		echo "clang-format is not installed; nothing formatted"; \
	fi

# Release builds of the benchmarks in bench/, run by hand from build/release.
bench:
	$(CMAKE) -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DKESTROVE_BUILD_BENCH=ON -DKESTROVE_BUILD_TESTS=OFF
	$(CMAKE) --build build/release -j $(JOBS)

clean:
	rm -rf build
