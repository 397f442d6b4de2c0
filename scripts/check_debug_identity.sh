#!/usr/bin/env bash
# Checks that a shipped library and its separate debug file belong together,
# as a crash's symbols are matched: both carry the same identity (the
# CodeView GUID, age and PDB name of a PE file; the GNU build id of an ELF
# file), and the library's debug link names the debug file with its CRC-32.
#   scripts/check_debug_identity.sh LIBRARY DEBUG-FILE
# Prints one line per check; exit status 0 when all passed.
set -uo pipefail
[ $# -eq 2 ] || { echo "usage: $0 LIBRARY DEBUG-FILE" >&2; exit 2; }
library=$1
debug_file=$2

if [ "$(head -c 2 "$library" 2>/dev/null)" = "MZ" ]; then
  tools=x86_64-w64-mingw32-
  # "(format RSDS signature <guid> age <n> pdb <name>)"
  identity() { "${tools}objdump" -p "$1" 2>/dev/null | sed -n 's/^(format RSDS signature \(.*\))$/\1/p'; }
else
  tools=""
  identity() { readelf -n "$1" 2>/dev/null | sed -n 's/^ *Build ID: *\([0-9a-f]*\)$/\1/p'; }
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/vextra-identity.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
check() {  # label, command...
  local label=$1
  shift
  if "$@"; then echo "ok   $label"; else echo "FAIL $label"; failures=$((failures + 1)); fi
}

library_id=$(identity "$library")
debug_id=$(identity "$debug_file")
echo "     $(basename "$library"): ${library_id:-no identity}; $(basename "$debug_file"): ${debug_id:-no identity}"
check "$(basename "$library") carries an identity" test -n "$library_id"
check "$(basename "$debug_file") carries the same identity" test "$library_id" = "$debug_id"

# The link: the file name, a NUL, padding to four bytes, the CRC-32 (little-endian).
"${tools}objcopy" --dump-section .gnu_debuglink="$work/link" "$library" "$work/scratch" 2>/dev/null || : >"$work/link"
link_name=$(tr '\0' '\n' <"$work/link" | head -1)
check "the debug link names $(basename "$debug_file")" test "$link_name" = "$(basename "$debug_file")"
crc_matches() {
  python3 - "$work/link" "$debug_file" <<'EOF'
import struct, sys, zlib
link = open(sys.argv[1], "rb").read()
end = link.index(b"\0")
at = (end + 4) & ~3
recorded = struct.unpack("<I", link[at:at + 4])[0]
sys.exit(0 if recorded == zlib.crc32(open(sys.argv[2], "rb").read()) & 0xFFFFFFFF else 1)
EOF
}
check "the debug link's checksum is $(basename "$debug_file")'s" crc_matches
[ "$failures" -eq 0 ]
