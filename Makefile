# Two commands do all the set-up on a fresh machine:
#   make demo   builds the package and runs the demonstration
#   make test   builds everything and runs every test stage (C++ tests under
#               AddressSanitizer+UBSan and ThreadSanitizer, pytest against the
#               ASan+UBSan build and the normal one, a short fuzz run, stubtest,
#               the documentation), one line per stage; the full logs are in
#               build/logs/<stage>.log
#   make check  the edit-test loop: the C++ tests and the whole pytest suite
#               against a normal build, one line each
# Each stage is also a target of its own (test-asan, test-asan-py, ...), which
# prints everything.
#
# One build tree per configuration, each compiled once:
#   build/<wheel tag>  the normal install into the venv (pip; Release)
#   build/asan         ASan+UBSan: the C++ tests and the extension modules,
#                      from one compilation of the kernels
#   build/tsan         ThreadSanitizer: the C++ tests
#   build/cpp          the C++ tests and benchmarks without sanitizers
#                      (make check, make bench)
VENV := .venv
PY := $(VENV)/bin/python
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_TEST_FLAGS := -DVOK_BUILD_MODULE=OFF -DVOK_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
# The sanitizer trees: -O1 as the sanitizers' documentation advises, with line
# tables only (-g1) for their reports: a third less compile time, which is
# most of their stages' time, and no slower tests (the values do not depend
# on the level: no contraction, no fast-math).
CMAKE_SANITIZER_FLAGS := -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG"
FUZZ_SECONDS ?= 300
TEST_FUZZ_SECONDS ?= 20

.PHONY: all setup install asan-site demo test check build-cpp test-cpp build-asan test-asan test-tsan \
	test-asan-py test-py test-py-all test-fuzz fuzz fuzz-corpus bench clean \
	wheels test-wheels docs stubtest format

# The extension modules built with AddressSanitizer and UBSan, laid out as the
# package in a directory of their own that PYTHONPATH puts before the venv's
# copy. The interpreter itself is not instrumented, so the sanitizer runtime
# and the C++ runtime it intercepts are preloaded; PYTHONMALLOC=malloc lets
# ASan see Python's allocations too. Leak detection is off: the interpreter
# keeps objects alive until exit by design. allocator_may_return_null turns an
# impossible allocation into std::bad_alloc (MemoryError) as in a normal build.
ASAN_BUILD := build/asan
ASAN_SITE := build/asan-site
ASAN_PY_ENV = LD_PRELOAD="$(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libstdc++.so)" \
	PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
	UBSAN_OPTIONS=print_stacktrace=1 PYTHONPATH=$(CURDIR)/$(ASAN_SITE)

# The pytest suite is split between the two builds, so that each file runs
# once in `make test`:
# - against the ASan+UBSan modules, every file that drives the extensions
#   with arguments of its own (conversion, binding, results and their
#   lifetimes, the value classes, pickling, interrupts, threads, ufuncs,
#   find_formula, discover): a memory fault of the Python boundary shows only
#   there, and that is where such faults live;
# - against the normal install, the files below, whose subject is the
#   installed package or whole processes rather than the boundary's memory:
#   the console script and the README's commands from the checkout's root,
#   the plots and the HTML report (matplotlib, and the report in Chromium),
#   the docstrings, the pool's size, start and start failure in fresh
#   interpreters and across fork (the pool's memory and threads are the C++
#   suites' under ASan and TSan), executors and Dask clusters, and the
#   comparison of the search with a plain Python search (the engine's memory
#   is the ASan C++ suite's; in Python it is mostly the reference's time),
#   and scikit-learn's estimator checks (scikit-learn and SciPy's own native
#   code under the sanitizers' interposition; the data reach discover as the
#   float arrays that test_discover*.py give it under ASan), and Sphinx
#   building a page of the documentation.
# A new test file runs under ASan unless it is added here.
PLAIN_PYTEST := tests/test_cli.py tests/test_report.py tests/test_readme.py tests/test_docstrings.py tests/test_pool.py \
	tests/test_discover_many.py tests/test_dask_arrays.py tests/test_find_formula_reference.py \
	tests/test_estimator.py tests/test_docs.py

# libFuzzer options of every fuzz run; crash inputs land in build/fuzz/.
FUZZ := $(PY) fuzz/fuzz_vok_core.py -timeout=20 -rss_limit_mb=4096 -detect_leaks=0 -artifact_prefix=build/fuzz/

# One line per stage: `$(STAGE) NAME COMMAND...` (see scripts/stage.sh).
STAGE := @scripts/stage.sh
SUB := $(MAKE) --no-print-directory

all: install

$(VENV)/.ready: scripts/setup.sh scripts/find_python.sh pyproject.toml
	scripts/setup.sh
	touch $@

setup: $(VENV)/.ready

# The package is installed again only when a file it is built from changed.
PACKAGE_SOURCES := CMakeLists.txt pyproject.toml $(shell find src ext vok_core/src vok_core/exports.map python \
	-type f -not -name '*.pyc' 2>/dev/null)
$(VENV)/.installed: $(VENV)/.ready $(PACKAGE_SOURCES)
	mkdir -p build && flock build/.install.lock $(PY) -m pip install -q --no-build-isolation --no-deps .
	touch $@

install: $(VENV)/.installed

demo: install
	$(PY) examples/demo.py

test:
	@scripts/stage.sh --reset
	$(STAGE) setup $(SUB) setup
	$(STAGE) install $(SUB) install
	$(STAGE) asan-cpp $(SUB) test-asan
	$(STAGE) tsan-cpp $(SUB) test-tsan
	$(STAGE) asan-pytest $(SUB) test-asan-py
	$(STAGE) pytest $(SUB) test-py
	$(STAGE) fuzz $(SUB) test-fuzz
	$(STAGE) stubtest $(SUB) stubtest
	$(STAGE) docs $(SUB) docs
	@scripts/stage.sh --summary

check:
	@scripts/stage.sh --reset
	$(STAGE) cpp $(SUB) test-cpp
	$(STAGE) pytest $(SUB) test-py-all
	@scripts/stage.sh --summary

build-cpp: setup
	cmake -S . -B build/cpp $(CMAKE_TEST_FLAGS) -DVOK_BUILD_BENCH=ON >/dev/null
	cmake --build build/cpp -j $(JOBS)

test-cpp: build-cpp
	build/cpp/vok_tests --gtest_brief=1

# The C++ tests, the benchmarks (built only) and both extension modules.
build-asan: setup
	cmake -S . -B $(ASAN_BUILD) -DVOK_BUILD_MODULE=ON -DVOK_BUILD_TESTS=ON -DVOK_BUILD_BENCH=ON \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_SANITIZER_FLAGS) -DVOK_SANITIZE=address,undefined -DPython_EXECUTABLE=$(CURDIR)/$(PY) >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)

# The package as a wheel would hold it: its Python sources, then what CMake
# installs (the extension modules, the top-level vok_core and its stubs).
asan-site: build-asan
	rm -rf $(ASAN_SITE) && mkdir -p $(ASAN_SITE)
	cp -r src/vok_math $(ASAN_SITE)/
	cmake --install $(ASAN_BUILD) --prefix $(ASAN_SITE) >/dev/null

# Every C++ test at the default worker count. `make test` builds no plain C++
# tree: the one test the sanitizers skip (the pool's start failure in a small
# address space) is also a test of the plain pytest run (tests/test_pool.py).
test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 $(ASAN_BUILD)/vok_tests --gtest_brief=1

# The pool, interrupts and the search under several worker counts (only
# their test files are built here).
TSAN_TEST_FILES := test_pool*.cpp;test_interrupt*.cpp;test_search*.cpp
test-tsan: setup
	cmake -S . -B build/tsan $(CMAKE_TEST_FLAGS) $(CMAKE_SANITIZER_FLAGS) -DVOK_SANITIZE=thread \
		-DVOK_TEST_FILES='$(TSAN_TEST_FILES)' >/dev/null
	cmake --build build/tsan -j $(JOBS)
	for n in 1 2 3 8; do RAYON_NUM_THREADS=$$n TSAN_OPTIONS=halt_on_error=1 build/tsan/vok_tests --gtest_brief=1 --gtest_filter='Pool*:Interrupt*:Search*' || exit 1; done

# The pytest suite against the sanitized extension modules, but for the files
# of PLAIN_PYTEST.
# --capture=sys: a sanitizer report goes to file descriptor 2 as the process
# aborts, which pytest's default capture of that descriptor would swallow.
test-asan-py: asan-site
	$(ASAN_PY_ENV) $(PY) scripts/check_import.py $(ASAN_SITE)
	$(ASAN_PY_ENV) $(VENV)/bin/pytest -q -p no:cacheprovider --capture=sys $(addprefix --ignore=,$(PLAIN_PYTEST))

# The files of PLAIN_PYTEST against the normal install.
test-py: install
	$(VENV)/bin/pytest -q $(PLAIN_PYTEST)

# The whole suite against the normal install.
test-py-all: install
	$(VENV)/bin/pytest -q

# Fuzzing against the sanitized build: the kept corpus first, then mutations
# for FUZZ_SECONDS. `make test` runs it for TEST_FUZZ_SECONDS.
fuzz: asan-site
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
	$(PY) -m sphinx -q -W --keep-going -b html docs build/docs
	$(PY) -m sphinx -q -W --keep-going -b doctest docs build/docs-doctest

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

bench: install build-cpp
	$(PY) -P bench/batch.py
	$(PY) -P bench/algebra.py
	$(PY) -P bench/discovery.py
	$(PY) -P bench/arrays.py
	build/cpp/discovery_engine

clean:
	rm -rf build dist $(VENV) *.egg-info
