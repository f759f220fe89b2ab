#!/usr/bin/env bash
# Runs the Windows test host against bitgrade.dll under wine, after writing
# the native build's checksums beside them.
set -euo pipefail
dir=$1
native_checksums=$2
cd "$dir"
"$native_checksums" > native_checksums.txt
export WINEPREFIX="$dir/wineprefix" WINEDEBUG=-all
wine win32_test_host.exe
