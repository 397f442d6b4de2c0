#!/usr/bin/env bash
# Builds the Linux target (libVextra64.so, the core, tests, tools):
#   scripts/build_native.sh [build-dir] [cmake-args...] [-- ninja-targets...]
# Default build dir: build/linux. The build type is RelWithDebInfo, the one
# that ships: optimised, with the debug information split into
# libVextra64.so.debug beside the library. Extra cmake arguments such as
# -DCMAKE_BUILD_TYPE=Debug -DVEXTRA_BUILD_BENCH=ON are passed on.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
vextra_load_deps

build_dir=${1:-$REPO_DIR/build/linux}
[ $# -gt 0 ] && shift
cmake_args=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do cmake_args+=("$1"); shift; done
[ "${1:-}" = "--" ] && shift

# shellcheck disable=SC2046
cmake -S "$REPO_DIR" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVEXTRA_HTTPLIB_INCLUDE_DIR="$HTTPLIB_INCLUDE_DIR" $(vextra_launcher_args) "${cmake_args[@]}" >/dev/null
ninja -C "$build_dir" -j"${VEXTRA_JOBS:-2}" "$@"
