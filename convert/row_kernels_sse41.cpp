// The SSE4.1 row kernels of level 3, the vector converter.
#include "row_kernels_sse41.h"

namespace bitgrade {

namespace {

// Lane k takes lane k-1 of `current`, lane 0 takes lane 7 of `previous`:
// the value of the column to the left.
BITGRADE_SSE41 inline __m128i FromLeft(__m128i current, __m128i previous) {
    return _mm_alignr_epi8(current, previous, 14);
}

// Inclusive prefix sums across the lanes, plus what came before them.
BITGRADE_SSE41 inline __m128i PrefixSum16(__m128i v, __m128i before) {
    v = _mm_add_epi16(v, _mm_slli_si128(v, 2));
    v = _mm_add_epi16(v, _mm_slli_si128(v, 4));
    v = _mm_add_epi16(v, _mm_slli_si128(v, 8));
    return _mm_add_epi16(v, before);
}

BITGRADE_SSE41 inline __m128i PrefixSum32(__m128i v, __m128i before) {
    v = _mm_add_epi32(v, _mm_slli_si128(v, 4));
    v = _mm_add_epi32(v, _mm_slli_si128(v, 8));
    return _mm_add_epi32(v, before);
}

BITGRADE_SSE41 inline __m128i BroadcastLast16(__m128i v) {
    const __m128i high = _mm_shufflehi_epi16(v, 0xFF);
    return _mm_unpackhi_epi64(high, high);
}

}  // namespace

BITGRADE_SSE41 void NeighbourCodeRowVec(const uint16_t* c, const uint16_t* x, uint32_t n, uint16_t* carry,
                                        uint16_t* code) {
    __m128i belowRightPrev = _mm_setzero_si128(), crossPrev = belowRightPrev, rightPrev = belowRightPrev;
    const uint32_t end = n / 16 * 16;
    for (uint32_t i = 0; i < end; i += 8) {
        const __m128i cc = _mm_load_si128((const __m128i*)(c + i));
        const __m128i xx = _mm_load_si128((const __m128i*)(x + i));
        const __m128i cRight = _mm_lddqu_si128((const __m128i*)(c + i + 1));
        const __m128i xRight = _mm_lddqu_si128((const __m128i*)(x + i + 1));
        const __m128i belowRight = DiffToCodeVec(_mm_sub_epi16(cc, xRight));
        const __m128i below = DiffToCodeVec(_mm_sub_epi16(cc, xx));
        const __m128i cross = DiffToCodeVec(_mm_sub_epi16(cRight, xx));
        const __m128i right = DiffToCodeVec(_mm_sub_epi16(cc, cRight));
        const __m128i belowRightLeft = FromLeft(belowRight, belowRightPrev);
        const __m128i crossLeft = FromLeft(cross, crossPrev);
        const __m128i rightLeft = FromLeft(right, rightPrev);

        __m128i* carryAt = (__m128i*)(carry + i);
        __m128i sum = _mm_add_epi16(_mm_load_si128(carryAt), SwapNibblesVec(rightLeft));
        sum = _mm_add_epi16(_mm_add_epi16(sum, crossLeft), _mm_add_epi16(belowRight, below));
        _mm_store_si128((__m128i*)(code + i), _mm_add_epi16(sum, right));
        _mm_store_si128(carryAt, SwapNibblesVec(_mm_add_epi16(_mm_add_epi16(below, belowRightLeft), cross)));

        belowRightPrev = belowRight;
        crossPrev = cross;
        rightPrev = right;
    }
    code[n - 1] = kRowEndCode;
    code[0] = kRowEndCode;
}

BITGRADE_SSE41 void WindowRowSumsVec(uint32_t r, uint32_t W, const uint16_t* values, const uint16_t* edges,
                                     uint32_t* sums, uint16_t* counts) {
    uint32_t sum = 0;
    uint16_t count = 0;
    for (uint32_t i = 0; i <= 2 * r; ++i) {
        sum += values[i];
        count = (uint16_t)(count + (edges[i] != 0));
    }
    sums[r] = sum;
    counts[r] = count;

    // Columns r+1.. eight a step: what enters the window minus what leaves
    // it, accumulated across the lanes in registers onto the running totals.
    // The last step may run up to 7 columns past W-r-1 (reading up to column
    // W+6), into entries that the row ends below or the spare entries take.
    const __m128i one = Load(kOne), zero = _mm_setzero_si128();
    __m128i countBefore = _mm_set1_epi16((short)count), sumBefore = _mm_set1_epi32((int)sum);
    for (uint32_t i = r + 1; i < W - r; i += 8) {
        const __m128i edgeIn = _mm_lddqu_si128((const __m128i*)(edges + i + r));
        const __m128i edgeOut = _mm_lddqu_si128((const __m128i*)(edges + i - r - 1));
        const __m128i in = _mm_andnot_si128(_mm_cmpeq_epi16(edgeIn, zero), one);
        const __m128i out = _mm_andnot_si128(_mm_cmpeq_epi16(edgeOut, zero), one);
        countBefore = PrefixSum16(_mm_sub_epi16(in, out), countBefore);
        _mm_storeu_si128((__m128i*)(counts + i), countBefore);
        countBefore = BroadcastLast16(countBefore);

        const __m128i valueIn = _mm_lddqu_si128((const __m128i*)(values + i + r));
        const __m128i valueOut = _mm_lddqu_si128((const __m128i*)(values + i - r - 1));
        const __m128i lowDiff = _mm_sub_epi32(_mm_cvtepu16_epi32(valueIn), _mm_cvtepu16_epi32(valueOut));
        const __m128i highDiff = _mm_sub_epi32(_mm_cvtepu16_epi32(_mm_srli_si128(valueIn, 8)),
                                               _mm_cvtepu16_epi32(_mm_srli_si128(valueOut, 8)));
        const __m128i low = PrefixSum32(lowDiff, sumBefore);
        const __m128i high = PrefixSum32(highDiff, _mm_shuffle_epi32(low, 0xFF));
        _mm_storeu_si128((__m128i*)(sums + i), low);
        _mm_storeu_si128((__m128i*)(sums + i + 4), high);
        sumBefore = _mm_shuffle_epi32(high, 0xFF);
    }

    // Row ends: kRowEndBusy and the sum of a row constant around them.
    const uint32_t side = 2 * r + 1;
    for (uint32_t i = 0; i < r; ++i) {
        sums[i] = side * values[i];
        counts[i] = kRowEndBusy;
        sums[W - 1 - i] = side * values[W - 1 - i];
        counts[W - 1 - i] = kRowEndBusy;
    }
}

BITGRADE_SSE41 void FillBlocksVec(void* dst, uint8_t value, uint32_t bytes) {
    const __m128i fill = _mm_set1_epi8((char)value);
    __m128i* at = (__m128i*)dst;
    for (uint32_t k = 0; k < bytes / 16; ++k) _mm_store_si128(at + k, fill);
}

}  // namespace bitgrade
