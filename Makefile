# Developer entry points: `make test` runs everything CI runs.

CMAKE  ?= cmake
CTEST  ?= ctest
PYTHON ?= python3
# Extra flags for `pip install`, e.g. --no-build-isolation when the build tools are installed.
PIP_FLAGS ?=
JOBS   ?= $(shell nproc 2>/dev/null || echo 2)

CXX_DIRS := engine platform python tests bench

.PHONY: all test test-engine test-asan test-python format bench clean

all: test

test: test-engine test-asan test-python

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
