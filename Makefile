# Two commands do all the set-up on a fresh machine:
#   make demo   builds the package and runs the demonstration
#   make test   builds everything and runs every test stage (C++, sanitizers,
#               pytest, a short fuzz run), one line per stage; the full logs
#               are in build/logs/<stage>.log
# Each stage is also a target of its own (test-cpp, test-asan-py, ...), which
# prints everything.
VENV := .venv
PY := $(VENV)/bin/python
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_TEST_FLAGS := -DVOK_BUILD_MODULE=OFF -DVOK_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
FUZZ_SECONDS ?= 300
TEST_FUZZ_SECONDS ?= 20

.PHONY: all setup install install-asan demo test build-cpp test-cpp test-cpp-workers test-asan test-tsan \
	test-asan-py test-py test-fuzz fuzz fuzz-corpus bench clean \
	wheels test-wheels docs stubtest format

# The extension modules built with AddressSanitizer and UBSan, installed into
# a directory of their own that PYTHONPATH puts before the venv's copy. The
# interpreter itself is not instrumented, so the sanitizer runtime and the
# C++ runtime it intercepts are preloaded; PYTHONMALLOC=malloc lets ASan see
# Python's allocations too. Leak detection is off: the interpreter keeps
# objects alive until exit by design. allocator_may_return_null turns an
# impossible allocation into std::bad_alloc (MemoryError) as in a normal build.
ASAN_SITE := build/asan-site
ASAN_PY_ENV = LD_PRELOAD="$(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libstdc++.so)" \
	PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
	UBSAN_OPTIONS=print_stacktrace=1 PYTHONPATH=$(CURDIR)/$(ASAN_SITE)

# libFuzzer options of every fuzz run; crash inputs land in build/fuzz/.
FUZZ := $(PY) -P fuzz/fuzz_vok_core.py -timeout=20 -rss_limit_mb=4096 -detect_leaks=0 -artifact_prefix=build/fuzz/

# One line per stage: `$(STAGE) NAME COMMAND...` (see scripts/stage.sh).
STAGE := @scripts/stage.sh
SUB := $(MAKE) --no-print-directory

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

test:
	@scripts/stage.sh --reset
	$(STAGE) setup $(SUB) setup
	$(STAGE) cpp $(SUB) test-cpp
	$(STAGE) cpp-workers $(SUB) test-cpp-workers
	$(STAGE) asan-cpp $(SUB) test-asan
	$(STAGE) tsan-cpp $(SUB) test-tsan
	$(STAGE) asan-pytest $(SUB) test-asan-py
	$(STAGE) pytest $(SUB) test-py
	$(STAGE) fuzz $(SUB) test-fuzz
	$(STAGE) stubtest $(SUB) stubtest
	$(STAGE) docs $(SUB) docs
	@scripts/stage.sh --summary

build-cpp: setup
	cmake -S . -B build/cpp $(CMAKE_TEST_FLAGS) -DVOK_BUILD_BENCH=ON >/dev/null
	cmake --build build/cpp -j $(JOBS)

test-cpp: build-cpp
	build/cpp/vok_tests

# The pool and the search under several worker counts.
test-cpp-workers: build-cpp
	for n in 1 3 8; do RAYON_NUM_THREADS=$$n build/cpp/vok_tests --gtest_brief=1 --gtest_filter='Pool*:Interrupt*:Search*' || exit 1; done

test-asan: setup
	cmake -S . -B build/asan $(CMAKE_TEST_FLAGS) -DVOK_SANITIZE=address,undefined >/dev/null
	cmake --build build/asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 build/asan/vok_tests

test-tsan: setup
	cmake -S . -B build/tsan $(CMAKE_TEST_FLAGS) -DVOK_SANITIZE=thread >/dev/null
	cmake --build build/tsan -j $(JOBS)
	for n in 1 2 3 8; do RAYON_NUM_THREADS=$$n TSAN_OPTIONS=halt_on_error=1 build/tsan/vok_tests --gtest_brief=1 --gtest_filter='Pool*:Interrupt*:Search*' || exit 1; done

# The pytest suite against the sanitized extension modules.
# --capture=sys: a sanitizer report goes to file descriptor 2 as the process
# aborts, which pytest's default capture of that descriptor would swallow.
test-asan-py: install-asan
	$(ASAN_PY_ENV) $(PY) -P scripts/check_import.py $(ASAN_SITE)
	$(ASAN_PY_ENV) $(VENV)/bin/pytest -q -p no:cacheprovider --capture=sys

test-py: install
	$(VENV)/bin/pytest -q

# Fuzzing against the sanitized build: the kept corpus first, then mutations
# for FUZZ_SECONDS. `make test` runs it for TEST_FUZZ_SECONDS.
fuzz: install-asan
	mkdir -p build/fuzz/corpus
	$(ASAN_PY_ENV) $(FUZZ) -max_total_time=$(FUZZ_SECONDS) build/fuzz/corpus fuzz/corpus

test-fuzz:
	$(MAKE) fuzz FUZZ_SECONDS=$(TEST_FUZZ_SECONDS)

# Grows fuzz/corpus: coverage-guided (which needs the build without the ASan
# runtime) for FUZZ_SECONDS, then merged so that only inputs adding coverage
# are kept.
fuzz-corpus: install
	rm -rf build/fuzz/grown && mkdir -p build/fuzz/grown
	$(FUZZ) -max_total_time=$(FUZZ_SECONDS) build/fuzz/grown fuzz/corpus
	$(FUZZ) -merge=1 fuzz/corpus build/fuzz/grown

# The stubs must match the module: names, __all__, signatures.
stubtest: install
	cd build && ../$(PY) -m mypy.stubtest vok_math.vok_core vok_core

# HTML documentation in build/docs (warnings are errors); the examples in it are
# run as doctests against the installed package.
docs: install
	$(PY) -P -m sphinx -q -W --keep-going -b html docs build/docs
	$(PY) -P -m sphinx -q -W --keep-going -b doctest docs build/docs-doctest

# Wheels for PyPI-style installs: manylinux (glibc 2.28) and musllinux_1_2,
# both built by zig (PyPI ziglang). The musl CPython that builds and tests the
# musl wheel is compiled once and cached under ~/.cache/vok_math.
wheels: setup
	scripts/wheels/build.sh

test-wheels: wheels
	scripts/wheels/test.sh

# Formats the C++ sources with the pinned clang-format (.clang-format).
format: setup
	$(PY) -m pip install -q "clang-format==18.1.8"
	git ls-files '*.cpp' '*.hpp' | xargs $(VENV)/bin/clang-format -i

bench: install
	cmake -S . -B build/cpp $(CMAKE_TEST_FLAGS) -DVOK_BUILD_BENCH=ON >/dev/null
	cmake --build build/cpp -j $(JOBS)
	$(PY) -P bench/batch.py
	$(PY) -P bench/algebra.py
	$(PY) -P bench/discovery.py
	$(PY) -P bench/arrays.py
	build/cpp/discovery_engine

clean:
	rm -rf build dist $(VENV) *.egg-info
