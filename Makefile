# Two commands do all the set-up on a fresh machine:
#   make demo   builds the package and runs the demonstration
#   make test   builds everything and runs every test (C++, sanitizers, pytest)
VENV := .venv
PY := $(VENV)/bin/python
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_TEST_FLAGS := -DVOK_BUILD_MODULE=OFF -DVOK_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all setup install demo test test-cpp test-asan test-tsan test-py bench clean wheels test-wheels docs stubtest

all: install

$(VENV)/.ready: scripts/setup.sh scripts/find_python.sh pyproject.toml
	scripts/setup.sh
	touch $@

setup: $(VENV)/.ready

install: setup
	mkdir -p build && flock build/.install.lock $(PY) -m pip install -q --no-build-isolation --no-deps .

demo: install
	$(PY) examples/demo.py

test-cpp: setup
	cmake -S . -B build/cpp $(CMAKE_TEST_FLAGS) -DVOK_BUILD_BENCH=ON >/dev/null
	cmake --build build/cpp -j $(JOBS)
	build/cpp/vok_tests
	for n in 1 3 8; do RAYON_NUM_THREADS=$$n build/cpp/vok_tests --gtest_brief=1 --gtest_filter='Pool*:Search*' || exit 1; done

test-asan: setup
	cmake -S . -B build/asan $(CMAKE_TEST_FLAGS) -DVOK_SANITIZE=address,undefined >/dev/null
	cmake --build build/asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 build/asan/vok_tests

test-tsan: setup
	cmake -S . -B build/tsan $(CMAKE_TEST_FLAGS) -DVOK_SANITIZE=thread >/dev/null
	cmake --build build/tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 build/tsan/vok_tests --gtest_filter='Pool*:Search*'

test-py: install
	$(VENV)/bin/pytest -q

# The stubs must match the module: names, __all__, signatures.
stubtest: install
	cd build && ../$(PY) -m mypy.stubtest vok_math.vok_core vok_core

# HTML documentation in build/docs (warnings are errors); the examples in it are
# run as doctests against the installed package.
docs: install
	$(PY) -P -m sphinx -q -W --keep-going -b html docs build/docs
	$(PY) -P -m sphinx -q -W --keep-going -b doctest docs build/docs-doctest

test: test-cpp test-asan test-tsan test-py stubtest docs

# Wheels for PyPI-style installs: manylinux (glibc 2.28) and musllinux_1_2,
# both built by zig (PyPI ziglang). The musl CPython that builds and tests the
# musl wheel is compiled once and cached under ~/.cache/vok_math.
wheels: setup
	scripts/wheels/build.sh

test-wheels: wheels
	scripts/wheels/test.sh

bench: install
	cmake -S . -B build/cpp $(CMAKE_TEST_FLAGS) -DVOK_BUILD_BENCH=ON >/dev/null
	cmake --build build/cpp -j $(JOBS)
	$(PY) -P bench/batch.py
	$(PY) -P bench/algebra.py
	$(PY) -P bench/discovery.py
	build/cpp/discovery_engine

clean:
	rm -rf build dist $(VENV) *.egg-info
