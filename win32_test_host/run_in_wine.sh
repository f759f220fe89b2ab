#!/usr/bin/env bash
# Runs a Windows test host (its plugin DLL beside it) under wine, after writing
# the native build's checksums beside them. Exits 77 (skipped) when this
# machine cannot run the wine loader at all.
set -euo pipefail
wine=$1 dir=$2 native_checksums=$3 host=$4
if ! "$wine" --version >/dev/null 2>&1; then
    echo "skipped: $wine cannot start here (32-bit programs need a kernel with ia32 emulation on)"
    exit 77
fi
cd "$dir"
"$native_checksums" > native_checksums.txt
export WINEPREFIX="$dir/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
"$wine" "$host"
