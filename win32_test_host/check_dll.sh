#!/usr/bin/env bash
# What the host's loader sees of bitgrade.dll: one export, the decorated
# entry point; imports from msvcrt.dll and kernel32.dll only; no TLS and no
# static-constructor sections (no C runtime start-up runs them).
set -euo pipefail
dll=$1
exports=$(llvm-readobj --coff-exports "$dll" | sed -n 's/^ *Name: //p' | grep -v '^$')
imports=$(llvm-readobj --coff-imports "$dll" | sed -n 's/^ *Name: //p' | sort -u)
sections=$(llvm-readobj --sections "$dll" | sed -n 's/^ *Name: \([^ ]*\).*/\1/p')
status=0
[ "$exports" = "_AvisynthPluginInit2@4" ] || { echo "exports: $exports"; status=1; }
for lib in $imports; do
    case "$lib" in msvcrt.dll|kernel32.dll) ;; *) echo "unexpected import: $lib"; status=1 ;; esac
done
echo "$sections" | grep -qiE '^\.(tls|CRT)' && { echo "sections: $sections"; status=1; }
llvm-readobj --file-headers "$dll" | grep -q 'Machine: IMAGE_FILE_MACHINE_I386' || { echo "not a 32-bit x86 image"; status=1; }
[ $status -eq 0 ] && echo "1 passed, 0 failed" || echo "0 passed, 1 failed"
exit $status
