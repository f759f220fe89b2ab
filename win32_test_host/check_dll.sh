#!/usr/bin/env bash
# What the host's loader sees of bitgrade.dll: one export, the entry point;
# imports from msvcrt.dll and kernel32.dll only; the expected machine; no TLS
# and no static-constructor sections (no C runtime start-up runs them).
set -euo pipefail
readobj=$1 dll=$2 export=$3 machine=$4
exports=$("$readobj" --coff-exports "$dll" | sed -n 's/^ *Name: //p' | grep -v '^$')
imports=$("$readobj" --coff-imports "$dll" | sed -n 's/^ *Name: //p' | sort -u)
sections=$("$readobj" --sections "$dll" | sed -n 's/^ *Name: \([^ ]*\).*/\1/p')
failed=0
check() { if "$@"; then :; else echo "FAILED: $*"; failed=$((failed + 1)); fi; }
check test "$exports" = "$export"
for lib in $imports; do check test "$lib" = msvcrt.dll -o "$lib" = kernel32.dll; done
check test -z "$(echo "$sections" | grep -iE '^\.(tls|CRT)' || true)"
check grep -q "Machine: $machine" <("$readobj" --file-headers "$dll")
echo "$((3 + $(echo "$imports" | wc -w) - failed)) passed, $failed failed"
exit $((failed > 0))
