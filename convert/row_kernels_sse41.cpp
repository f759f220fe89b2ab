// The SSE4.1 row kernels of level 3, the vector converter.
#include "row_kernels_sse41.h"

namespace bitgrade {

namespace {

// Over the eight neighbours of sixteen pixels p: how far the highest lies
// above p and the lowest below it (0 when none does), and 8 plus the net
// count of higher neighbours. The net count is the neighbours' sum less 8p,
// taken modulo 256, which is exact where it is used: for flat pixels, whose
// neighbours lie within one level.
struct NeighbourStats {
    __m128i rise, fall, net;
};

BITGRADE_SSE41 inline __m128i LoadU(const void* at) { return _mm_loadu_si128((const __m128i*)at); }

BITGRADE_SSE41 inline NeighbourStats Neighbours(__m128i p, const uint8_t* above, const uint8_t* row,
                                                const uint8_t* below) {
    const __m128i n[8] = {LoadU(above - 1), LoadU(above),     LoadU(above + 1), LoadU(row - 1),
                          LoadU(row + 1),   LoadU(below - 1), LoadU(below),     LoadU(below + 1)};
    __m128i most = n[0], least = n[0], sum = n[0];
    for (int k = 1; k < 8; ++k) {
        most = _mm_max_epu8(most, n[k]);
        least = _mm_min_epu8(least, n[k]);
        sum = _mm_add_epi8(sum, n[k]);
    }
    const __m128i eightP = _mm_and_si128(_mm_slli_epi16(p, 3), _mm_set1_epi8((char)0xF8));
    return {_mm_subs_epu8(most, p), _mm_subs_epu8(p, least),
            _mm_sub_epi8(_mm_add_epi8(sum, _mm_set1_epi8(kNetBias)), eightP)};
}

}  // namespace

// A pixel is flat when every neighbour is within one level of it and not
// both a higher and a lower one are present: rise + fall at most 1 (the sum
// saturates, so no far neighbour passes).
BITGRADE_SSE41 void ClassifyRowVec(const uint8_t* above, const uint8_t* row, const uint8_t* below, uint32_t columns,
                                   uint16_t* values, uint8_t* edges) {
    const __m128i ramp = Load(kNetRampBytes), one = _mm_set1_epi8(1), two = _mm_set1_epi8(2);
    const __m128i indexMax = _mm_set1_epi8(kNetIndexMax), zero = _mm_setzero_si128();
    for (uint32_t i = 0; i < columns; i += 16) {
        const __m128i p = _mm_load_si128((const __m128i*)(row + i));
        const NeighbourStats s = Neighbours(p, above + i, row + i, below + i);
        const __m128i edge = _mm_cmpgt_epi8(_mm_min_epu8(_mm_adds_epu8(s.rise, s.fall), two), one);
        const __m128i fraction = _mm_andnot_si128(edge, _mm_shuffle_epi8(ramp, _mm_min_epu8(s.net, indexMax)));
        // sample * 256 + fraction: a negative fraction borrows from the sample.
        const __m128i high = _mm_add_epi8(p, _mm_cmpgt_epi8(zero, fraction));
        __m128i* value = (__m128i*)(values + i);
        _mm_store_si128(value, _mm_unpacklo_epi8(fraction, high));
        _mm_store_si128(value + 1, _mm_unpackhi_epi8(fraction, high));
        _mm_store_si128((__m128i*)(edges + i), edge);
    }
}

// Deeper samples whose levels are one code apart (bands as deep as the
// samples), eight a step, as the 8-bit kernel does it: a pixel is flat when
// its highest neighbour lies at most one above it, its lowest at most one
// below, and not both; its net count of higher neighbours is then the
// neighbours' sum less 8p, wrapping in 16 bits.
BITGRADE_SSE41 void ClassifyOneCodeLevels(const uint16_t* above, const uint16_t* row, const uint16_t* below,
                                          uint32_t columns, const Levels& levels, uint16_t* values, uint8_t* edges) {
    const __m128i two = _mm_set1_epi16(2), zero = _mm_setzero_si128();
    const __m128i fractions = FractionBytes(levels), shift = _mm_cvtsi32_si128(levels.shift);
    for (uint32_t i = 0; i < columns; i += 8) {
        const __m128i p = _mm_load_si128((const __m128i*)(row + i));
        const __m128i n[8] = {LoadU(above + i - 1), LoadU(above + i),     LoadU(above + i + 1), LoadU(row + i - 1),
                              LoadU(row + i + 1),   LoadU(below + i - 1), LoadU(below + i),     LoadU(below + i + 1)};
        __m128i sum = zero, most = p, least = p;
        for (const __m128i& v : n) {
            sum = _mm_add_epi16(sum, v);
            most = _mm_max_epu16(most, v);
            least = _mm_min_epu16(least, v);
        }
        const __m128i spread = _mm_adds_epu16(_mm_subs_epu16(most, p), _mm_subs_epu16(p, least));
        const __m128i flat = _mm_cmpgt_epi16(two, _mm_min_epu16(spread, two));
        const __m128i net = _mm_sub_epi16(sum, _mm_slli_epi16(p, 3));
        const __m128i ups = _mm_max_epi16(net, zero), downs = _mm_max_epi16(_mm_sub_epi16(zero, net), zero);
        const __m128i fraction = _mm_sub_epi16(_mm_shuffle_epi8(fractions, ups), _mm_shuffle_epi8(fractions, downs));
        _mm_store_si128((__m128i*)(values + i), _mm_add_epi16(_mm_sll_epi16(p, shift), _mm_and_si128(flat, fraction)));
        _mm_storel_epi64((__m128i*)(edges + i), _mm_packs_epi16(_mm_xor_si128(flat, _mm_cmpeq_epi16(p, p)), zero));
    }
}

// Deeper samples, eight a step. A neighbour n is a level or more above p
// when n > p + equal - 1, saturating, which no n passes where that sum
// saturates, and so on for the other bounds: counts of higher and lower
// neighbours, and far ones from the highest and the lowest.
BITGRADE_SSE41 void ClassifyRow16Vec(const uint16_t* above, const uint16_t* row, const uint16_t* below,
                                     uint32_t columns, const Levels& levels, uint16_t* values, uint8_t* edges) {
    if (levels.near == 2) return ClassifyOneCodeLevels(above, row, below, columns, levels, values, edges);
    const __m128i equal = _mm_set1_epi16((short)(levels.equal - 1)), near = _mm_set1_epi16((short)(levels.near - 1));
    const __m128i one = _mm_set1_epi16(1), zero = _mm_setzero_si128();
    const __m128i fractions = FractionBytes(levels), shift = _mm_cvtsi32_si128(levels.shift);
    for (uint32_t i = 0; i < columns; i += 8) {
        const __m128i p = _mm_load_si128((const __m128i*)(row + i));
        const __m128i upFrom = _mm_adds_epu16(p, equal), downFrom = _mm_subs_epu16(p, equal);
        const __m128i n[8] = {LoadU(above + i - 1), LoadU(above + i),     LoadU(above + i + 1), LoadU(row + i - 1),
                              LoadU(row + i + 1),   LoadU(below + i - 1), LoadU(below + i),     LoadU(below + i + 1)};
        __m128i ups = zero, downs = zero, most = p, least = p;
        for (const __m128i& v : n) {
            ups = _mm_add_epi16(ups, _mm_min_epu16(_mm_subs_epu16(v, upFrom), one));
            downs = _mm_add_epi16(downs, _mm_min_epu16(_mm_subs_epu16(downFrom, v), one));
            most = _mm_max_epu16(most, v);
            least = _mm_min_epu16(least, v);
        }
        const __m128i farAbove = _mm_subs_epu16(most, _mm_adds_epu16(p, near));
        const __m128i farBelow = _mm_subs_epu16(_mm_subs_epu16(p, near), least);
        const __m128i both = _mm_and_si128(_mm_min_epu16(ups, one), _mm_min_epu16(downs, one));
        const __m128i flat = _mm_cmpeq_epi16(_mm_or_si128(_mm_or_si128(farAbove, farBelow), both), zero);
        const __m128i fraction = _mm_sub_epi16(_mm_shuffle_epi8(fractions, ups), _mm_shuffle_epi8(fractions, downs));
        _mm_store_si128((__m128i*)(values + i), _mm_add_epi16(_mm_sll_epi16(p, shift), _mm_and_si128(flat, fraction)));
        _mm_storel_epi64((__m128i*)(edges + i), _mm_packs_epi16(_mm_xor_si128(flat, _mm_cmpeq_epi16(p, p)), zero));
    }
}

BITGRADE_SSE41 void SlideWindowVec(const ColumnTotals& t, const uint16_t* enteringValues, const uint8_t* enteringEdges,
                                   const uint16_t* leavingValues, const uint8_t* leavingEdges, uint32_t columns) {
    uint32_t* const sums = t.sums;  // copies that the stores below cannot alias
    uint8_t* const counts = t.counts;
    const __m128i zero = _mm_setzero_si128();
    for (uint32_t x = 0; x < columns; x += 16) {
        for (uint32_t half = x; half < x + 16; half += 8) {
            const __m128i in = _mm_load_si128((const __m128i*)(enteringValues + half));
            const __m128i out = _mm_load_si128((const __m128i*)(leavingValues + half));
            __m128i* sum = (__m128i*)(sums + half);
            const __m128i low = _mm_sub_epi32(_mm_unpacklo_epi16(in, zero), _mm_unpacklo_epi16(out, zero));
            const __m128i high = _mm_sub_epi32(_mm_unpackhi_epi16(in, zero), _mm_unpackhi_epi16(out, zero));
            _mm_store_si128(sum, _mm_add_epi32(_mm_load_si128(sum), low));
            _mm_store_si128(sum + 1, _mm_add_epi32(_mm_load_si128(sum + 1), high));
        }
        SlideCounts16(counts + x, enteringEdges + x, leavingEdges + x);
    }
}

MeanVec::MeanVec(const BoxMean& mean)
    : reciprocal(_mm_set1_epi32((int)mean.reciprocal)),
      inverse(_mm_set1_pd(1.0 / (double)mean.area)),
      half(_mm_set1_pd(0.5 / (double)mean.area)) {}

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

// The band's limit as 16-bit lanes, for counts from running sums, and as
// bytes, for counts added up column by column.
struct LimitVec {
    BITGRADE_SSE41 explicit LimitVec(const BandRow& b)
        : words(_mm_set1_epi16((short)b.limit)), bytes(_mm_set1_epi8(ByteLimit(b))) {}
    __m128i words, bytes;
};

// Which of eight columns x..x+7 are smoothed, those whose window of 2r+1
// columns holds at most `limit` edge marks: a byte mask (in the low eight
// bytes) from counts added up column by column, a 16-bit lane mask from
// running sums, where a window is the difference of two. Each is widened or
// narrowed only where needed, after the test for none.
struct ByteMask8 {
    __m128i v;
};
struct WordMask8 {
    __m128i v;
};
BITGRADE_SSE41 inline bool None(ByteMask8 m) { return (_mm_movemask_epi8(m.v) & 0xFF) == 0; }
BITGRADE_SSE41 inline bool None(WordMask8 m) { return _mm_testz_si128(m.v, m.v); }
BITGRADE_SSE41 inline __m128i Words(ByteMask8 m) { return _mm_cvtepi8_epi16(m.v); }
BITGRADE_SSE41 inline __m128i Words(WordMask8 m) { return m.v; }
BITGRADE_SSE41 inline __m128i Bytes(ByteMask8 m) { return m.v; }
BITGRADE_SSE41 inline __m128i Bytes(WordMask8 m) { return _mm_packs_epi16(m.v, m.v); }

// Lanes of running sums of 16 or 32 bits subtracted.
template <class T>
BITGRADE_SSE41 inline __m128i Subtract(__m128i a, __m128i b) {
    if constexpr (sizeof(T) == 2) return _mm_sub_epi16(a, b);
    else return _mm_sub_epi32(a, b);
}

// The windows of columns x.. from running sums: the sum at x+r less that at
// x-r-1, and from integrals less the same of the top row.
template <class T>
BITGRADE_SSE41 inline __m128i RunningWindow(const BandRow& b, const T* sums, uint32_t x) {
    const T* at = sums + x - b.r;
    return Subtract<T>(LoadU(at + 2 * b.r), LoadU(at - 1));
}

template <Windows kWindows, class T>
BITGRADE_SSE41 inline __m128i RunningWindows(const BandRow& b, const T* running, const T* top, uint32_t x) {
    if constexpr (kWindows == Windows::kIntegrals)
        return Subtract<T>(RunningWindow(b, running, x), RunningWindow(b, top, x));
    else return RunningWindow(b, running, x);
}

template <Windows kWindows, uint32_t kSide = 0>
BITGRADE_SSE41 inline auto SmoothMask(const BandRow& b, uint32_t x, const LimitVec& limit) {
    if constexpr (kWindows != Windows::kColumns) {
        const __m128i count = RunningWindows<kWindows>(b, b.bottom.counts, b.top.counts, x);
        return WordMask8{_mm_cmpeq_epi16(_mm_min_epu16(count, limit.words), count)};
    } else {
        return ByteMask8{SmoothBytes<8, kSide>(b, x, limit.bytes)};
    }
}

// The window sums of eight columns x..x+7, low and high four.
template <Windows kWindows, uint32_t kSide>
BITGRADE_SSE41 inline void WindowSums(const BandRow& b, uint32_t x, __m128i& low, __m128i& high) {
    if constexpr (kWindows != Windows::kColumns) {
        low = RunningWindows<kWindows>(b, b.bottom.sums, b.top.sums, x);
        high = RunningWindows<kWindows>(b, b.bottom.sums, b.top.sums, x + 4);
        return;
    }
    const uint32_t* sums = b.totals.sums + x - b.r;
    low = high = _mm_setzero_si128();
    const uint32_t side = WindowSide<kSide>(b);
    for (uint32_t k = 0; k < side; ++k) {
        low = _mm_add_epi32(low, LoadU(sums + k));
        high = _mm_add_epi32(high, LoadU(sums + k + 4));
    }
}

// The first `bytes` (below 16) of a vector, for the last columns of a row
// that ends inside an eight-column step: the row after it is not ours.
BITGRADE_SSE41 inline void StorePart(uint8_t* out, __m128i v, uint32_t bytes) {
    alignas(16) uint8_t part[16];
    _mm_store_si128((__m128i*)part, v);
    CopyBytes(out, part, bytes);
}

// Eight output values of columns x..x+7 in one variant.
template <bool kFixedPoint, Windows kWindows, uint32_t kSide>
BITGRADE_SSE41 inline __m128i BandStep(const BandRow& b, uint32_t x, const MeanVec& mean, const LimitVec& limit) {
    const __m128i values = _mm_load_si128((const __m128i*)(b.values + x));
    const auto smooth = SmoothMask<kWindows, kSide>(b, x, limit);
    if (None(smooth)) return values;  // busy windows need no sums
    __m128i low, high;
    WindowSums<kWindows, kSide>(b, x, low, high);
    const __m128i means = _mm_packus_epi32(mean.Of<kFixedPoint>(low), mean.Of<kFixedPoint>(high));
    return _mm_blendv_epi8(values, means, Words(smooth));
}

// The band row in one variant, chosen once outside the loop. The work rows
// and totals run on past W to the end of the block, so the last step is
// computed whole and only its columns below W are stored.
template <bool kFixedPoint, Windows kWindows, uint32_t kSide>
BITGRADE_SSE41 void BandRowWith(BandVariant<kFixedPoint, kWindows, kSide>, const BandRow& row, uint8_t* out) {
    const BandRow b = row;  // a copy that the stores below cannot alias
    const MeanVec mean(*b.mean);
    const LimitVec limit(b);
    uint32_t x = 0;
    for (; x + 8 <= b.W; x += 8)
        _mm_storeu_si128((__m128i*)(out + 2 * x), BandStep<kFixedPoint, kWindows, kSide>(b, x, mean, limit));
    if (x < b.W) StorePart(out + 2 * x, BandStep<kFixedPoint, kWindows, kSide>(b, x, mean, limit), 2 * (b.W - x));
}

template <Windows kWindows>
BITGRADE_SSE41 inline __m128i BandMapStep(const BandRow& b, uint32_t x, __m128i marks, const LimitVec& limit) {
    const __m128i map = _mm_or_si128(_mm_loadl_epi64((const __m128i*)(b.edges + x)), marks);
    return _mm_andnot_si128(Bytes(SmoothMask<kWindows>(b, x, limit)), map);
}

template <Windows kWindows>
BITGRADE_SSE41 void BandMapRowWith(WindowsTag<kWindows>, const BandRow& row, uint8_t* out) {
    const BandRow b = row;  // a copy that the stores below cannot alias
    const __m128i marks = Load(kFlatMarks);
    const LimitVec limit(b);
    uint32_t x = 0;
    for (; x + 8 <= b.W; x += 8) _mm_storel_epi64((__m128i*)(out + x), BandMapStep<kWindows>(b, x, marks, limit));
    if (x < b.W) StorePart(out + x, BandMapStep<kWindows>(b, x, marks, limit), b.W - x);
}

}  // namespace

BITGRADE_SSE41 void BandRowVec(const BandRow& b, uint8_t* out) {
    WithBandVariant(b, [&](auto variant) { BandRowWith(variant, b, out); });
}

BITGRADE_SSE41 void BandMapRowVec(const BandRow& b, uint8_t* out) {
    WithWindows(b, [&](auto windows) { BandMapRowWith(windows, b, out); });
}

// Each step's own prefix sums do not wait for the step before; only the
// totals carried from step to step do, one addition a step.
BITGRADE_SSE41 void RunningSumsVec(const ColumnTotals& totals, const RunningTotals& running, uint32_t n) {
    uint32_t* const sums = running.sums;  // copies that the stores below cannot alias
    uint16_t* const counts = running.counts;
    __m128i sumBefore = _mm_setzero_si128(), countBefore = _mm_setzero_si128();
    for (uint32_t x = 0; x < n; x += 8) {
        const __m128i countSteps = PrefixSum16(_mm_cvtepu8_epi16(_mm_loadl_epi64((const __m128i*)(totals.counts + x))));
        _mm_store_si128((__m128i*)(counts + x), _mm_add_epi16(countSteps, countBefore));
        countBefore = _mm_add_epi16(countBefore, BroadcastLast16(countSteps));
        const __m128i low = PrefixSum32(_mm_load_si128((const __m128i*)(totals.sums + x)));
        const __m128i high = _mm_add_epi32(PrefixSum32(_mm_load_si128((const __m128i*)(totals.sums + x + 4))),
                                           _mm_shuffle_epi32(low, 0xFF));
        _mm_store_si128((__m128i*)(sums + x), _mm_add_epi32(low, sumBefore));
        _mm_store_si128((__m128i*)(sums + x + 4), _mm_add_epi32(high, sumBefore));
        sumBefore = _mm_add_epi32(sumBefore, _mm_shuffle_epi32(high, 0xFF));
    }
}

// As RunningSumsVec, from a row's values and edge marks, onto the row above.
BITGRADE_SSE41 void IntegrateRowVec(const uint16_t* values, const uint8_t* edges, uint32_t columns,
                                    const RunningTotals& above, const RunningTotals& out) {
    uint32_t* const sums = out.sums;  // copies that the stores below cannot alias
    uint16_t* const counts = out.counts;
    const __m128i zero = _mm_setzero_si128();
    __m128i sumBefore = zero, countBefore = zero;
    for (uint32_t x = 0; x < columns; x += 8) {
        const __m128i marks = _mm_sub_epi8(zero, _mm_loadl_epi64((const __m128i*)(edges + x)));  // 0xFF -> 1
        const __m128i countSteps = PrefixSum16(_mm_cvtepu8_epi16(marks));
        const __m128i countAbove = _mm_load_si128((const __m128i*)(above.counts + x));
        _mm_store_si128((__m128i*)(counts + x), _mm_add_epi16(_mm_add_epi16(countSteps, countBefore), countAbove));
        countBefore = _mm_add_epi16(countBefore, BroadcastLast16(countSteps));
        const __m128i v = _mm_load_si128((const __m128i*)(values + x));
        const __m128i low = PrefixSum32(_mm_unpacklo_epi16(v, zero));
        const __m128i high = _mm_add_epi32(PrefixSum32(_mm_unpackhi_epi16(v, zero)), _mm_shuffle_epi32(low, 0xFF));
        const __m128i* sumAbove = (const __m128i*)(above.sums + x);
        _mm_store_si128((__m128i*)(sums + x), _mm_add_epi32(_mm_add_epi32(low, sumBefore), _mm_load_si128(sumAbove)));
        _mm_store_si128((__m128i*)(sums + x + 4),
                        _mm_add_epi32(_mm_add_epi32(high, sumBefore), _mm_load_si128(sumAbove + 1)));
        sumBefore = _mm_add_epi32(sumBefore, _mm_shuffle_epi32(high, 0xFF));
    }
}

BITGRADE_SSE41 void FillBlocksVec(void* dst, uint8_t value, uint32_t bytes) {
    const __m128i fill = _mm_set1_epi8((char)value);
    __m128i* at = (__m128i*)dst;
    for (uint32_t k = 0; k < bytes / 16; ++k) _mm_store_si128(at + k, fill);
}

// Eight codes of columns x.. stored: bytes at shift 8, else 16-bit.
BITGRADE_SSE41 inline void StoreCodes(uint8_t* out, uint32_t x, __m128i codes, uint32_t shift) {
    if (shift == 8) _mm_storel_epi64((__m128i*)(out + x), _mm_packus_epi16(codes, codes));
    else _mm_storeu_si128((__m128i*)(out + 2 * x), codes);
}

// Each step loads its values before it stores its codes, which lie at or
// before them, so that the row can be reduced in place.
BITGRADE_SSE41 void ReduceColumnsVec(const uint16_t* in, uint32_t from, uint32_t W, uint32_t shift,
                                     const uint16_t* thresholds, uint8_t* out) {
    const __m128i count = _mm_cvtsi32_si128((int)shift);
    uint32_t x = from;
    for (; x + 8 <= W; x += 8) {
        const __m128i values = _mm_loadu_si128((const __m128i*)(in + x));
        const __m128i limits = _mm_loadu_si128((const __m128i*)(thresholds + x % kMatrixSide));
        StoreCodes(out, x, _mm_srl_epi16(_mm_adds_epu16(values, limits), count), shift);
    }
    ReduceColumns(in, x, W, shift, thresholds, out);
}

// Each step stores its codes after it has loaded its values, as the
// reduction does, so that a row can be diffused in place.
BITGRADE_SSE41 void DiffuseColumnsVec(const uint16_t* in, uint32_t from, uint32_t W, uint32_t shift, uint16_t start,
                                      uint8_t* out) {
    const __m128i count = _mm_cvtsi32_si128((int)shift), mask = _mm_set1_epi16((short)((1u << shift) - 1));
    const __m128i top = _mm_set1_epi16((short)(0xFFFFu >> shift));
    __m128i before = _mm_set1_epi16((short)start);  // start plus the values of the steps before
    uint32_t x = from;
    for (; x + 8 <= W; x += 8) {
        const __m128i values = _mm_loadu_si128((const __m128i*)(in + x));
        const __m128i through = PrefixSum16(values);
        const __m128i carried = _mm_and_si128(_mm_add_epi16(_mm_sub_epi16(through, values), before), mask);
        // (value + carried) >> shift, without the 17th bit: the high part
        // and the carry out of the low part.
        const __m128i low = _mm_srl_epi16(_mm_add_epi16(_mm_and_si128(values, mask), carried), count);
        StoreCodes(out, x, _mm_min_epu16(_mm_add_epi16(_mm_srl_epi16(values, count), low), top), shift);
        before = _mm_add_epi16(before, BroadcastLast16(through));
    }
    DiffuseColumns(in, x, W, shift, (uint16_t)_mm_cvtsi128_si32(before), out);
}

// Four columns' output from their offset sums, tap counts and samples, in
// 32-bit lanes: the mean through single floats, whose quotient of a sum
// below 2^24 by a count up to 33 rounds down to the integer one.
BITGRADE_SSE41 inline __m128i TapMeans(__m128i sums, __m128i counts, __m128i centres, const Levels& levels) {
    const __m128i shift = _mm_cvtsi32_si128(levels.shift);
    const __m128 quotient = _mm_div_ps(_mm_cvtepi32_ps(_mm_sll_epi32(sums, shift)), _mm_cvtepi32_ps(counts));
    const __m128i offset =
        _mm_min_epi32(_mm_max_epi32(_mm_cvttps_epi32(_mm_floor_ps(quotient)), _mm_set1_epi32(-levels.below)),
                      _mm_set1_epi32(levels.above));
    return _mm_add_epi32(_mm_sll_epi32(centres, shift), offset);
}

// Eight columns' output, as 16-bit little-endian values, from 16-bit lanes of
// offset sums (signed), tap counts and samples.
BITGRADE_SSE41 inline void StoreTapMeans(__m128i sums, __m128i counts, __m128i centres, const Levels& levels,
                                         uint8_t* out) {
    const __m128i low =
        TapMeans(_mm_cvtepi16_epi32(sums), _mm_cvtepu16_epi32(counts), _mm_cvtepu16_epi32(centres), levels);
    const __m128i high =
        TapMeans(_mm_cvtepi16_epi32(_mm_srli_si128(sums, 8)), _mm_cvtepu16_epi32(_mm_srli_si128(counts, 8)),
                 _mm_cvtepu16_epi32(_mm_srli_si128(centres, 8)), levels);
    _mm_storeu_si128((__m128i*)out, _mm_packus_epi32(low, high));
}

// The offsets of eight columns' taps within a level summed in 16-bit lanes
// (at most 32 taps of less than 384), and their counts, the sample's own
// among them.
BITGRADE_SSE41 void TapColumnsVec(const TapRow& t, uint32_t from, uint32_t W, const Levels& levels, uint8_t* out) {
    const __m128i within = _mm_set1_epi16((short)(levels.near - 1)), zero = _mm_setzero_si128();
    const uint16_t* centres = (const uint16_t*)t.centre;
    uint32_t x = from;
    for (; x + 8 <= W; x += 8) {
        const __m128i centre = _mm_loadu_si128((const __m128i*)(centres + x));
        __m128i sums = zero, counts = _mm_set1_epi16(1);
        for (int k = 0; k < Taps::kMost; ++k) {
            const __m128i s = _mm_loadu_si128((const __m128i*)((const uint16_t*)t.rows[k] + x + t.dx[k]));
            const __m128i size = _mm_sub_epi16(_mm_max_epu16(s, centre), _mm_min_epu16(s, centre));
            const __m128i taken = _mm_cmpeq_epi16(_mm_subs_epu16(size, within), zero);
            sums = _mm_add_epi16(sums, _mm_and_si128(taken, _mm_sub_epi16(s, centre)));
            counts = _mm_sub_epi16(counts, taken);
        }
        StoreTapMeans(sums, counts, centre, levels, out + 2 * x);
    }
    TapColumns<uint16_t>(t, x, W, levels, out);
}

// The low eight columns of byte lanes of (d + 1) sums, counts and samples.
BITGRADE_SSE41 inline void StoreByteTapMeans(__m128i sums, __m128i counts, __m128i centres, const Levels& levels,
                                             uint8_t* out) {
    const __m128i n = _mm_cvtepu8_epi16(counts);
    StoreTapMeans(_mm_sub_epi16(_mm_cvtepu8_epi16(sums), n), _mm_add_epi16(n, _mm_set1_epi16(1)),
                  _mm_cvtepu8_epi16(centres), levels, out);
}

// Bytes, sixteen columns a step: a tap within the level, its difference d
// from the sample -1, 0 or 1, adds d + 1 (at most 64 in all) and one to the
// count (at most 32), so that byte lanes hold both. The difference is taken
// signed and saturating (both sides biased by 128), so that no far tap
// wraps into the level.
BITGRADE_SSE41 void TapColumns8Vec(const TapRow& t, uint32_t from, uint32_t W, const Levels& levels, uint8_t* out) {
    const __m128i one = _mm_set1_epi8(1), two = _mm_set1_epi8(2), zero = _mm_setzero_si128();
    const __m128i bias = _mm_set1_epi8((char)0x80);
    const uint8_t* centres = (const uint8_t*)t.centre;
    uint32_t x = from;
    for (; x + 16 <= W; x += 16) {
        const __m128i centre = _mm_loadu_si128((const __m128i*)(centres + x)),
                      signedCentre = _mm_xor_si128(centre, bias);
        __m128i sums = zero, counts = zero;
        for (int k = 0; k < Taps::kMost; ++k) {
            const __m128i s = _mm_loadu_si128((const __m128i*)((const uint8_t*)t.rows[k] + x + t.dx[k]));
            const __m128i up = _mm_add_epi8(_mm_subs_epi8(_mm_xor_si128(s, bias), signedCentre), one);
            const __m128i taken = _mm_cmpeq_epi8(_mm_min_epu8(up, two), up);
            sums = _mm_add_epi8(sums, _mm_and_si128(taken, up));
            counts = _mm_sub_epi8(counts, taken);
        }
        StoreByteTapMeans(sums, counts, centre, levels, out + 2 * x);
        StoreByteTapMeans(_mm_srli_si128(sums, 8), _mm_srli_si128(counts, 8), _mm_srli_si128(centre, 8), levels,
                          out + 2 * x + 16);
    }
    TapColumns<uint8_t>(t, x, W, levels, out);
}

namespace {

BITGRADE_SSE41 void TapsRowVec(const TapRow& t, uint32_t W, const Levels& levels, uint8_t* out) {
    TapColumnsVec(t, 0, W, levels, out);
}

BITGRADE_SSE41 void TapsRow8Vec(const TapRow& t, uint32_t W, const Levels& levels, uint8_t* out) {
    TapColumns8Vec(t, 0, W, levels, out);
}

BITGRADE_SSE41 void DiffuseRowVec(const uint16_t* in, uint32_t W, uint32_t shift, uint8_t* out) {
    DiffuseColumnsVec(in, 0, W, shift, HalfStep(shift), out);
}

BITGRADE_SSE41 void ReduceRowVec(const uint16_t* in, uint32_t W, uint32_t shift, const uint16_t* thresholds,
                                 uint8_t* out) {
    ReduceColumnsVec(in, 0, W, shift, thresholds, out);
}

}  // namespace

// Bound by name: two kernels of one signature cannot change places.
constexpr RowKernels Sse41Kernels() {
    RowKernels k = {};
    k.isa = "sse4.1";
    k.runningSumsFrom = 5;
    k.classifyRow = ClassifyRowVec;
    k.classifyRow16 = ClassifyRow16Vec;
    k.slideWindow = SlideWindowVec;
    k.runningSums = RunningSumsVec;
    k.integrateRow = IntegrateRowVec;
    k.tapsRow = TapsRowVec;
    k.tapsRow8 = TapsRow8Vec;
    k.bandRow = BandRowVec;
    k.bandMapRow = BandMapRowVec;
    k.reduceRow = ReduceRowVec;
    k.diffuseRow = DiffuseRowVec;
    return k;
}

const RowKernels kSse41Kernels = Sse41Kernels();

}  // namespace bitgrade
