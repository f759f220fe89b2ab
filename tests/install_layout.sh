#!/usr/bin/env bash
# `cmake --install BUILD --prefix P` into a fresh prefix: the command in
# bin/, the plugin under each host's plugin folder (the same file twice) and
# the help text in share/doc; the installed command runs.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for file in bin/bitgrade lib/vapoursynth/libbitgrade.so lib/avisynth/libbitgrade.so share/doc/bitgrade/bitgrade-help.txt; do
    [ -s "$prefix/$file" ] || { echo "missing: $file"; exit 1; }
done
cmp "$prefix/lib/vapoursynth/libbitgrade.so" "$prefix/lib/avisynth/libbitgrade.so"
"$prefix/bin/bitgrade" --version
grep -q '^Usage: bitgrade' "$prefix/share/doc/bitgrade/bitgrade-help.txt"
echo "1 passed, 0 failed"
