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

CXX_DIRS := engine platform python tests bench

.PHONY: all test test-engine test-asan test-tsan test-python fuzz fuzz-seeds test-numpy1 format bench clean

all: test

test: test-engine test-asan test-tsan fuzz test-python test-numpy1

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

# The Python package: install it with its test extra, then run pytest. A run that collects no
# test (pytest's exit status 5) fails like any other.
test-python:
	@if [ -d src/kestrove ] && [ -d tests/python ]; then \
		set -e; \
		$(PYTHON) -m pip install $(PIP_FLAGS) '.[test]'; \
		$(PYTHON) -m pytest tests/python; \
	else \
		echo "test-python: src/kestrove or tests/python not present yet; skipped"; \
	fi

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

# The Python tests again with NumPy 1 (1.26), in a virtual environment of their own, against a
# wheel of the same build that test-python installed (scikit-build-core keeps one build tree per
# wheel tag): the one binary must run with NumPy 1 and 2. The wheel's extension is checked to be
# the installed one, byte for byte.
NUMPY1_VENV ?= build/venv-numpy1
test-numpy1:
	@if [ -d src/kestrove ] && [ -d tests/python ]; then \
		set -e; \
		rm -rf build/wheel; \
		$(PYTHON) -m pip wheel $(PIP_FLAGS) --no-deps -w build/wheel .; \
		wheel=$$(ls build/wheel/kestrove-*.whl); \
		installed=$$($(PYTHON) -c 'import kestrove._kestrove_rs as m; print(m.__file__)' \
			2>/dev/null || true); \
		if [ -n "$$installed" ]; then \
			$(PYTHON) -c 'import hashlib, sys, zipfile; \
				z = zipfile.ZipFile(sys.argv[1]); \
				name = next(n for n in z.namelist() if n.startswith("kestrove/_kestrove_rs")); \
				same = z.read(name) == open(sys.argv[2], "rb").read(); \
				print("test-numpy1: wheel extension is the installed one:", same); \
				sys.exit(0 if same else 1)' "$$wheel" "$$installed"; \
		fi; \
		[ -x $(NUMPY1_VENV)/bin/python ] || $(PYTHON) -m venv $(NUMPY1_VENV); \
		$(NUMPY1_VENV)/bin/python -m pip install --disable-pip-version-check -q \
			'numpy>=1.26,<2' "$$wheel[test]"; \
		$(NUMPY1_VENV)/bin/python -m pip install --disable-pip-version-check -q \
			--force-reinstall --no-deps "$$wheel"; \
		$(NUMPY1_VENV)/bin/python -c 'import numpy; print("test-numpy1: numpy", numpy.__version__); \
			assert numpy.__version__.startswith("1.")'; \
		$(NUMPY1_VENV)/bin/python -m pytest tests/python; \
	else \
		echo "test-numpy1: src/kestrove or tests/python not present yet; skipped"; \
	fi

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
