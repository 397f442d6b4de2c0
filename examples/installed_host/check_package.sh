#!/usr/bin/env bash
# Installs a build of Vextra (or takes an installed tree, e.g. an unpacked
# release archive) and checks it the way a game team would use it:
#   examples/installed_host/check_package.sh linux   <build-dir | --prefix installed-dir>
#   examples/installed_host/check_package.sh windows <build-dir | --prefix installed-dir>
# - the shipped library carries no debug sections, its .debug file beside it
#   does, and the library's debug link names that file;
# - this directory, configured as its own CMake project with only
#   -DCMAKE_PREFIX_PATH=<installed tree> (and the MinGW toolchain file for
#   Windows), finds Vextra with find_package, builds and runs (under Wine for
#   Windows);
# - on Linux the same host also builds with nothing but `pkg-config vextra`.
# Exit status 0 when everything passed.
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO_DIR=$(cd "$HERE/../.." && pwd)

usage() { echo "usage: $0 linux|windows <build-dir> | --prefix <installed-dir>" >&2; exit 2; }
[ $# -eq 2 ] || [ $# -eq 3 ] || usage
target=$1
case $target in linux | windows) ;; *) usage ;; esac

work=$(mktemp -d "${TMPDIR:-/tmp}/vextra-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
if [ "$2" = "--prefix" ]; then
  [ $# -eq 3 ] || usage
  prefix=$(cd "$3" && pwd)
else
  prefix=$work/install
  cmake --install "$2" --prefix "$prefix" >/dev/null
fi

failures=0
check() {  # label, command...
  local label=$1
  shift
  if "$@"; then echo "ok   $label"; else echo "FAIL $label"; failures=$((failures + 1)); fi
}

if [ "$target" = linux ]; then
  library=$(find "$prefix/lib" -maxdepth 1 -type f -name 'libVextra64.so.*' ! -name '*.debug' | head -1)
  debug_file=$prefix/lib/libVextra64.so.debug
  tools=""
  sections() { readelf -SW "$1" | sed -n 's/^ *\[ *[0-9]*\] \([^ ]*\).*/\1/p'; }
else
  library=$prefix/bin/Vextra64.dll
  debug_file=$prefix/bin/Vextra64.dll.debug
  tools=x86_64-w64-mingw32-
  sections() { "${tools}objdump" -h "$1" | awk '$1 ~ /^[0-9]+$/ {print $2}'; }
fi
no_debug_sections() { ! sections "$library" | grep -q '^\.debug_'; }
has_debug_info() { sections "$debug_file" | grep -qx '\.debug_info'; }
debug_link() {
  "${tools}objcopy" --dump-section .gnu_debuglink="$work/debuglink" "$library" "$work/scratch" &&
    [ "$(tr '\0' '\n' <"$work/debuglink" | head -1)" = "$(basename "$debug_file")" ]
}
# addr2line reads the stripped library and must reach the source line through
# the debug link: what symbolising a crash address needs.
symbolised() {
  local address line
  address=$("${tools}nm" "$debug_file" | awk '$3 == "PrintLog" {print $1; exit}')
  [ -n "$address" ] || return 1
  line=$("${tools}addr2line" -e "$library" "0x$address")
  echo "     PrintLog at 0x$address -> $line"
  [[ $line == *exports_logging.cpp:[0-9]* ]]
}
# Every compile unit the symbols describe names an optimisation level.
optimised() {
  local producers
  producers=$("${tools}objdump" --dwarf=info "$debug_file" | sed -nE 's/.*DW_AT_producer *: (\(indirect[^)]*\): )?//p' | sort -u)
  echo "$producers" | sed -n '1s/^/     e.g. /p'
  [ -n "$producers" ] && ! grep -vqE -- ' -O[123s]( |$)' <<<"$producers"
}
check "installed library: ${library#"$prefix"/}" test -f "$library"
check "the library carries no .debug_* sections" no_debug_sections
check "${debug_file#"$prefix"/} holds .debug_info" has_debug_info
check "the library's debug link names $(basename "$debug_file")" debug_link
check "every compile unit was built optimised (DW_AT_producer)" optimised
check "a library address resolves to its source line through the debug link" symbolised

# The host project, configured from the installed tree only.
cmake_args=(-DCMAKE_PREFIX_PATH="$prefix")
if [ "$target" = windows ]; then
  cmake_args+=(-DCMAKE_TOOLCHAIN_FILE="$REPO_DIR/cmake/mingw-w64-x86_64.cmake")
fi
build_host() {
  cmake -S "$HERE" -B "$work/host" "${cmake_args[@]}" >"$work/host.log" 2>&1 &&
    cmake --build "$work/host" >>"$work/host.log" 2>&1 || { cat "$work/host.log"; return 1; }
}
check "host project: find_package(Vextra) with only CMAKE_PREFIX_PATH, built" build_host
if [ "$target" = windows ]; then
  check "host project runs under Wine" bash "$REPO_DIR/scripts/wine_run.sh" "$work/host/installed_host.exe"
else
  check "host project runs" "$work/host/installed_host"
  pkg_host() {
    local pc="env PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config"
    # shellcheck disable=SC2046
    c++ -std=c++17 -o "$work/pkg_host" "$HERE/installed_host.cpp" "$HERE/library_file_posix.cpp" \
      -DVEXTRA_PACKAGE_VERSION="\"$($pc --modversion vextra)\"" $($pc --cflags --libs vextra) \
      -Wl,-rpath,"$($pc --variable=libdir vextra)" -ldl && "$work/pkg_host"
  }
  check "host built with pkg-config vextra runs" pkg_host
fi

[ "$failures" -eq 0 ]
