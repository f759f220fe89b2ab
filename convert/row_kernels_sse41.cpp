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

// Unsmoothed values and edge marks from codes: flat pixels (no far
// neighbour, not both higher and lower ones) get their fraction and mark 0,
// every other pixel mark 0xFFFF.
BITGRADE_SSE41 void ClassifyRowVec(const uint16_t* codes, uint16_t* values, uint16_t* edges, uint32_t columns) {
    const __m128i ramp = _mm_load_si128((const __m128i*)kRampBytes.v), zero = _mm_setzero_si128();
    const __m128i upMask = Load(kLowNibble), downMask = Load(kDownNibble), farMask = Load(kFarNibble);
    for (uint32_t i = 0; i < columns; i += 8) {
        const __m128i code = _mm_load_si128((const __m128i*)(codes + i));
        const __m128i up = _mm_and_si128(code, upMask);
        const __m128i down = _mm_srli_epi16(_mm_and_si128(code, downMask), 4);
        const __m128i noFar = _mm_cmpeq_epi16(_mm_and_si128(code, farMask), zero);
        const __m128i oneSided = _mm_or_si128(_mm_cmpeq_epi16(up, zero), _mm_cmpeq_epi16(down, zero));
        const __m128i flat = _mm_and_si128(noFar, oneSided);
        const __m128i fraction = _mm_sub_epi16(_mm_shuffle_epi8(ramp, up), _mm_shuffle_epi8(ramp, down));
        __m128i* value = (__m128i*)(values + i);
        _mm_store_si128(value, _mm_add_epi16(_mm_slli_epi16(_mm_load_si128(value), 8), _mm_and_si128(fraction, flat)));
        _mm_store_si128((__m128i*)(edges + i), _mm_cmpeq_epi16(flat, zero));
    }
}

MeanVec::MeanVec(const BoxMean& mean)
    : fixedPoint(mean.FixedPoint()),
      low(_mm_set1_epi32((int)mean.low)),
      high(_mm_set1_epi32((int)mean.high)),
      area(_mm_set1_pd((double)mean.area)) {}

namespace {

// Busy counts of eight columns, slid when the row says so; the lanes to smooth.
BITGRADE_SSE41 inline __m128i SmoothLanes(const BandRow& b, uint32_t i) {
    const __m128i busy = b.slide ? Slide16(b.busy + i, b.leavingCounts + i, b.enteringCounts + i)
                                 : _mm_load_si128((const __m128i*)(b.busy + i));
    return _mm_cmpeq_epi16(_mm_min_epu16(busy, _mm_set1_epi16((short)b.limit)), busy);
}

BITGRADE_SSE41 inline __m128i SumLanes(const BandRow& b, uint32_t i) {
    return b.slide ? Slide32(b.sums + i, b.leavingSums + i, b.enteringSums + i)
                   : _mm_load_si128((const __m128i*)(b.sums + i));
}

}  // namespace

BITGRADE_SSE41 void BandRowVec(const BandRow& row, BYTE* out) {
    const BandRow b = row;  // a copy that the stores below cannot alias
    const MeanVec mean(*b.mean);
    for (uint32_t i = 0; i < b.W; i += 8) {
        const __m128i smooth = SmoothLanes(b, i);
        _mm_prefetch((const char*)(b.values + i + 64), _MM_HINT_NTA);
        const __m128i means = _mm_packus_epi32(mean(SumLanes(b, i)), mean(SumLanes(b, i + 4)));
        const __m128i result = _mm_blendv_epi8(_mm_load_si128((const __m128i*)(b.values + i)), means, smooth);
        _mm_storeu_si128((__m128i*)(out + 2 * i), result);
    }
}

BITGRADE_SSE41 void BandMapRowVec(const BandRow& row, BYTE* out) {
    const BandRow b = row;  // a copy that the stores below cannot alias
    const __m128i zero = _mm_setzero_si128(), marks = Load(kFlatMarks);
    for (uint32_t i = 0; i < b.W; i += 8) {
        const __m128i smooth = SmoothLanes(b, i);
        const __m128i map = _mm_or_si128(_mm_packs_epi16(_mm_load_si128((const __m128i*)(b.edges + i)), zero), marks);
        _mm_storel_epi64((__m128i*)(out + i), _mm_andnot_si128(_mm_packs_epi16(smooth, zero), map));
    }
}

BITGRADE_SSE41 void FillBlocksVec(void* dst, uint8_t value, uint32_t bytes) {
    const __m128i fill = _mm_set1_epi8((char)value);
    __m128i* at = (__m128i*)dst;
    for (uint32_t k = 0; k < bytes / 16; ++k) _mm_store_si128(at + k, fill);
}

const RowKernels kSse41Kernels = {"sse4.1",       7,          NeighbourCodeRowVec, WindowRowSumsVec,
                                  ClassifyRowVec, BandRowVec, BandMapRowVec};

}  // namespace bitgrade
