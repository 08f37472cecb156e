#!/usr/bin/env bash
# Idempotent set-up: system packages for the C++ tests, the virtual
# environment with build and test tools.
set -euo pipefail
cd "$(dirname "$0")/.."

need_apt=()
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
command -v cmake >/dev/null 2>&1 || need_apt+=(cmake)
command -v g++ >/dev/null 2>&1 || need_apt+=(g++)
# the browser that opens the HTML report in its test
command -v chromium >/dev/null 2>&1 || need_apt+=(chromium)
if [ ${#need_apt[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    apt-get update -qq && apt-get install -y -qq "${need_apt[@]}"
  else
    sudo apt-get update -qq && sudo apt-get install -y -qq "${need_apt[@]}"
  fi
fi

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; sys.exit(0 if sys.version_info >= (3, 13) else 1)'; then
  rm -rf .venv
  py=$(scripts/find_python.sh)
  "$py" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q "scikit-build-core>=0.10" ninja "pytest>=8" "hypothesis>=6" "numpy>=2" "atheris>=2.3" mypy "sphinx>=8"
# Test and example dependencies of the package's Python layer: DataFrames,
# SymPy renderings, Dask on a local cluster (arrays and discover_many), and
# matplotlib for the plots and the report.
.venv/bin/python -m pip install -q pandas sympy "dask[distributed]" matplotlib
# The estimator's checks and examples.
.venv/bin/python -m pip install -q "scikit-learn>=1.6"
