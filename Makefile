# Two commands do all the set-up on a fresh machine:
#   make demo   builds the package and runs the demonstration
#   make test   builds everything and runs every test (C++, sanitizers, pytest)
VENV := .venv
PY := $(VENV)/bin/python
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_TEST_FLAGS := -DVOK_BUILD_MODULE=OFF -DVOK_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all setup install install-asan demo test test-cpp test-asan test-tsan test-asan-py test-py bench clean

# The extension modules built with AddressSanitizer and UBSan, installed into
# a directory of their own that PYTHONPATH puts before the venv's copy. The
# interpreter itself is not instrumented, so the sanitizer runtime and the
# C++ runtime it intercepts are preloaded; PYTHONMALLOC=malloc lets ASan see
# Python's allocations too. Leak detection is off: the interpreter keeps
# objects alive until exit by design. allocator_may_return_null turns an
# impossible allocation into std::bad_alloc (MemoryError) as in a normal build.
ASAN_SITE := build/asan-site
ASAN_PY_ENV := LD_PRELOAD="$(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libstdc++.so)" \
	PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
	UBSAN_OPTIONS=print_stacktrace=1 PYTHONPATH=$(CURDIR)/$(ASAN_SITE)

all: install

$(VENV)/.ready: scripts/setup.sh scripts/find_python.sh pyproject.toml
	scripts/setup.sh
	touch $@

setup: $(VENV)/.ready

install: setup
	mkdir -p build && flock build/.install.lock $(PY) -m pip install -q --no-build-isolation --no-deps .

install-asan: setup
	mkdir -p build && flock build/.install-asan.lock $(PY) -m pip install -q --no-build-isolation --no-deps --upgrade \
		-C cmake.define.VOK_SANITIZE=address,undefined -C cmake.build-type=RelWithDebInfo \
		-C build-dir=build/asan-py --target $(ASAN_SITE) .

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

test-asan-py: install-asan
	$(ASAN_PY_ENV) $(PY) -P scripts/check_import.py $(ASAN_SITE)
	$(ASAN_PY_ENV) $(VENV)/bin/pytest -q -p no:cacheprovider

test-py: install
	$(VENV)/bin/pytest -q

test: test-cpp test-asan test-tsan test-asan-py test-py

bench: install
	cmake -S . -B build/cpp $(CMAKE_TEST_FLAGS) -DVOK_BUILD_BENCH=ON >/dev/null
	cmake --build build/cpp -j $(JOBS)
	$(PY) -P bench/batch.py
	$(PY) -P bench/algebra.py
	$(PY) -P bench/discovery.py
	build/cpp/discovery_engine

clean:
	rm -rf build $(VENV) *.egg-info
