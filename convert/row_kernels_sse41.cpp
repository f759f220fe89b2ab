// The SSE4.1 row kernels of level 3, the vector converter.
#include "row_kernels_sse41.h"

namespace bitgrade {

namespace {

// Inclusive prefix sums across the lanes.
BITGRADE_SSE41 inline __m128i PrefixSum16(__m128i v) {
    v = _mm_add_epi16(v, _mm_slli_si128(v, 2));
    v = _mm_add_epi16(v, _mm_slli_si128(v, 4));
    return _mm_add_epi16(v, _mm_slli_si128(v, 8));
}

BITGRADE_SSE41 inline __m128i PrefixSum32(__m128i v) {
    v = _mm_add_epi32(v, _mm_slli_si128(v, 4));
    return _mm_add_epi32(v, _mm_slli_si128(v, 8));
}

BITGRADE_SSE41 inline __m128i BroadcastLast16(__m128i v) {
    const __m128i high = _mm_shufflehi_epi16(v, 0xFF);
    return _mm_unpackhi_epi64(high, high);
}

}  // namespace

namespace {

// Over the eight neighbours n of sixteen pixels p: the largest and the
// smallest n - p, and 8 plus their sum. The differences saturate, so a far
// neighbour's stays far.
struct NeighbourStats {
    __m128i high, low, net;
};

BITGRADE_SSE41 inline void Take(NeighbourStats& s, __m128i p, const int8_t* neighbour) {
    const __m128i d = _mm_subs_epi8(_mm_loadu_si128((const __m128i*)neighbour), p);
    s.high = _mm_max_epi8(s.high, d);
    s.low = _mm_min_epi8(s.low, d);
    s.net = _mm_add_epi8(s.net, d);
}

BITGRADE_SSE41 inline NeighbourStats Neighbours(__m128i p, const int8_t* above, const int8_t* row,
                                                const int8_t* below) {
    NeighbourStats s = {_mm_set1_epi8(-128), _mm_set1_epi8(127), _mm_set1_epi8(kNetBias)};
    Take(s, p, above - 1);
    Take(s, p, above);
    Take(s, p, above + 1);
    Take(s, p, row - 1);
    Take(s, p, row + 1);
    Take(s, p, below - 1);
    Take(s, p, below);
    Take(s, p, below + 1);
    return s;
}

}  // namespace

// A pixel is flat when every neighbour is within one level of it and not
// both a higher and a lower one are present: high and low in -1..1, and
// high - low at most 1. Tested as unsigned bytes, each plus one at most 2.
BITGRADE_SSE41 void ClassifyRowVec(const int8_t* above, const int8_t* row, const int8_t* below, uint32_t columns,
                                   uint16_t* values, uint16_t* edges) {
    const __m128i ramp = Load(kNetRampBytes), one = _mm_set1_epi8(1), two = _mm_set1_epi8(2);
    const __m128i indexMax = _mm_set1_epi8(kNetIndexMax), bias = _mm_set1_epi8((char)kSampleBias);
    const __m128i zero = _mm_setzero_si128();
    for (uint32_t i = 0; i < columns; i += 16) {
        const __m128i p = _mm_load_si128((const __m128i*)(row + i));
        const NeighbourStats s = Neighbours(p, above + i, row + i, below + i);
        const __m128i worst = _mm_max_epu8(_mm_max_epu8(_mm_add_epi8(s.high, one), _mm_add_epi8(s.low, one)),
                                           _mm_add_epi8(_mm_sub_epi8(s.high, s.low), one));
        const __m128i flat = _mm_cmpeq_epi8(_mm_min_epu8(worst, two), worst);
        const __m128i fraction = _mm_and_si128(_mm_shuffle_epi8(ramp, _mm_min_epu8(s.net, indexMax)), flat);
        // sample * 256 + fraction: a negative fraction borrows from the sample.
        const __m128i high = _mm_add_epi8(_mm_xor_si128(p, bias), _mm_cmpgt_epi8(zero, fraction));
        const __m128i edge = _mm_cmpeq_epi8(flat, zero);
        __m128i* value = (__m128i*)(values + i);
        __m128i* mark = (__m128i*)(edges + i);
        _mm_store_si128(value, _mm_unpacklo_epi8(fraction, high));
        _mm_store_si128(value + 1, _mm_unpackhi_epi8(fraction, high));
        _mm_store_si128(mark, _mm_unpacklo_epi8(edge, edge));
        _mm_store_si128(mark + 1, _mm_unpackhi_epi8(edge, edge));
    }
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
    // Each step's own prefix sums do not wait for the step before; only the
    // totals carried from step to step do, one addition a step. The last step may run up to 7 columns past W-r-1
    // (reading up to column W+6), into entries that the row ends below or the spare entries take.
    const __m128i one = Load(kOne), zero = _mm_setzero_si128();
    __m128i countBefore = _mm_set1_epi16((short)count), sumBefore = _mm_set1_epi32((int)sum);
    for (uint32_t i = r + 1; i < W - r; i += 8) {
        const __m128i edgeIn = _mm_lddqu_si128((const __m128i*)(edges + i + r));
        const __m128i edgeOut = _mm_lddqu_si128((const __m128i*)(edges + i - r - 1));
        const __m128i in = _mm_andnot_si128(_mm_cmpeq_epi16(edgeIn, zero), one);
        const __m128i out = _mm_andnot_si128(_mm_cmpeq_epi16(edgeOut, zero), one);
        const __m128i countSteps = PrefixSum16(_mm_sub_epi16(in, out));
        _mm_storeu_si128((__m128i*)(counts + i), _mm_add_epi16(countSteps, countBefore));
        countBefore = _mm_add_epi16(countBefore, BroadcastLast16(countSteps));

        const __m128i valueIn = _mm_lddqu_si128((const __m128i*)(values + i + r));
        const __m128i valueOut = _mm_lddqu_si128((const __m128i*)(values + i - r - 1));
        const __m128i lowDiff = _mm_sub_epi32(_mm_cvtepu16_epi32(valueIn), _mm_cvtepu16_epi32(valueOut));
        const __m128i highDiff = _mm_sub_epi32(_mm_cvtepu16_epi32(_mm_srli_si128(valueIn, 8)),
                                               _mm_cvtepu16_epi32(_mm_srli_si128(valueOut, 8)));
        const __m128i low = PrefixSum32(lowDiff);
        const __m128i high = _mm_add_epi32(PrefixSum32(highDiff), _mm_shuffle_epi32(low, 0xFF));
        _mm_storeu_si128((__m128i*)(sums + i), _mm_add_epi32(low, sumBefore));
        _mm_storeu_si128((__m128i*)(sums + i + 4), _mm_add_epi32(high, sumBefore));
        sumBefore = _mm_add_epi32(sumBefore, _mm_shuffle_epi32(high, 0xFF));
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

MeanVec::MeanVec(const BoxMean& mean)
    : low(_mm_set1_epi32((int)mean.low)), high(_mm_set1_epi32((int)mean.high)), area(_mm_set1_pd((double)mean.area)) {}

namespace {

// Busy counts of eight columns, slid; the lanes to smooth.
BITGRADE_SSE41 inline __m128i SmoothLanes(const BandRow& b, uint32_t i, __m128i limit) {
    const __m128i busy = Slide16(b.busy + i, b.leavingCounts + i, b.enteringCounts + i);
    return _mm_cmpeq_epi16(_mm_min_epu16(busy, limit), busy);
}

BITGRADE_SSE41 inline __m128i SumLanes(const BandRow& b, uint32_t i) {
    return Slide32(b.sums + i, b.leavingSums + i, b.enteringSums + i);
}

// The band row with the mean chosen once, outside the loop.
template <bool kFixedPoint>
BITGRADE_SSE41 void BandRowWith(const BandRow& row, BYTE* out) {
    const BandRow b = row;  // a copy that the stores below cannot alias
    const MeanVec mean(*b.mean);
    const __m128i limit = _mm_set1_epi16((short)b.limit);
    for (uint32_t i = 0; i < b.W; i += 8) {
        const __m128i smooth = SmoothLanes(b, i, limit);
        const __m128i means =
            _mm_packus_epi32(mean.Of<kFixedPoint>(SumLanes(b, i)), mean.Of<kFixedPoint>(SumLanes(b, i + 4)));
        const __m128i result = _mm_blendv_epi8(_mm_load_si128((const __m128i*)(b.values + i)), means, smooth);
        _mm_storeu_si128((__m128i*)(out + 2 * i), result);
    }
}

}  // namespace

BITGRADE_SSE41 void BandRowVec(const BandRow& b, BYTE* out) {
    (b.mean->FixedPoint() ? BandRowWith<true> : BandRowWith<false>)(b, out);
}

BITGRADE_SSE41 void BandMapRowVec(const BandRow& row, BYTE* out) {
    const BandRow b = row;  // a copy that the stores below cannot alias
    const __m128i zero = _mm_setzero_si128(), marks = Load(kFlatMarks), limit = _mm_set1_epi16((short)b.limit);
    for (uint32_t i = 0; i < b.W; i += 8) {
        const __m128i smooth = SmoothLanes(b, i, limit);
        const __m128i map = _mm_or_si128(_mm_packs_epi16(_mm_load_si128((const __m128i*)(b.edges + i)), zero), marks);
        _mm_storel_epi64((__m128i*)(out + i), _mm_andnot_si128(_mm_packs_epi16(smooth, zero), map));
    }
}

BITGRADE_SSE41 void FillBlocksVec(void* dst, uint8_t value, uint32_t bytes) {
    const __m128i fill = _mm_set1_epi8((char)value);
    __m128i* at = (__m128i*)dst;
    for (uint32_t k = 0; k < bytes / 16; ++k) _mm_store_si128(at + k, fill);
}

const RowKernels kSse41Kernels = {"sse4.1", 7, ClassifyRowVec, WindowRowSumsVec, BandRowVec, BandMapRowVec};

}  // namespace bitgrade
