#!/usr/bin/env bash
# Runs every block of the README that reads in.mkv, exactly as written and
# in order, on a real H.264 file with audio, a 16:15 sample aspect and
# bt709 colour, limited range, left-sited chroma. Each block's output must
# hold every frame and say that colour (ffprobe's fields); the muxed file
# must also keep the audio and the aspect. Then the same blocks again on a
# full-range source with top-left chroma, changed only as the README's
# colour table says, must keep that siting and the full range, in flags and
# samples.
# Exits 77 (skipped) when a tool that the pipelines use is not installed.
set -euo pipefail
root=$1
for tool in ffmpeg ffprobe x265 x264 SvtAv1EncApp; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
ln -s "$root/build" build  # the pipelines name build/default/bitgrade

# make_source RANGE PIXFMT SITING: in.mkv, 12 frames with audio.
make_source() {
    ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=sample_rate=48000 \
        -frames:v 12 -shortest -vf setsar=16/15 -c:v libx264 -pix_fmt "$2" -c:a aac \
        -colorspace bt709 -color_primaries bt709 -color_trc bt709 -color_range "$1" \
        -chroma_sample_location "$3" in.mkv
}
field() { ffprobe -v error -select_streams "${3:-v:0}" -show_entries "stream=$2" -of csv=p=0 "$1"; }
frames() { ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$1"; }
# The smallest luma code of the first frame in 8-bit units, the plane taken
# as it is decoded (no conversion of range).
darkest() {
    local format type=u1 shift=0
    format=$(field "$1" pix_fmt)
    case $format in *10le) type=u2 shift=2 ;; esac
    ffmpeg -v error -i "$1" -frames:v 1 -vf extractplanes=y -f rawvideo - |
        od -An -v -t$type -w${type#u} | sort -n | head -n 1 | awk -v s=$shift '{ print int($1 / 2 ^ s) }'
}

# The ```sh blocks that read in.mkv, each as one script.
blocks=$(awk '/^```sh$/ { inside = 1; block = ""; next }
              /^```$/ && inside { if (block ~ /in\.mkv/) printf "%s%c", block, 0; inside = 0; next }
              inside { block = block $0 "\n" }' "$root/README.md" | tr '\0' '\036')
# The colour table's row for FIELD=VALUE, its cells separated by '|'.
row() { grep -F "| \`$1\` |" "$root/README.md" | tr -d '`' | sed 's/^| *//; s/ *|$//; s/ *| */|/g'; }
# retell BLOCK FROM TO: the block with each tool's words of the row FROM
# changed into its words of the row TO.
retell() {
    local block=$1 from to i
    IFS='|' read -r -a from <<<"$(row "$2")"
    IFS='|' read -r -a to <<<"$(row "$3")"
    [ ${#from[@]} -gt 2 ] && [ ${#from[@]} -eq ${#to[@]} ] || { echo "no colour table rows for $2 and $3" >&2; exit 1; }
    for i in "${!from[@]}"; do
        [ "$i" -gt 0 ] && [ -n "${from[$i]}" ] && block=${block//"${from[$i]}"/"${to[$i]}"}
    done
    printf '%s' "$block"
}

count=0 failed=0
# check WHAT OK: a failed check fails the block (once).
bad=0
check() {
    [ "$2" = 0 ] && return 0
    echo "pipeline $count ($range): $1"
    bad=1
}
# run RANGE SITING: every block in turn; each one's output file is its last out.* word.
run() {
    range=$1 siting=$2
    rm -f out.* source.y4m
    ffmpeg -v error -i in.mkv -f yuv4mpegpipe -pix_fmt yuv420p source.y4m
    local expected got colour
    expected=$(frames source.y4m)
    local IFS=$'\036'
    for block in $blocks; do
        count=$((count + 1)) bad=0
        [ "$range" = tv ] || block=$(retell "$block" color_range=tv "color_range=$range")
        [ "$siting" = left ] || block=$(retell "$block" chroma_location=left "chroma_location=$siting")
        if bash -o pipefail -c "$block" >log 2>&1; then
            out=$(grep -o 'out\.[a-z0-9]*' <<<"$block" | tail -n 1)
            got=$(frames "$out")
            check "$out has $got of $expected frames" "$([ "$got" = "$expected" ]; echo $?)"
            colour=$(field "$out" color_range,color_space,color_transfer,color_primaries,chroma_location)
            check "$out says $colour" "$([ "$colour" = "$range,bt709,bt709,bt709,$siting" ]; echo $?)"
            [ "$range" = pc ] && check "$out squeezed the full range into the limited one" \
                "$([ "$(darkest "$out")" -lt 16 ]; echo $?)"
            if [ "${out##*.}" = mkv ]; then
                check "$out lost the sample aspect" "$([ "$(field "$out" sample_aspect_ratio)" = 16:15 ]; echo $?)"
                check "$out lost the audio" "$([ "$(field "$out" codec_type a:0)" = audio ]; echo $?)"
            fi
        else
            check "failed: $(tail -n 3 log)" 1
        fi
        if [ "$bad" = 1 ]; then
            echo "$block"
            failed=$((failed + 1))
        fi
    done
}
make_source tv yuv420p left
run tv left
make_source pc yuvj420p topleft
run pc topleft
[ "$count" -gt 0 ] || { echo "no pipeline that reads in.mkv found in the README"; exit 1; }
echo "$((count - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
