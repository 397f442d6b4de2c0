#!/usr/bin/env bash
# Creates, once, the 64-bit Wine prefix in which the Windows build of Vextra is
# tested, and prints its path as the last stdout line:
#   WINEPREFIX=<path>
#
# The prefix lives in ${VEXTRA_CACHE_DIR:-/var/cache/vextra}/wineprefix-<wine
# version>. It is created headless (no X display, no installer dialogs for
# Mono or Gecko), checked (a console program runs, WMI answers queries), and
# marked ready; later runs only see the mark and return within seconds. A
# prefix whose creation was interrupted has no mark and is made again.
#
# Progress and diagnostics go to stderr.
# Environment: VEXTRA_CACHE_DIR; VEXTRA_WINEDBG=1 and VEXTRA_WINEDLLOVERRIDES
# (see vextra_wine_env).
set -euo pipefail

log() { printf '[setup_wine] %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

# Shared settings: WINE64, WINESERVER, WINE_VERSION, VEXTRA_WINEPREFIX, and the
# exported Wine environment.
vextra_wine_env() {
  WINE64=$(command -v wine64 2>/dev/null || true)
  [ -n "$WINE64" ] || [ ! -x /usr/lib/wine/wine64 ] || WINE64=/usr/lib/wine/wine64
  [ -n "$WINE64" ] || die "wine64 not found; run scripts/install_packages.sh first (Debian packages wine, wine64)"
  WINESERVER=$(command -v wineserver 2>/dev/null || true)
  [ -n "$WINESERVER" ] || [ ! -x /usr/lib/wine/wineserver ] || WINESERVER=/usr/lib/wine/wineserver
  [ -n "$WINESERVER" ] || die "wineserver not found"

  # "wine-8.0 (Debian 8.0~repack-4)" -> "8.0"
  WINE_VERSION=$("$WINE64" --version 2>/dev/null | sed -n 's/^wine-\([^ ]*\).*/\1/p')
  [ -n "$WINE_VERSION" ] || die "cannot read the Wine version from '$WINE64 --version'"

  local root=${VEXTRA_CACHE_DIR:-/var/cache/vextra}
  mkdir -p "$root"
  root=$(cd "$root" && pwd -P)
  VEXTRA_WINEPREFIX="$root/wineprefix-$WINE_VERSION"

  export WINEPREFIX="$VEXTRA_WINEPREFIX"
  export WINEARCH=win64
  export WINELOADER="$WINE64"
  export WINESERVER
  export WINEDEBUG=-all
  # No Mono / Gecko installers, no desktop menu entries. winedbg is disabled
  # too: a program dying of an unhandled exception then ends at once with its
  # exception code as exit status, instead of a debugger printing a long dump
  # to stdout (and sometimes ending the process with status 0).
  # VEXTRA_WINEDBG=1 keeps winedbg for debugging a crash by hand.
  local overrides="mscoree,mshtml=;winemenubuilder.exe=d"
  if [ "${VEXTRA_WINEDBG:-0}" != 1 ]; then
    overrides="$overrides;winedbg.exe=d"
  fi
  # Caller's overrides come last so that they win.
  export WINEDLLOVERRIDES="$overrides${VEXTRA_WINEDLLOVERRIDES:+;$VEXTRA_WINEDLLOVERRIDES}"
  # Headless: Wine must not try to reach an X server.
  unset DISPLAY WAYLAND_DISPLAY
}

READY_MARK=.vextra-ready

# Runs the checks that the tests rely on: a console program runs and its exit
# status comes back, and WMI answers both through wmic and through the COM
# scripting interface (what a program uses via IWbemLocator).
check_prefix() {
  local out
  out=$("$WINE64" cmd /c ver 2>&1 | tr -d '\0\r') || { log "'cmd /c ver' failed: $out"; return 1; }
  printf '%s\n' "$out" | grep -q "Windows" || { log "'cmd /c ver' printed: $out"; return 1; }
  log "cmd /c ver: $(printf '%s' "$out" | grep -m1 Windows)"

  set +e
  "$WINE64" cmd /c exit 7 >/dev/null 2>&1
  local rc=$?
  set -e
  [ $rc -eq 7 ] || { log "exit status of a Windows program is not passed through (got $rc, want 7)"; return 1; }

  # wmic writes UTF-16 when its output is not a console.
  out=$("$WINE64" wmic os get Caption 2>&1 | tr -d '\0\r') || { log "'wmic os get Caption' failed: $out"; return 1; }
  printf '%s\n' "$out" | grep -q "Windows" || { log "'wmic os get Caption' printed: $out"; return 1; }
  log "wmic os get Caption: $(printf '%s' "$out" | grep -m1 Windows | sed 's/ *$//')"

  local vbs="$WINEPREFIX/drive_c/vextra_wmi_check.vbs"
  printf '%s\r\n' \
    'Set svc = GetObject("winmgmts:\\.\root\cimv2")' \
    'n = 0' \
    'For Each o In svc.ExecQuery("SELECT Caption, Version FROM Win32_OperatingSystem")' \
    '  WScript.Echo "os=" & o.Caption & " " & o.Version' \
    '  n = n + 1' \
    'Next' \
    'For Each p In svc.ExecQuery("SELECT Name, NumberOfLogicalProcessors FROM Win32_Processor")' \
    '  WScript.Echo "cpu=" & p.Name & " x" & p.NumberOfLogicalProcessors' \
    '  n = n + 1' \
    'Next' \
    'If n >= 2 Then WScript.Quit 0 Else WScript.Quit 3' >"$vbs"
  out=$("$WINE64" cscript //nologo 'C:\vextra_wmi_check.vbs' 2>&1 | tr -d '\0\r') \
    || { log "WMI query through COM failed: $out"; rm -f "$vbs"; return 1; }
  rm -f "$vbs"
  printf '%s\n' "$out" | grep -q '^os=.*Windows' || { log "WMI query printed: $out"; return 1; }
  log "WMI via COM: $(printf '%s' "$out" | tr '\n' ';')"
}

create_prefix() {
  rm -rf "$WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  log "creating Wine $WINE_VERSION prefix in $WINEPREFIX"
  "$WINE64" wineboot --init >&2 </dev/null || die "wineboot --init failed"
  "$WINESERVER" -w

  # Report a current Windows version (a new Wine 8 prefix says Windows 7).
  "$WINE64" winecfg /v win10 >&2 </dev/null || die "could not set the Windows version"
  "$WINESERVER" -w

  # A crashing test program must end with its exception code instead of
  # opening the crash dialog or waiting for a debugger.
  "$WINE64" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 \
    || die "could not turn off the crash dialog"
  "$WINESERVER" -w
}

main() {
  vextra_wine_env

  if [ -f "$WINEPREFIX/$READY_MARK" ]; then
    log "ready: $WINEPREFIX"
    printf 'WINEPREFIX=%s\n' "$WINEPREFIX"
    return 0
  fi

  # One creator at a time; a second caller waits and then finds it ready.
  exec 9>"$WINEPREFIX.lock"
  if ! flock -n 9; then
    log "another run is creating $WINEPREFIX, waiting for it"
    flock 9
  fi
  if [ ! -f "$WINEPREFIX/$READY_MARK" ]; then
    local start=$SECONDS
    create_prefix
    check_prefix || die "the new Wine prefix failed its checks"
    "$WINESERVER" -w
    printf 'wine=%s\ncreated=%s\n' "$("$WINE64" --version)" "$(date -u +%Y-%m-%dT%H:%M:%SZ)" >"$WINEPREFIX/$READY_MARK"
    log "prefix ready in $((SECONDS - start)) s"
  fi
  printf 'WINEPREFIX=%s\n' "$WINEPREFIX"
}

# wine_run.sh sources this file for vextra_wine_env only.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  main "$@"
fi
