# Shared settings of the build scripts; sourced, not run.
# VEXTRA_CACHE_DIR: where costly things live outside the checkout (dependency
# builds, the Wine prefix, ccache), keyed by version.

REPO_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export VEXTRA_CACHE_DIR=${VEXTRA_CACHE_DIR:-/var/cache/vextra}
export CCACHE_DIR=${CCACHE_DIR:-$VEXTRA_CACHE_DIR/ccache}
export CCACHE_BASEDIR=$REPO_DIR
export CCACHE_NOHASHDIR=1

# Evaluates the dependency prefix and httplib location, building them first
# when the cache does not hold them yet (a no-op taking seconds otherwise).
vextra_load_deps() {
  if [ -z "${WIN_DEPS_PREFIX:-}" ] || [ -z "${HTTPLIB_INCLUDE_DIR:-}" ]; then
    local out
    out=$("$REPO_DIR/scripts/build_win_deps.sh")
    eval "$(printf '%s\n' "$out" | grep -E '^(WIN_DEPS_PREFIX|HTTPLIB_INCLUDE_DIR)=')"
    export WIN_DEPS_PREFIX HTTPLIB_INCLUDE_DIR
  fi
}

vextra_launcher_args() {
  if command -v ccache >/dev/null 2>&1; then
    echo "-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
  fi
}
