#!/usr/bin/env bash
# `make dist`: the release archives, built from a clean tree of the committed
# sources (git archive of HEAD, fresh build directories):
#   dist/vextra-<version>-windows-x64.zip
#   dist/vextra-<version>-linux-x64.tar.gz
# Each holds what `cmake --install` lays out (the library, its .debug symbol
# file, the import library on Windows, include/vextra.h, the CMake package and
# on Linux vextra.pc), plus LICENSE and INTEGRATION.md (the README's sections
# on integrating and using a release). Each archive is then unpacked and
# checked with examples/installed_host/check_package.sh, as a user would consume it,
# and its library and .debug file with scripts/check_debug_identity.sh (one
# identity, the debug link naming the .debug file with its checksum), so a
# crash of a released library finds its symbols.
#   scripts/make_dist.sh [output-dir]      (default: dist)
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$REPO_DIR"

out_dir=$(mkdir -p "${1:-dist}" && cd "${1:-dist}" && pwd)
version=$(sed -n 's/^project(Vextra VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "make_dist: no project version in CMakeLists.txt" >&2; exit 1; }
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  echo "make_dist: note: uncommitted changes are not in the archives (they are built from HEAD)" >&2
fi

bash scripts/install_packages.sh >&2
vextra_load_deps
bash scripts/setup_wine.sh >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/vextra-dist.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src" "$work/stage" "$work/check"
git archive --format=tar HEAD | tar -x -C "$work/src"

# The README's sections for a team that integrates a release.
awk '/^## Integrating/ {keep = 1} /^## Building and testing/ {keep = 0} keep' README.md >"$work/INTEGRATION.md"
grep -q '^## Integrating' "$work/INTEGRATION.md" || { echo "make_dist: README has no integration section" >&2; exit 1; }

# One library-only build per target; the build scripts of the clean tree use
# the same dependency cache and compiler cache as any other build.
only_library=(-DVEXTRA_BUILD_TESTS=OFF -DVEXTRA_BUILD_EXAMPLES=OFF -DVEXTRA_BUILD_TOOLS=OFF -DVEXTRA_BUILD_BENCH=OFF)
bash "$work/src/scripts/build_native.sh" "$work/build/linux" "${only_library[@]}" -- Vextra64 >&2
bash "$work/src/scripts/build_windows.sh" "$work/build/windows" "${only_library[@]}" -- Vextra64 >&2

status=0
for target in linux windows; do
  name=vextra-$version-$target-x64
  cmake --install "$work/build/$target" --prefix "$work/stage/$name" >/dev/null
  cp "$work/src/LICENSE" "$work/INTEGRATION.md" "$work/stage/$name/"
  if [ "$target" = linux ]; then
    archive=$out_dir/$name.tar.gz
    rm -f "$archive"
    tar -C "$work/stage" --owner=0 --group=0 --numeric-owner -czf "$archive" "$name"
    tar -C "$work/check" -xzf "$archive"
    library=$work/stage/$name/lib/libVextra64.so.$version
    symbols=$work/stage/$name/lib/libVextra64.so.debug
    unpacked_library=$work/check/$name/lib/libVextra64.so.$version
    unpacked_symbols=$work/check/$name/lib/libVextra64.so.debug
  else
    archive=$out_dir/$name.zip
    rm -f "$archive"
    (cd "$work/stage" && zip -qry "$archive" "$name")
    (cd "$work/check" && unzip -q "$archive")
    library=$work/stage/$name/bin/Vextra64.dll
    symbols=$library.debug
    unpacked_library=$work/check/$name/bin/Vextra64.dll
    unpacked_symbols=$unpacked_library.debug
  fi
  echo "==== $(basename "$archive") ($(stat -c %s "$archive") bytes)"
  (cd "$work/stage/$name" && find . -type f -o -type l | sort | sed 's|^\./|  |')
  echo "  shipped library: $(basename "$library") $(stat -c %s "$library") bytes; $(basename "$symbols") $(stat -c %s "$symbols") bytes"
  echo "==== checking the unpacked $(basename "$archive")"
  bash examples/installed_host/check_package.sh "$target" --prefix "$work/check/$name" || status=1
  bash scripts/check_debug_identity.sh "$unpacked_library" "$unpacked_symbols" || status=1
done
exit $status
