#!/usr/bin/env bash
# Cross-builds the static Windows x86-64 libraries that Vextra64.dll links
# against (protobuf, OpenSSL, SQLite, GoogleTest) from Debian bookworm source
# packages, and unpacks the header-only cpp-httplib used by both the Windows
# and the Linux build.
#
# Everything lives in a cache outside the checkout:
#   $VEXTRA_CACHE_DIR (default /var/cache/vextra)
#     src/<package>_<debian version>/   downloaded source packages (kept)
#     win-deps/<key>/                   installed Windows prefix (key = versions)
#     httplib-<version>/include/        httplib.h
#     logs/<key>/*.log                  build output of each step
#
# A prefix only appears under its final name once it is complete (it is built
# in a staging directory and renamed), so an interrupted run is never mistaken
# for a finished one, and a second run with the same versions does nothing.
#
# Progress goes to stderr. The last two stdout lines are
#   WIN_DEPS_PREFIX=<path>
#   HTTPLIB_INCLUDE_DIR=<path>
# so a Makefile can eval them.
#
# Environment: VEXTRA_CACHE_DIR, VEXTRA_JOBS (default 2).
set -euo pipefail

SCRIPT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO_DIR=$(cd "$SCRIPT_DIR/.." && pwd)
TOOLCHAIN_FILE="$REPO_DIR/cmake/mingw-w64-x86_64.cmake"

ROOT=${VEXTRA_CACHE_DIR:-/var/cache/vextra}
JOBS=${VEXTRA_JOBS:-2}
SUITE=bookworm
TRIPLET=x86_64-w64-mingw32
MINGW_CC=$TRIPLET-gcc-posix
MINGW_AR=$TRIPLET-ar
MINGW_RANLIB=$TRIPLET-ranlib
MINGW_SYSROOT=/usr/$TRIPLET
GTEST_SRC=/usr/src/googletest

# How the libraries are configured. Bump when a build option below changes so
# that existing caches are rebuilt instead of reused.
RECIPE=1

log() { printf '[build_win_deps] %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

export DEBIAN_FRONTEND=noninteractive

# ---------------------------------------------------------------------------
# Tools
# ---------------------------------------------------------------------------

# Installs Debian packages that are missing; only used for build tools that the
# base package list does not bring.
ensure_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  log "installing missing build tools: ${missing[*]}"
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2 \
    || { apt-get update -qq >&2 && apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2; } \
    || die "could not install ${missing[*]}"
}

check_tools() {
  local t
  for t in "$MINGW_CC" "$TRIPLET-g++-posix" "$MINGW_AR" "$MINGW_RANLIB" "$TRIPLET-windres" \
           cmake make perl dpkg-source apt-get flock gcc; do
    command -v "$t" >/dev/null 2>&1 || die "'$t' not found; run scripts/install_packages.sh first"
  done
  [ -f "$TOOLCHAIN_FILE" ] || die "toolchain file $TOOLCHAIN_FILE is missing"
  [ -f "$GTEST_SRC/CMakeLists.txt" ] || die "$GTEST_SRC not found (Debian package googletest)"
  [ -f "$MINGW_SYSROOT/lib/libz.a" ] || die "$MINGW_SYSROOT/lib/libz.a not found (Debian package libz-mingw-w64-dev)"
}

# ---------------------------------------------------------------------------
# Versions
# ---------------------------------------------------------------------------

SOURCE_PACKAGES=(protobuf openssl sqlite3 cpp-httplib)

# Prints "<package> <debian version>" for each source package, as the bookworm
# suite serves it (what `apt-get source <pkg>/bookworm` would fetch). Reads only
# the local apt index (one apt-get call for all of them), so it is fast and
# needs no network. Fails when a package is not in the index.
debian_source_versions() {
  local args=() pkg out
  for pkg in "${SOURCE_PACKAGES[@]}"; do args+=("$pkg/$SUITE"); done
  out=$(apt-get source --print-uris "${args[@]}" 2>/dev/null) || return 1
  printf '%s\n' "$out" | awk '
    $2 ~ /\.dsc$/ { f = $2; sub(/\.dsc$/, "", f); i = index(f, "_");
                    print substr(f, 1, i - 1), substr(f, i + 1) }'
}

# Debian version -> upstream version: drop the epoch, the Debian revision and a
# "+ds"-style repack suffix.
upstream_version() {
  local v=${1#*:}
  v=${v%-*}
  v=${v%%+*}
  printf '%s\n' "$v"
}

resolve_versions() {
  local versions pkg v
  if ! versions=$(debian_source_versions); then
    log "source index lacks a package of ${SOURCE_PACKAGES[*]}, running apt-get update"
    apt-get update -qq >&2 || die "apt-get update failed"
    versions=$(debian_source_versions) \
      || die "source packages ${SOURCE_PACKAGES[*]} not found in $SUITE; is a deb-src entry configured? (scripts/install_packages.sh adds it)"
  fi
  for pkg in "${SOURCE_PACKAGES[@]}"; do
    v=$(printf '%s\n' "$versions" | awk -v p="$pkg" '$1 == p { print $2; exit }')
    [ -n "$v" ] || die "no version found for source package $pkg"
    case $pkg in
      protobuf)    PROTOBUF_DEBVER=$v ;;
      openssl)     OPENSSL_DEBVER=$v ;;
      sqlite3)     SQLITE_DEBVER=$v ;;
      cpp-httplib) HTTPLIB_DEBVER=$v ;;
    esac
  done
  PROTOBUF_VER=$(upstream_version "$PROTOBUF_DEBVER")
  OPENSSL_VER=$(upstream_version "$OPENSSL_DEBVER")
  SQLITE_VER=$(upstream_version "$SQLITE_DEBVER")
  HTTPLIB_VER=$(upstream_version "$HTTPLIB_DEBVER")

  GTEST_VER=$(sed -n 's/^ *set(GOOGLETEST_VERSION \([0-9.]*\)).*/\1/p' "$GTEST_SRC/CMakeLists.txt" | head -n1)
  [ -n "$GTEST_VER" ] || die "cannot read the GoogleTest version from $GTEST_SRC/CMakeLists.txt"

  # The MinGW compiler reports only "12-posix"; the package version is exact.
  local gccpkg
  gccpkg=$(dpkg-query -W -f='${Version}' gcc-mingw-w64-x86-64-posix 2>/dev/null || true)
  if [ -n "$gccpkg" ]; then
    GCC_VER=$(upstream_version "$gccpkg")
  else
    GCC_VER=$("$MINGW_CC" -dumpversion)
  fi

  KEY="protobuf-${PROTOBUF_VER}_openssl-${OPENSSL_VER}_sqlite-${SQLITE_VER}_gtest-${GTEST_VER}_gcc-${GCC_VER}"
  if [ "$RECIPE" != 1 ]; then KEY="${KEY}_r${RECIPE}"; fi
}

# ---------------------------------------------------------------------------
# Steps
# ---------------------------------------------------------------------------

# run_step NAME FUNCTION [ARGS...]: runs a build step with its output in
# $LOG_DIR/NAME.log; on failure shows the end of that log and stops.
run_step() {
  local name=$1 logf rc start
  shift
  logf="$LOG_DIR/$name.log"
  start=$SECONDS
  log "$name ..."
  set +e
  ( set -euo pipefail; "$@" ) >"$logf" 2>&1 </dev/null
  rc=$?
  set -e
  if [ $rc -ne 0 ]; then
    log "FAILED: $name (exit $rc). Last lines of $logf:"
    tail -n 60 "$logf" >&2 || true
    log "work files left in $WORK for debugging"
    exit 1
  fi
  log "$name done ($((SECONDS - start)) s)"
}

# Downloads a source package from the bookworm suite into $ROOT/src once.
fetch_source() {
  local pkg=$1 ver=$2
  local dir="$ROOT/src/${pkg}_${ver}"
  if [ -f "$dir/${pkg}_${ver}.dsc" ] && [ -f "$dir/.complete" ]; then
    echo "already downloaded: $dir"
    return 0
  fi
  rm -rf "$dir.partial"
  mkdir -p "$dir.partial"
  ( cd "$dir.partial" && apt-get -o APT::Sandbox::User=root source --download-only "$pkg/$SUITE" )
  [ -f "$dir.partial/${pkg}_${ver}.dsc" ] || { echo "expected ${pkg}_${ver}.dsc was not downloaded"; ls -la "$dir.partial"; return 1; }
  touch "$dir.partial/.complete"
  rm -rf "$dir"
  mv "$dir.partial" "$dir"
}

# Unpacks a downloaded source package (with the Debian patches applied).
unpack_source() {
  local pkg=$1 ver=$2 dest=$3
  rm -rf "$dest"
  mkdir -p "$(dirname "$dest")"
  dpkg-source --no-copy -x "$ROOT/src/${pkg}_${ver}/${pkg}_${ver}.dsc" "$dest"
}

step_fetch() {
  fetch_source protobuf "$PROTOBUF_DEBVER"
  fetch_source openssl "$OPENSSL_DEBVER"
  fetch_source sqlite3 "$SQLITE_DEBVER"
}

step_httplib() {
  local dest="$ROOT/httplib-$HTTPLIB_VER" tmp
  fetch_source cpp-httplib "$HTTPLIB_DEBVER"
  tmp="$ROOT/.httplib-$HTTPLIB_VER.partial.$$"
  rm -rf "$tmp"
  unpack_source cpp-httplib "$HTTPLIB_DEBVER" "$tmp/src"
  grep -q "CPPHTTPLIB_VERSION \"$HTTPLIB_VER\"" "$tmp/src/httplib.h"
  mkdir -p "$tmp/include"
  cp "$tmp/src/httplib.h" "$tmp/include/httplib.h"
  cp "$tmp/src/LICENSE" "$tmp/LICENSE"
  rm -rf "$tmp/src"
  rm -rf "$dest"
  mv "$tmp" "$dest"
}

# CMake generator: Ninja when present, make otherwise.
if command -v ninja >/dev/null 2>&1; then
  CMAKE_GENERATOR_ARGS=(-G Ninja)
else
  CMAKE_GENERATOR_ARGS=(-G "Unix Makefiles")
fi

step_gtest() {
  local build="$WORK/gtest-build"
  cmake -S "$GTEST_SRC" -B "$build" "${CMAKE_GENERATOR_ARGS[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN_FILE" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$PREFIX" \
    -DCMAKE_INSTALL_LIBDIR=lib \
    -DBUILD_SHARED_LIBS=OFF \
    -DBUILD_GMOCK=ON \
    -DINSTALL_GTEST=ON \
    -Dgtest_disable_pthreads=ON
  cmake --build "$build" -j "$JOBS"
  DESTDIR="$STAGE" cmake --install "$build"
  local l
  for l in gtest gtest_main gmock gmock_main; do
    [ -f "$STAGE$PREFIX/lib/lib$l.a" ] || { echo "lib$l.a missing after install"; return 1; }
  done
}

step_sqlite() {
  local src="$WORK/sqlite3-src" build="$WORK/sqlite3-build" out="$STAGE$PREFIX"
  unpack_source sqlite3 "$SQLITE_DEBVER" "$src"
  mkdir -p "$build"
  # The amalgamation is generated by host tools (lemon, mkkeywordhash, tclsh),
  # so this configure is a native one; only sqlite3.c is cross-compiled.
  ( cd "$build" && "$src/configure" --disable-tcl --disable-readline --disable-shared )
  make -C "$build" sqlite3.c
  [ -f "$build/sqlite3.c" ] && [ -f "$build/sqlite3.h" ]
  grep -q "#define SQLITE_VERSION *\"$SQLITE_VER\"" "$build/sqlite3.h"

  # Serialized threading mode: one connection may be used from several threads.
  "$MINGW_CC" -O2 -DSQLITE_THREADSAFE=1 -c "$build/sqlite3.c" -o "$build/sqlite3.win64.o"
  mkdir -p "$out/lib" "$out/include" "$out/lib/pkgconfig"
  rm -f "$out/lib/libsqlite3.a"
  "$MINGW_AR" rcs "$out/lib/libsqlite3.a" "$build/sqlite3.win64.o"
  install -m 644 "$build/sqlite3.h" "$out/include/sqlite3.h"
  install -m 644 "$src/src/sqlite3ext.h" "$out/include/sqlite3ext.h"
  cat >"$out/lib/pkgconfig/sqlite3.pc" <<EOF
prefix=$PREFIX
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: SQLite
Description: SQL database engine (static, serialized threading)
Version: $SQLITE_VER
Libs: -L\${libdir} -lsqlite3
Cflags: -I\${includedir}
EOF
}

step_openssl() {
  local src="$WORK/openssl-src"
  unpack_source openssl "$OPENSSL_DEBVER" "$src"
  cd "$src"
  # Static libraries only. The library never reads an openssl.cnf on its own
  # (no-autoload-config): the compiled-in OPENSSLDIR is a build-machine path
  # that means nothing on a user's Windows machine.
  env -u CC -u CXX -u CFLAGS -u CXXFLAGS -u LDFLAGS -u CPPFLAGS \
    ./Configure mingw64 no-shared no-tests no-autoload-config \
      --cross-compile-prefix="$TRIPLET-" CC=gcc-posix CXX=g++-posix \
      --prefix="$PREFIX" --libdir=lib --openssldir="$PREFIX/ssl"
  make -j "$JOBS" build_libs
  make install_dev DESTDIR="$STAGE"
  [ -f "$STAGE$PREFIX/lib/libssl.a" ] && [ -f "$STAGE$PREFIX/lib/libcrypto.a" ]
}

step_protobuf() {
  local src="$WORK/protobuf-src" build="$WORK/protobuf-build"
  unpack_source protobuf "$PROTOBUF_DEBVER" "$src"
  cmake -S "$src" -B "$build" "${CMAKE_GENERATOR_ARGS[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN_FILE" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$PREFIX" \
    -DCMAKE_INSTALL_LIBDIR=lib \
    -DCMAKE_CXX_STANDARD=17 \
    -Dprotobuf_BUILD_SHARED_LIBS=OFF \
    -Dprotobuf_BUILD_TESTS=OFF \
    -Dprotobuf_BUILD_CONFORMANCE=OFF \
    -Dprotobuf_BUILD_EXAMPLES=OFF \
    -Dprotobuf_BUILD_PROTOC_BINARIES=OFF \
    -Dprotobuf_BUILD_LIBPROTOC=OFF \
    -Dprotobuf_WITH_ZLIB=OFF \
    -Dprotobuf_INSTALL=ON
  cmake --build "$build" -j "$JOBS"
  DESTDIR="$STAGE" cmake --install "$build"
  [ -f "$STAGE$PREFIX/lib/libprotobuf.a" ] && [ -f "$STAGE$PREFIX/lib/cmake/protobuf/protobuf-config.cmake" ]
}

step_manifest() {
  cat >"$STAGE$PREFIX/VERSIONS" <<EOF
# Windows x86-64 static dependencies cross-built by scripts/build_win_deps.sh
key=$KEY
protobuf=$PROTOBUF_DEBVER (source package protobuf/$SUITE)
openssl=$OPENSSL_DEBVER (source package openssl/$SUITE)
sqlite3=$SQLITE_DEBVER (source package sqlite3/$SUITE)
googletest=$GTEST_VER ($GTEST_SRC)
cpp-httplib=$HTTPLIB_DEBVER (source package cpp-httplib/$SUITE, header in $ROOT/httplib-$HTTPLIB_VER)
compiler=$("$MINGW_CC" --version | head -n1) (package $GCC_VER)
zlib=$MINGW_SYSROOT (Debian package libz-mingw-w64-dev)
recipe=$RECIPE
EOF
}

print_result() {
  printf 'WIN_DEPS_PREFIX=%s\n' "$PREFIX"
  printf 'HTTPLIB_INCLUDE_DIR=%s\n' "$HTTPLIB_INCLUDE_DIR"
}

prefix_complete() { [ -f "$PREFIX/VERSIONS" ]; }
httplib_complete() { [ -f "$HTTPLIB_INCLUDE_DIR/httplib.h" ]; }

# ---------------------------------------------------------------------------
# Main
# ---------------------------------------------------------------------------

mkdir -p "$ROOT"
ROOT=$(cd "$ROOT" && pwd -P)
check_tools
resolve_versions

PREFIX="$ROOT/win-deps/$KEY"
HTTPLIB_INCLUDE_DIR="$ROOT/httplib-$HTTPLIB_VER/include"

if prefix_complete && httplib_complete; then
  log "cached: $PREFIX"
  print_result
  exit 0
fi

# One build at a time per cache; a second caller waits and then finds the
# finished result.
mkdir -p "$ROOT/win-deps" "$ROOT/src" "$ROOT/build"
exec 9>"$ROOT/.build_win_deps.lock"
if ! flock -n 9; then
  log "another build is running in $ROOT, waiting for it"
  flock 9
fi

LOG_DIR="$ROOT/logs/$KEY"
mkdir -p "$LOG_DIR"
# Leftovers of interrupted runs (we hold the lock, so nobody is using them).
rm -rf "$ROOT/build/$KEY".* "$ROOT/win-deps/.stage-$KEY".* "$ROOT"/.httplib-*.partial.*
WORK="$ROOT/build/$KEY.$$"
STAGE="$ROOT/win-deps/.stage-$KEY.$$"
total_start=$SECONDS

if ! httplib_complete; then
  run_step httplib step_httplib
fi

if ! prefix_complete; then
  # Host tool used to generate the SQLite amalgamation.
  command -v tclsh >/dev/null 2>&1 || ensure_packages tcl

  mkdir -p "$WORK" "$STAGE"
  log "building Windows dependencies into $PREFIX (logs: $LOG_DIR)"
  run_step fetch step_fetch
  run_step googletest step_gtest
  run_step sqlite3 step_sqlite
  run_step openssl step_openssl
  run_step protobuf step_protobuf
  step_manifest
  find "$STAGE$PREFIX" -depth -type d -empty -delete

  [ -d "$STAGE$PREFIX" ] || die "staging directory $STAGE$PREFIX is missing"
  rm -rf "$PREFIX"
  mv -T "$STAGE$PREFIX" "$PREFIX"
  rm -rf "$STAGE" "$WORK"
  log "done in $((SECONDS - total_start)) s: $PREFIX"
fi

print_result
