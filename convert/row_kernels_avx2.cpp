// The AVX2 row kernels of level 3, the vector converter: the SSE4.1 kernels'
// twins, 32 bytes or sixteen 16-bit lanes at a time. Every function here is compiled for
// AVX2 alone and is chosen only on processors (and systems) that run it.
#include "row_kernels_sse41.h"

#include <immintrin.h>
#if defined(_MSC_VER) && !defined(__AVX2__)
// In Microsoft mode the compiler's immintrin.h declares the AVX and AVX2
// intrinsics only for files compiled for them; these functions carry the
// target attribute instead.
#include <avxintrin.h>
// (after the AVX declarations that it builds on)
#include <avx2intrin.h>
#endif

#define BITGRADE_AVX2 __attribute__((target("avx2")))

namespace bitgrade {

namespace {

BITGRADE_AVX2 inline __m256i LoadU(const void* at) { return _mm256_loadu_si256((const __m256i*)at); }
BITGRADE_AVX2 inline void StoreU(void* at, __m256i v) { _mm256_storeu_si256((__m256i*)at, v); }

// As the SSE4.1 twin's NeighbourStats, for 32 pixels.
struct NeighbourStats {
    __m256i rise, fall, net;
};

BITGRADE_AVX2 inline NeighbourStats Neighbours(__m256i p, const uint8_t* above, const uint8_t* row,
                                               const uint8_t* below) {
    const __m256i n[8] = {LoadU(above - 1), LoadU(above),     LoadU(above + 1), LoadU(row - 1),
                          LoadU(row + 1),   LoadU(below - 1), LoadU(below),     LoadU(below + 1)};
    __m256i most = n[0], least = n[0], sum = n[0];
    for (int k = 1; k < 8; ++k) {
        most = _mm256_max_epu8(most, n[k]);
        least = _mm256_min_epu8(least, n[k]);
        sum = _mm256_add_epi8(sum, n[k]);
    }
    const __m256i eightP = _mm256_and_si256(_mm256_slli_epi16(p, 3), _mm256_set1_epi8((char)0xF8));
    return {_mm256_subs_epu8(most, p), _mm256_subs_epu8(p, least),
            _mm256_sub_epi8(_mm256_add_epi8(sum, _mm256_set1_epi8(kNetBias)), eightP)};
}

// Bytes in the order that unpacking within 128-bit halves puts back in
// place: lanes 0-7, 16-23, 8-15, 24-31.
BITGRADE_AVX2 inline __m256i ForUnpack(__m256i v) { return _mm256_permute4x64_epi64(v, 0xD8); }

BITGRADE_AVX2 void ClassifyRowAvx2(const uint8_t* above, const uint8_t* row, const uint8_t* below, uint32_t columns,
                                   uint16_t* values, uint8_t* edges) {
    const __m256i ramp = _mm256_broadcastsi128_si256(Load(kNetRampBytes));
    const __m256i one = _mm256_set1_epi8(1), two = _mm256_set1_epi8(2);
    const __m256i indexMax = _mm256_set1_epi8(kNetIndexMax), zero = _mm256_setzero_si256();
    const uint32_t whole = columns / 32 * 32;
    for (uint32_t i = 0; i < whole; i += 32) {
        const __m256i p = LoadU(row + i);
        const NeighbourStats s = Neighbours(p, above + i, row + i, below + i);
        const __m256i edge = _mm256_cmpgt_epi8(_mm256_min_epu8(_mm256_adds_epu8(s.rise, s.fall), two), one);
        const __m256i fraction = _mm256_andnot_si256(edge, _mm256_shuffle_epi8(ramp, _mm256_min_epu8(s.net, indexMax)));
        const __m256i high = ForUnpack(_mm256_add_epi8(p, _mm256_cmpgt_epi8(zero, fraction)));
        const __m256i low = ForUnpack(fraction);
        StoreU(values + i, _mm256_unpacklo_epi8(low, high));
        StoreU(values + i + 16, _mm256_unpackhi_epi8(low, high));
        StoreU(edges + i, edge);
    }
    if (whole < columns) ClassifyRowVec(above + whole, row + whole, below + whole, 16, values + whole, edges + whole);
}

// The window mean of eight sums, as MeanVec.
struct Mean8 {
    BITGRADE_AVX2 explicit Mean8(const BoxMean& mean)
        : reciprocal(_mm256_set1_epi32((int)mean.reciprocal)),
          inverse(_mm256_set1_pd(1.0 / (double)mean.area)),
          half(_mm256_set1_pd(0.5 / (double)mean.area)) {}

    template <bool kFixedPoint>
    BITGRADE_AVX2 __m256i Of(__m256i sums) const {
        if constexpr (kFixedPoint) {
            const __m256i even = _mm256_mul_epu32(sums, reciprocal);
            const __m256i odd = _mm256_mul_epu32(_mm256_shuffle_epi32(sums, 0xF5), reciprocal);
            return _mm256_blend_epi32(_mm256_srli_epi64(even, 24), _mm256_slli_epi64(odd, 8), 0xAA);
        }
        const __m256i signedSums = _mm256_xor_si256(sums, _mm256_set1_epi32((int)0x80000000));
        const __m256d offset = _mm256_set1_pd(2147483648.0);
        const __m256d lo = _mm256_add_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(signedSums)), offset);
        const __m256d hi = _mm256_add_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(signedSums, 1)), offset);
        return _mm256_setr_m128i(_mm256_cvttpd_epi32(_mm256_add_pd(_mm256_mul_pd(lo, inverse), half)),
                                 _mm256_cvttpd_epi32(_mm256_add_pd(_mm256_mul_pd(hi, inverse), half)));
    }

    __m256i reciprocal;
    __m256d inverse, half;
};

// The edge marks of sixteen 16-bit lanes of flat masks, as bytes.
BITGRADE_AVX2 inline void StoreEdges16(__m256i flat, uint8_t* edges) {
    const __m256i edge = _mm256_xor_si256(flat, _mm256_set1_epi16(-1));
    _mm_storeu_si128((__m128i*)edges,
                     _mm256_castsi256_si128(_mm256_permute4x64_epi64(_mm256_packs_epi16(edge, edge), 0x08)));
}

// As ClassifyOneCodeLevels of the SSE4.1 kernels, sixteen columns a step.
BITGRADE_AVX2 void ClassifyOneCodeLevelsAvx2(const uint16_t* above, const uint16_t* row, const uint16_t* below,
                                             uint32_t columns, const Levels& levels, uint16_t* values, uint8_t* edges) {
    const __m256i two = _mm256_set1_epi16(2), zero = _mm256_setzero_si256();
    const __m256i fractions = _mm256_broadcastsi128_si256(FractionBytes(levels));
    const __m128i shift = _mm_cvtsi32_si128(levels.shift);
    for (uint32_t i = 0; i < columns; i += 16) {
        const __m256i p = LoadU(row + i);
        const __m256i n[8] = {LoadU(above + i - 1), LoadU(above + i),     LoadU(above + i + 1), LoadU(row + i - 1),
                              LoadU(row + i + 1),   LoadU(below + i - 1), LoadU(below + i),     LoadU(below + i + 1)};
        __m256i sum = zero, most = p, least = p;
        for (const __m256i& v : n) {
            sum = _mm256_add_epi16(sum, v);
            most = _mm256_max_epu16(most, v);
            least = _mm256_min_epu16(least, v);
        }
        const __m256i spread = _mm256_adds_epu16(_mm256_subs_epu16(most, p), _mm256_subs_epu16(p, least));
        const __m256i flat = _mm256_cmpgt_epi16(two, _mm256_min_epu16(spread, two));
        const __m256i net = _mm256_sub_epi16(sum, _mm256_slli_epi16(p, 3));
        const __m256i ups = _mm256_max_epi16(net, zero);
        const __m256i downs = _mm256_max_epi16(_mm256_sub_epi16(zero, net), zero);
        const __m256i fraction =
            _mm256_sub_epi16(_mm256_shuffle_epi8(fractions, ups), _mm256_shuffle_epi8(fractions, downs));
        StoreU(values + i, _mm256_add_epi16(_mm256_sll_epi16(p, shift), _mm256_and_si256(flat, fraction)));
        StoreEdges16(flat, edges + i);
    }
}

// As ClassifyRow16Vec, sixteen columns a step.
BITGRADE_AVX2 void ClassifyRow16Avx2(const uint16_t* above, const uint16_t* row, const uint16_t* below,
                                     uint32_t columns, const Levels& levels, uint16_t* values, uint8_t* edges) {
    if (levels.near == 2) return ClassifyOneCodeLevelsAvx2(above, row, below, columns, levels, values, edges);
    const __m256i equal = _mm256_set1_epi16((short)(levels.equal - 1));
    const __m256i near = _mm256_set1_epi16((short)(levels.near - 1));
    const __m256i one = _mm256_set1_epi16(1), zero = _mm256_setzero_si256();
    const __m256i fractions = _mm256_broadcastsi128_si256(FractionBytes(levels));
    const __m128i shift = _mm_cvtsi32_si128(levels.shift);
    for (uint32_t i = 0; i < columns; i += 16) {
        const __m256i p = LoadU(row + i);
        const __m256i upFrom = _mm256_adds_epu16(p, equal), downFrom = _mm256_subs_epu16(p, equal);
        const __m256i n[8] = {LoadU(above + i - 1), LoadU(above + i),     LoadU(above + i + 1), LoadU(row + i - 1),
                              LoadU(row + i + 1),   LoadU(below + i - 1), LoadU(below + i),     LoadU(below + i + 1)};
        __m256i ups = zero, downs = zero, most = p, least = p;
        for (const __m256i& v : n) {
            ups = _mm256_add_epi16(ups, _mm256_min_epu16(_mm256_subs_epu16(v, upFrom), one));
            downs = _mm256_add_epi16(downs, _mm256_min_epu16(_mm256_subs_epu16(downFrom, v), one));
            most = _mm256_max_epu16(most, v);
            least = _mm256_min_epu16(least, v);
        }
        const __m256i farAbove = _mm256_subs_epu16(most, _mm256_adds_epu16(p, near));
        const __m256i farBelow = _mm256_subs_epu16(_mm256_subs_epu16(p, near), least);
        const __m256i both = _mm256_and_si256(_mm256_min_epu16(ups, one), _mm256_min_epu16(downs, one));
        const __m256i flat = _mm256_cmpeq_epi16(_mm256_or_si256(_mm256_or_si256(farAbove, farBelow), both), zero);
        const __m256i fraction =
            _mm256_sub_epi16(_mm256_shuffle_epi8(fractions, ups), _mm256_shuffle_epi8(fractions, downs));
        StoreU(values + i, _mm256_add_epi16(_mm256_sll_epi16(p, shift), _mm256_and_si256(flat, fraction)));
        StoreEdges16(flat, edges + i);
    }
}

// As SlideWindowVec, sixteen columns a step.
BITGRADE_AVX2 void SlideWindowAvx2(const ColumnTotals& t, const uint16_t* enteringValues, const uint8_t* enteringEdges,
                                   const uint16_t* leavingValues, const uint8_t* leavingEdges, uint32_t columns) {
    uint32_t* const sums = t.sums;  // copies that the stores below cannot alias
    uint8_t* const counts = t.counts;
    for (uint32_t x = 0; x < columns; x += 16) {
        for (uint32_t half = 0; half < 16; half += 8) {
            const __m256i in = _mm256_cvtepu16_epi32(_mm_load_si128((const __m128i*)(enteringValues + x + half)));
            const __m256i out = _mm256_cvtepu16_epi32(_mm_load_si128((const __m128i*)(leavingValues + x + half)));
            StoreU(sums + x + half, _mm256_add_epi32(LoadU(sums + x + half), _mm256_sub_epi32(in, out)));
        }
        SlideCounts16(counts + x, enteringEdges + x, leavingEdges + x);
    }
}

// As the SSE4.1 twins, for sixteen columns: the counts of a window summed
// column by column take one 16-byte load per column.
struct Limit16 {
    BITGRADE_AVX2 explicit Limit16(const BandRow& b)
        : words(_mm256_set1_epi16((short)b.limit)), bytes(_mm_set1_epi8(ByteLimit(b))) {}
    __m256i words;
    __m128i bytes;
};

// Which of sixteen columns are smoothed: a byte mask from counts added up
// column by column, a 16-bit lane mask from running sums. Each is widened
// or narrowed only where needed, after the test for none.
struct ByteMask16 {
    __m128i v;
};
struct WordMask16 {
    __m256i v;
};
BITGRADE_AVX2 inline bool None(ByteMask16 m) { return _mm_testz_si128(m.v, m.v); }
BITGRADE_AVX2 inline bool None(WordMask16 m) { return _mm256_testz_si256(m.v, m.v); }
BITGRADE_AVX2 inline __m256i Words(ByteMask16 m) { return _mm256_cvtepi8_epi16(m.v); }
BITGRADE_AVX2 inline __m256i Words(WordMask16 m) { return m.v; }
BITGRADE_AVX2 inline __m128i Bytes(ByteMask16 m) { return m.v; }
BITGRADE_AVX2 inline __m128i Bytes(WordMask16 m) {
    return _mm256_castsi256_si128(_mm256_permute4x64_epi64(_mm256_packs_epi16(m.v, m.v), 0x08));
}

// As RunningWindows of the SSE4.1 kernels.
// Lanes of running sums of 16 or 32 bits subtracted.
template <class T>
BITGRADE_AVX2 inline __m256i Subtract(__m256i a, __m256i b) {
    if constexpr (sizeof(T) == 2) return _mm256_sub_epi16(a, b);
    else return _mm256_sub_epi32(a, b);
}

template <class T>
BITGRADE_AVX2 inline __m256i RunningWindow(const BandRow& b, const T* sums, uint32_t x) {
    const T* at = sums + x - b.r;
    return Subtract<T>(LoadU(at + 2 * b.r), LoadU(at - 1));
}

template <Windows kWindows, class T>
BITGRADE_AVX2 inline __m256i RunningWindows(const BandRow& b, const T* running, const T* top, uint32_t x) {
    if constexpr (kWindows == Windows::kIntegrals)
        return Subtract<T>(RunningWindow(b, running, x), RunningWindow(b, top, x));
    else return RunningWindow(b, running, x);
}

template <Windows kWindows, uint32_t kSide = 0>
BITGRADE_AVX2 inline auto SmoothMask(const BandRow& b, uint32_t x, const Limit16& limit) {
    if constexpr (kWindows != Windows::kColumns) {
        const __m256i count = RunningWindows<kWindows>(b, b.bottom.counts, b.top.counts, x);
        return WordMask16{_mm256_cmpeq_epi16(_mm256_min_epu16(count, limit.words), count)};
    } else {
        return ByteMask16{SmoothBytes<16, kSide>(b, x, limit.bytes)};
    }
}

template <Windows kWindows, uint32_t kSide>
BITGRADE_AVX2 inline void WindowSums(const BandRow& b, uint32_t x, __m256i& low, __m256i& high) {
    if constexpr (kWindows != Windows::kColumns) {
        low = RunningWindows<kWindows>(b, b.bottom.sums, b.top.sums, x);
        high = RunningWindows<kWindows>(b, b.bottom.sums, b.top.sums, x + 8);
        return;
    }
    const uint32_t* sums = b.totals.sums + x - b.r;
    low = high = _mm256_setzero_si256();
    const uint32_t side = WindowSide<kSide>(b);
    for (uint32_t k = 0; k < side; ++k) {
        low = _mm256_add_epi32(low, LoadU(sums + k));
        high = _mm256_add_epi32(high, LoadU(sums + k + 8));
    }
}

// The band row from column `from` on, moved for the SSE4.1 kernels that
// finish a row ending half-way through a block.
BandRow From(const BandRow& b, uint32_t from) {
    BandRow rest = b;
    rest.totals.sums += from;
    rest.totals.counts += from;
    if (b.windows != Windows::kColumns) {
        rest.bottom.sums += from;
        rest.bottom.counts += from;
    }
    if (b.windows == Windows::kIntegrals) {
        rest.top.sums += from;
        rest.top.counts += from;
    }
    rest.values += from;
    rest.edges += from;
    rest.W -= from;
    return rest;
}

// The band's whole 16-column blocks in one variant, chosen once outside the
// loop.
template <bool kFixedPoint, Windows kWindows, uint32_t kSide>
BITGRADE_AVX2 void BandBlocks(BandVariant<kFixedPoint, kWindows, kSide>, const BandRow& row, uint32_t whole,
                              uint8_t* out) {
    const BandRow b = row;  // a copy that the stores below cannot alias (so in BandMapBlocks)
    const Mean8 mean(*b.mean);
    const Limit16 limit(b);
    for (uint32_t x = 0; x < whole; x += 16) {
        const __m256i values = LoadU(b.values + x);
        const auto smooth = SmoothMask<kWindows, kSide>(b, x, limit);
        if (None(smooth)) {  // busy windows need no sums
            StoreU(out + 2 * x, values);
            continue;
        }
        __m256i low, high;
        WindowSums<kWindows, kSide>(b, x, low, high);
        // packus works within halves: put the four-lane groups back in order.
        const __m256i means =
            _mm256_permute4x64_epi64(_mm256_packus_epi32(mean.Of<kFixedPoint>(low), mean.Of<kFixedPoint>(high)), 0xD8);
        StoreU(out + 2 * x, _mm256_blendv_epi8(values, means, Words(smooth)));
    }
}

BITGRADE_AVX2 void BandRowAvx2(const BandRow& b, uint8_t* out) {
    const uint32_t whole = b.W / 16 * 16;
    WithBandVariant(b, [&](auto variant) { BandBlocks(variant, b, whole, out); });
    if (whole < b.W) BandRowVec(From(b, whole), out + 2 * whole);
}

template <Windows kWindows>
BITGRADE_AVX2 void BandMapBlocks(WindowsTag<kWindows>, const BandRow& row, uint32_t whole, uint8_t* out) {
    const BandRow b = row;
    const __m128i marks = Load(kFlatMarks);
    const Limit16 limit(b);
    for (uint32_t x = 0; x < whole; x += 16) {
        const __m128i map = _mm_or_si128(_mm_loadu_si128((const __m128i*)(b.edges + x)), marks);
        _mm_storeu_si128((__m128i*)(out + x), _mm_andnot_si128(Bytes(SmoothMask<kWindows>(b, x, limit)), map));
    }
}

BITGRADE_AVX2 void BandMapRowAvx2(const BandRow& b, uint8_t* out) {
    const uint32_t whole = b.W / 16 * 16;
    WithWindows(b, [&](auto windows) { BandMapBlocks(windows, b, whole, out); });
    if (whole < b.W) BandMapRowVec(From(b, whole), out + whole);
}

// The low half moved up into the high half, under a zero low half. An
// insert, rather than a shuffle of halves (vperm2i128), is cheap on the cores
// that split 256-bit operations in two as well.
BITGRADE_AVX2 inline __m256i LowHalfUp(__m256i v) {
    return _mm256_inserti128_si256(_mm256_setzero_si256(), _mm256_castsi256_si128(v), 1);
}

// Inclusive prefix sums across all lanes: within each half, then the low
// half's total carried into the high half.
BITGRADE_AVX2 inline __m256i PrefixSum16(__m256i v) {
    v = _mm256_add_epi16(v, _mm256_slli_si256(v, 2));
    v = _mm256_add_epi16(v, _mm256_slli_si256(v, 4));
    v = _mm256_add_epi16(v, _mm256_slli_si256(v, 8));
    const __m256i last = _mm256_shufflehi_epi16(v, 0xFF);
    return _mm256_add_epi16(v, LowHalfUp(_mm256_unpackhi_epi64(last, last)));
}

BITGRADE_AVX2 inline __m256i PrefixSum32(__m256i v) {
    v = _mm256_add_epi32(v, _mm256_slli_si256(v, 4));
    v = _mm256_add_epi32(v, _mm256_slli_si256(v, 8));
    return _mm256_add_epi32(v, LowHalfUp(_mm256_shuffle_epi32(v, 0xFF)));
}

BITGRADE_AVX2 inline __m256i BroadcastLast16(__m256i v) {
    return _mm256_permute4x64_epi64(_mm256_shufflehi_epi16(v, 0xFF), 0xFF);
}

BITGRADE_AVX2 inline __m256i BroadcastLast32(__m256i v) { return _mm256_permutevar8x32_epi32(v, _mm256_set1_epi32(7)); }

// As RunningSumsVec, sixteen columns a step.
BITGRADE_AVX2 void RunningSumsAvx2(const ColumnTotals& totals, const RunningTotals& running, uint32_t n) {
    uint32_t* const sums = running.sums;  // copies that the stores below cannot alias
    uint16_t* const counts = running.counts;
    __m256i sumBefore = _mm256_setzero_si256(), countBefore = _mm256_setzero_si256();
    for (uint32_t x = 0; x < n; x += 16) {
        const __m256i countSteps =
            PrefixSum16(_mm256_cvtepu8_epi16(_mm_load_si128((const __m128i*)(totals.counts + x))));
        StoreU(counts + x, _mm256_add_epi16(countSteps, countBefore));
        countBefore = _mm256_add_epi16(countBefore, BroadcastLast16(countSteps));
        const __m256i low = PrefixSum32(LoadU(totals.sums + x));
        const __m256i high = _mm256_add_epi32(PrefixSum32(LoadU(totals.sums + x + 8)), BroadcastLast32(low));
        StoreU(sums + x, _mm256_add_epi32(low, sumBefore));
        StoreU(sums + x + 8, _mm256_add_epi32(high, sumBefore));
        sumBefore = _mm256_add_epi32(sumBefore, BroadcastLast32(high));
    }
}

// As IntegrateRowVec, sixteen columns a step.
BITGRADE_AVX2 void IntegrateRowAvx2(const uint16_t* values, const uint8_t* edges, uint32_t columns,
                                    const RunningTotals& above, const RunningTotals& out) {
    uint32_t* const sums = out.sums;  // copies that the stores below cannot alias
    uint16_t* const counts = out.counts;
    __m256i sumBefore = _mm256_setzero_si256(), countBefore = _mm256_setzero_si256();
    for (uint32_t x = 0; x < columns; x += 16) {
        const __m128i marks = _mm_sub_epi8(_mm_setzero_si128(), _mm_load_si128((const __m128i*)(edges + x)));
        const __m256i countSteps = PrefixSum16(_mm256_cvtepu8_epi16(marks));
        StoreU(counts + x, _mm256_add_epi16(_mm256_add_epi16(countSteps, countBefore), LoadU(above.counts + x)));
        countBefore = _mm256_add_epi16(countBefore, BroadcastLast16(countSteps));
        const __m128i* v = (const __m128i*)(values + x);
        const __m256i low = PrefixSum32(_mm256_cvtepu16_epi32(_mm_load_si128(v)));
        const __m256i high =
            _mm256_add_epi32(PrefixSum32(_mm256_cvtepu16_epi32(_mm_load_si128(v + 1))), BroadcastLast32(low));
        StoreU(sums + x, _mm256_add_epi32(_mm256_add_epi32(low, sumBefore), LoadU(above.sums + x)));
        StoreU(sums + x + 8, _mm256_add_epi32(_mm256_add_epi32(high, sumBefore), LoadU(above.sums + x + 8)));
        sumBefore = _mm256_add_epi32(sumBefore, BroadcastLast32(high));
    }
}

// Sixteen codes of columns x.. stored: bytes at shift 8, else 16-bit.
BITGRADE_AVX2 inline void StoreCodes(uint8_t* out, uint32_t x, __m256i codes, uint32_t shift) {
    if (shift == 8)
        _mm_storeu_si128((__m128i*)(out + x),
                         _mm256_castsi256_si128(_mm256_permute4x64_epi64(_mm256_packus_epi16(codes, codes), 0xD8)));
    else StoreU(out + 2 * x, codes);
}

// Sixteen values a step, loaded before their codes, which lie at or before
// them, are stored; the SSE4.1 twin finishes the row.
BITGRADE_AVX2 void ReduceRowAvx2(const uint16_t* in, uint32_t W, uint32_t shift, const uint16_t* thresholds,
                                 uint8_t* out) {
    const __m128i count = _mm_cvtsi32_si128((int)shift);
    uint32_t x = 0;
    for (; x + 16 <= W; x += 16) {
        const __m256i limits = LoadU(thresholds + x % kMatrixSide);
        StoreCodes(out, x, _mm256_srl_epi16(_mm256_adds_epu16(LoadU(in + x), limits), count), shift);
    }
    ReduceColumnsVec(in, x, W, shift, thresholds, out);
}

// As DiffuseColumnsVec, sixteen values a step.
BITGRADE_AVX2 void DiffuseRowAvx2(const uint16_t* in, uint32_t W, uint32_t shift, uint8_t* out) {
    const __m128i count = _mm_cvtsi32_si128((int)shift);
    const __m256i mask = _mm256_set1_epi16((short)((1u << shift) - 1)),
                  top = _mm256_set1_epi16((short)(0xFFFFu >> shift));
    __m256i before = _mm256_set1_epi16((short)HalfStep(shift));
    uint32_t x = 0;
    for (; x + 16 <= W; x += 16) {
        const __m256i values = LoadU(in + x);
        const __m256i through = PrefixSum16(values);
        const __m256i carried = _mm256_and_si256(_mm256_add_epi16(_mm256_sub_epi16(through, values), before), mask);
        const __m256i low = _mm256_srl_epi16(_mm256_add_epi16(_mm256_and_si256(values, mask), carried), count);
        StoreCodes(out, x, _mm256_min_epu16(_mm256_add_epi16(_mm256_srl_epi16(values, count), low), top), shift);
        before = _mm256_add_epi16(before, BroadcastLast16(through));
    }
    DiffuseColumnsVec(in, x, W, shift, (uint16_t)_mm_cvtsi128_si32(_mm256_castsi256_si128(before)), out);
}

// As TapMeans of the SSE4.1 twin, eight columns.
BITGRADE_AVX2 inline __m256i TapMeans(__m256i sums, __m256i counts, __m256i centres, const Levels& levels) {
    const __m128i shift = _mm_cvtsi32_si128(levels.shift);
    const __m256 quotient =
        _mm256_div_ps(_mm256_cvtepi32_ps(_mm256_sll_epi32(sums, shift)), _mm256_cvtepi32_ps(counts));
    const __m256i offset = _mm256_min_epi32(
        _mm256_max_epi32(_mm256_cvttps_epi32(_mm256_floor_ps(quotient)), _mm256_set1_epi32(-levels.below)),
        _mm256_set1_epi32(levels.above));
    return _mm256_add_epi32(_mm256_sll_epi32(centres, shift), offset);
}

// Sixteen columns' output, as 16-bit little-endian values, from 16-bit
// lanes of offset sums (signed), tap counts and samples.
BITGRADE_AVX2 inline void StoreTapMeans(__m256i sums, __m256i counts, __m256i centres, const Levels& levels,
                                        uint8_t* out) {
    const __m256i low = TapMeans(_mm256_cvtepi16_epi32(_mm256_castsi256_si128(sums)),
                                 _mm256_cvtepu16_epi32(_mm256_castsi256_si128(counts)),
                                 _mm256_cvtepu16_epi32(_mm256_castsi256_si128(centres)), levels);
    const __m256i high = TapMeans(_mm256_cvtepi16_epi32(_mm256_extracti128_si256(sums, 1)),
                                  _mm256_cvtepu16_epi32(_mm256_extracti128_si256(counts, 1)),
                                  _mm256_cvtepu16_epi32(_mm256_extracti128_si256(centres, 1)), levels);
    // The pack works within 128-bit halves: columns 0-3, 8-11, 4-7, 12-15.
    StoreU(out, _mm256_permute4x64_epi64(_mm256_packus_epi32(low, high), 0xD8));
}

// As TapColumnsVec, sixteen columns a step.
BITGRADE_AVX2 void TapsRowAvx2(const TapRow& t, uint32_t W, const Levels& levels, uint8_t* out) {
    const __m256i within = _mm256_set1_epi16((short)(levels.near - 1)), zero = _mm256_setzero_si256();
    const uint16_t* centres = (const uint16_t*)t.centre;
    uint32_t x = 0;
    for (; x + 16 <= W; x += 16) {
        const __m256i centre = LoadU(centres + x);
        __m256i sums = zero, counts = _mm256_set1_epi16(1);
        for (int k = 0; k < Taps::kMost; ++k) {
            const __m256i s = LoadU((const uint16_t*)t.rows[k] + x + t.dx[k]);
            const __m256i size = _mm256_sub_epi16(_mm256_max_epu16(s, centre), _mm256_min_epu16(s, centre));
            const __m256i taken = _mm256_cmpeq_epi16(_mm256_subs_epu16(size, within), zero);
            sums = _mm256_add_epi16(sums, _mm256_and_si256(taken, _mm256_sub_epi16(s, centre)));
            counts = _mm256_sub_epi16(counts, taken);
        }
        StoreTapMeans(sums, counts, centre, levels, out + 2 * x);
    }
    TapColumnsVec(t, x, W, levels, out);
}

// As TapColumns8Vec, 32 columns a step.
BITGRADE_AVX2 void TapsRow8Avx2(const TapRow& t, uint32_t W, const Levels& levels, uint8_t* out) {
    const __m256i one = _mm256_set1_epi8(1), two = _mm256_set1_epi8(2), zero = _mm256_setzero_si256();
    const __m256i bias = _mm256_set1_epi8((char)0x80);
    const uint8_t* centres = (const uint8_t*)t.centre;
    uint32_t x = 0;
    for (; x + 32 <= W; x += 32) {
        const __m256i centre = LoadU(centres + x), signedCentre = _mm256_xor_si256(centre, bias);
        __m256i sums = zero, counts = zero;
        for (int k = 0; k < Taps::kMost; ++k) {
            const __m256i s = LoadU((const uint8_t*)t.rows[k] + x + t.dx[k]);
            const __m256i up = _mm256_add_epi8(_mm256_subs_epi8(_mm256_xor_si256(s, bias), signedCentre), one);
            const __m256i taken = _mm256_cmpeq_epi8(_mm256_min_epu8(up, two), up);
            sums = _mm256_add_epi8(sums, _mm256_and_si256(taken, up));
            counts = _mm256_sub_epi8(counts, taken);
        }
        for (int half = 0; half < 2; ++half) {
            const __m128i s = half ? _mm256_extracti128_si256(sums, 1) : _mm256_castsi256_si128(sums);
            const __m128i n = half ? _mm256_extracti128_si256(counts, 1) : _mm256_castsi256_si128(counts);
            const __m128i c = half ? _mm256_extracti128_si256(centre, 1) : _mm256_castsi256_si128(centre);
            const __m256i n16 = _mm256_cvtepu8_epi16(n);
            StoreTapMeans(_mm256_sub_epi16(_mm256_cvtepu8_epi16(s), n16), _mm256_add_epi16(n16, _mm256_set1_epi16(1)),
                          _mm256_cvtepu8_epi16(c), levels, out + 2 * (x + 16 * half));
        }
    }
    TapColumns8Vec(t, x, W, levels, out);
}

}  // namespace

// Bound by name: two kernels of one signature cannot change places.
constexpr RowKernels Avx2Kernels() {
    RowKernels k = {};
    k.isa = "avx2";
    k.runningSumsFrom = 6;
    k.classifyRow = ClassifyRowAvx2;
    k.classifyRow16 = ClassifyRow16Avx2;
    k.slideWindow = SlideWindowAvx2;
    k.runningSums = RunningSumsAvx2;
    k.integrateRow = IntegrateRowAvx2;
    k.tapsRow = TapsRowAvx2;
    k.tapsRow8 = TapsRow8Avx2;
    k.bandRow = BandRowAvx2;
    k.bandMapRow = BandMapRowAvx2;
    k.reduceRow = ReduceRowAvx2;
    k.diffuseRow = DiffuseRowAvx2;
    return k;
}

const RowKernels kAvx2Kernels = Avx2Kernels();

}  // namespace bitgrade
