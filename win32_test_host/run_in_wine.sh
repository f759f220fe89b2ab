#!/usr/bin/env bash
# Runs a Windows test host (its plugin DLL beside it) under wine, after writing
# the native build's checksums beside them. Exits 77 (skipped) when this
# machine cannot run the wine loader at all.
set -euo pipefail
wine=$1 dir=$2 native_checksums=$3 host=$4
if ! error=$("$wine" --version 2>&1 >/dev/null); then
    echo "skipped: $wine cannot start here (${error##*: }): this kernel runs no programs of its kind (32-bit ones need ia32 emulation on)"
    exit 77
fi
cd "$dir"
# Renamed into place whole: another host may be reading the file.
"$native_checksums" > "native_checksums.txt.$$"
mv "native_checksums.txt.$$" native_checksums.txt
export WINEPREFIX="$dir/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
# A host that ran prints "N passed, 0 failed"; a wine that exits without
# running it must not pass for one that passed.
output=$("$wine" "$host") || { echo "$output"; exit 1; }
echo "$output"
grep -qE '^[1-9][0-9]* passed, 0 failed' <<<"$output"
