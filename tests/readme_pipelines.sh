#!/usr/bin/env bash
# Runs every pipeline of the README that encodes in.mkv, exactly as written,
# on a real H.264 file, and checks that the encoded video has every frame.
# Exits 77 (skipped) when a tool that the pipelines use is not installed.
set -euo pipefail
root=$1
frames=12
for tool in ffmpeg ffprobe x265 x264 SvtAv1EncApp; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
ln -s "$root/build" build  # the pipelines name build/default/bitgrade
ffmpeg -v error -f lavfi -i testsrc2=size=320x240:rate=25 -frames:v $frames -c:v libx264 -pix_fmt yuv420p in.mkv

# The ```sh blocks that read in.mkv, each as one script.
blocks=$(awk '/^```sh$/ { inside = 1; block = ""; next }
              /^```$/ && inside { if (block ~ /in\.mkv/) printf "%s%c", block, 0; inside = 0; next }
              inside { block = block $0 "\n" }' "$root/README.md" | tr '\0' '\036')
count=0 failed=0
IFS=$'\036'
for block in $blocks; do
    count=$((count + 1))
    rm -f out.*
    if ! bash -o pipefail -c "$block" >log 2>&1; then
        echo "pipeline $count failed:"; echo "$block"; tail -n 5 log
        failed=$((failed + 1))
        continue
    fi
    out=$(ls out.* | head -n 1)
    got=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$out")
    if [ "$got" != "$frames" ]; then
        echo "pipeline $count wrote $out with $got of $frames frames:"; echo "$block"
        failed=$((failed + 1))
    fi
done
[ "$count" -gt 0 ] || { echo "no pipeline that reads in.mkv found in the README"; exit 1; }
echo "$((count - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
