#!/usr/bin/env bash
# Cross-builds the Windows target (Vextra64.dll, the core, the test programs
# and the test host) with MinGW-w64:
#   scripts/build_windows.sh [build-dir] [cmake-args...] [-- ninja-targets...]
# Default build dir: build/windows, built RelWithDebInfo like the Linux target
# (Vextra64.dll stripped, its debug information in Vextra64.dll.debug).
# The dependencies are cross-built once into
# the cache (scripts/build_win_deps.sh). Test programs run under Wine:
#   scripts/wine_run.sh <build-dir>/tests/vextra_<layer>_tests.exe
# and `ctest --test-dir <build-dir>` runs them all through the same wrapper.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
vextra_load_deps

build_dir=${1:-$REPO_DIR/build/windows}
[ $# -gt 0 ] && shift
cmake_args=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do cmake_args+=("$1"); shift; done
[ "${1:-}" = "--" ] && shift

# shellcheck disable=SC2046
cmake -S "$REPO_DIR" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$REPO_DIR/cmake/mingw-w64-x86_64.cmake" \
  -DVEXTRA_WIN_DEPS_PREFIX="$WIN_DEPS_PREFIX" \
  -DVEXTRA_HTTPLIB_INCLUDE_DIR="$HTTPLIB_INCLUDE_DIR" \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$REPO_DIR/scripts/wine_run.sh" \
  $(vextra_launcher_args) "${cmake_args[@]}" >/dev/null
ninja -C "$build_dir" -j"${VEXTRA_JOBS:-2}" "$@"
