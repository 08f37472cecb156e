#!/usr/bin/env bash
# make test-wheels: installs each wheel in dist/ into a fresh environment of
# its interpreter and runs the pytest suite there; for musl, the C++ tests are
# built with the same toolchain and run as musl binaries too.
# Usage: scripts/wheels/test.sh [glibc] [musl]
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/musl_env.sh"
targets=("$@"); [ ${#targets[@]} -gt 0 ] || targets=(glibc musl)
TEST_REQS=("pytest>=8" "hypothesis>=6" "numpy>=2")
# The glibc environment also gets the optional dependencies the package layer
# is tested with (DataFrames, SymPy, scikit-learn, a Dask cluster,
# matplotlib); the musl one runs without them, and those tests skip there.
GLIBC_TEST_REQS=("${TEST_REQS[@]}" pandas sympy "scikit-learn>=1.6" "dask[distributed]" matplotlib)
WORK=$ROOT/build/wheel-test

# pytest from the source tree (the package itself lies under src/).
# VOK_PYTEST_ARGS adds arguments (e.g. --deselect) to both runs.
run_pytest() {
  local py=$1
  # shellcheck disable=SC2086
  (cd "$ROOT" && "$py" -P -m pytest -q -p no:cacheprovider ${VOK_PYTEST_ARGS:-})
}

test_glibc() {
  local whl venv=$WORK/glibc-venv
  whl=$(ls "$DIST"/vok_math-*manylinux*.whl)
  rm -rf "$venv" && "$HOST_PY" -m venv "$venv"
  "$venv/bin/pip" install -q --disable-pip-version-check "$whl" "${GLIBC_TEST_REQS[@]}"
  run_pytest "$venv/bin/python"
}

test_musl() {
  ensure_musl_python
  ensure_musl_site
  ensure_musl_gtest
  local whl venv=$WORK/musl-venv
  whl=$(ls "$DIST"/vok_math-*musllinux*.whl)
  # the fresh environment: the wheel installed by the musl interpreter's pip
  # (offline), the test dependencies from the cached musllinux wheels
  rm -rf "$venv" && "$MUSL_PY" -m venv --without-pip "$venv"
  "$MUSL_PY" -m pip install -q --disable-pip-version-check --no-index --no-deps \
    --target "$venv/lib/python$MUSL_PY_SERIES/site-packages" "$whl" 2>&1 | grep -v -e TLS/SSL -e truststore || true
  echo "$MUSL_SITE" > "$venv/lib/python$MUSL_PY_SERIES/site-packages/zz-musl-test-deps.pth"
  run_pytest "$venv/bin/python"

  local tc build=$ROOT/build/musl-cpp
  tc=$(toolchain_file x86_64-linux-musl "$MUSL_LOADER")
  cmake -S "$ROOT" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$tc" -DCMAKE_PREFIX_PATH="$MUSL_GTEST" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOK_BUILD_MODULE=OFF -DVOK_BUILD_TESTS=ON \
    -DVOK_WERROR="${VOK_WERROR:-ON}" >/dev/null
  cmake --build "$build" -j"$JOBS"
  # VOK_GTEST_EXCLUDE (a gtest pattern) leaves tests out of these runs
  local skip=${VOK_GTEST_EXCLUDE:+-$VOK_GTEST_EXCLUDE} n
  "$build/vok_tests" --gtest_brief=1 --gtest_filter="*$skip"
  for n in 1 3 8; do
    RAYON_NUM_THREADS=$n "$build/vok_tests" --gtest_brief=1 --gtest_filter="Pool*:Search*$skip"
  done
}

ensure_tools
for t in "${targets[@]}"; do timed "test_wheel_$t" "test_$t"; done
