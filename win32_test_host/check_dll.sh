#!/usr/bin/env bash
# What the host's loader sees of a DLL, checked without running it: its
# exports, the entry points and nothing else; no import but those listed below; the
# expected machine; no TLS and no static-constructor sections (no C runtime
# start-up runs them). For i686 also the stack: 32-bit Windows aligns it to
# 4 bytes only, so no object may touch a stack slot with an SSE access that
# needs 16-byte alignment unless its function realigns the stack first.
#   check_dll.sh READOBJ OBJDUMP DLL "EXPORT..." MACHINE OBJECT...
set -euo pipefail
readobj=$1 objdump=$2 dll=$3 machine=$5
expected=$(tr ' ' '\n' <<<"$4" | sort)
shift 5

# Every import the DLL may have. Each name is exported by that DLL on current
# Windows and implemented (not stubbed) by wine. ntdll.dll provides the
# 64-bit arithmetic helpers of 32-bit code (see plugin/ntdll.def); the C
# plugin finds the host's functions through kernel32.dll.
allowed="
msvcrt.dll:memcpy msvcrt.dll:memset msvcrt.dll:malloc msvcrt.dll:free msvcrt.dll:abort
msvcrt.dll:_aligned_malloc msvcrt.dll:_aligned_free msvcrt.dll:_assert msvcrt.dll:__CxxFrameHandler3 msvcrt.dll:_CxxThrowException
ntdll.dll:_alldiv ntdll.dll:_alldvrm ntdll.dll:_allmul ntdll.dll:_allrem ntdll.dll:_allshl
ntdll.dll:_allshr ntdll.dll:_aulldiv ntdll.dll:_aulldvrm ntdll.dll:_aullrem ntdll.dll:_aullshr
kernel32.dll:GetModuleHandleExA kernel32.dll:GetProcAddress"

passed=0 failed=0
check() {
    local what=$1
    shift
    if "$@"; then passed=$((passed + 1)); else echo "FAILED: $what"; failed=$((failed + 1)); fi
}

exports=$("$readobj" --coff-exports "$dll" | sed -n 's/^ *Name: //p' | grep -v '^$' | sort)
check "the exports are $(echo $expected) (found: $(echo $exports))" test "$exports" = "$expected"

imports=$("$readobj" --coff-imports "$dll" | awk '/^ *Name:/ {dll = $2} /^ *Symbol:/ {print dll ":" $2}')
for import in $imports; do
    check "import $import is not on the allowed list" grep -qw -- "$import" <<<"$allowed"
done

sections=$("$readobj" --sections "$dll" | sed -n 's/^ *Name: \([^ ]*\).*/\1/p')
check "no TLS or static-constructor sections" test -z "$(grep -iE '^\.(tls|CRT)' <<<"$sections" || true)"
check "machine $machine" grep -q "Machine: $machine" <("$readobj" --file-headers "$dll")

if [ "$machine" = IMAGE_FILE_MACHINE_I386 ]; then
    # Functions with an aligned vector access to a frame slot (%esp or %ebp
    # alone as the base; %ebp also serves as a plain register) and no
    # realigning "and" of %esp of their own. Legacy SSE instructions need
    # aligned memory unless they are unaligned moves or read fewer than 16
    # bytes (the widening loads pmovzx and pmovsx); VEX ones only as aligned
    # moves.
    unaligned=$("$objdump" -d --no-show-raw-insn "$@" | awk '
        function report() { if (needs && !realigns) print name }
        /^[0-9a-f]+ <.*>:$/ { report(); name = $2; needs = 0; realigns = 0; next }
        /and[l]?[ \t]+\$(-16|-32|-64|0xfffffff0|0xffffffe0|0xffffffc0), %esp/ { realigns = 1 }
        /[xy]mm/ && /\(%e(sp|bp)\)/ {
            op = $2
            if (op ~ /^v/ ? op ~ /^vmov(dqa|ap|nt)/ : op !~ /^(movup|movdqu|lddqu|movq|movd|movss|movsd|movlp|movhp|pinsr|pextr|pmov[sz]x)/)
                needs = 1
        }
        END { report() }')
    check "no aligned vector stack access without realignment (found: $unaligned)" test -z "$unaligned"
fi

echo "$passed passed, $failed failed"
exit $((failed > 0))
