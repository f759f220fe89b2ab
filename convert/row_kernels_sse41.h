// SSE4.1 twins of the scalar row kernels, sixteen bytes or eight 16-bit
// lanes at a time.
// Every function here is compiled for SSE4.1 alone, so the rest of the
// program (and the DLL) still runs on processors without it.
#pragma once

#include <smmintrin.h>

#include "vector_kernels.h"

#define BITGRADE_SSE41 __attribute__((target("sse4.1")))

namespace bitgrade {

// Constant vectors are plain constant data: the DLL runs no static constructors.
struct alignas(16) Lanes16 {
    uint16_t v[8];
};
// Eight lanes of one value.
constexpr Lanes16 Splat(uint16_t x) { return Lanes16{{x, x, x, x, x, x, x, x}}; }
const Lanes16 kFlatMarks = Splat(kFlatMark * 0x0101);

BITGRADE_SSE41 inline __m128i Load(const Lanes16& lanes) { return _mm_load_si128((const __m128i*)lanes.v); }

struct alignas(16) ByteTable {
    uint8_t v[16];
};
BITGRADE_SSE41 inline __m128i Load(const ByteTable& bytes) { return _mm_load_si128((const __m128i*)bytes.v); }

// The fraction of a flat pixel by 8 + its net count of higher neighbours
// (higher minus lower, -8..8), for pshufb: the net counts 7 and 8 share
// index 15, as FractionRamp gives them the same fraction.
constexpr ByteTable NetRampBytes() {
    ByteTable table = {};
    for (int k = 0; k < 16; ++k) table.v[k] = (uint8_t)(k < 8 ? -FractionRamp[8 - k] : FractionRamp[k - 8]);
    return table;
}
constexpr ByteTable kNetRampBytes = NetRampBytes();
const uint8_t kNetBias = 8, kNetIndexMax = 15;

// A depth's fractions by count of higher (or lower) neighbours, for pshufb
// on 16-bit lanes of counts 0..8: each lane's high byte picks entry 0, 0.
BITGRADE_SSE41 inline __m128i FractionBytes(const Levels& levels) {
    uint8_t table[16] = {};
    for (int k = 0; k < 9; ++k) table[k] = levels.fractions[k];
    return _mm_loadu_si128((const __m128i*)table);
}

// ClassifyRow sixteen columns a step; the AVX2 twin finishes a row that
// ends half-way through a 32-column block with it.
void ClassifyRowVec(const uint8_t* above, const uint8_t* row, const uint8_t* below, uint32_t columns, uint16_t* values,
                    uint8_t* edges);

// TapMean of columns from..W-1, eight 16-bit samples or sixteen bytes a
// step; the AVX2 twins finish a row with them.
void TapColumnsVec(const TapRow& row, uint32_t from, uint32_t W, const Levels& levels, uint8_t* out);
void TapColumns8Vec(const TapRow& row, uint32_t from, uint32_t W, const Levels& levels, uint8_t* out);

// The band rows of the SSE4.1 table, eight columns a step; the AVX2 twins
// finish with them on a row that ends half-way through a 16-column block.
void BandRowVec(const BandRow& row, uint8_t* out);
void BandMapRowVec(const BandRow& row, uint8_t* out);

// The window mean of four sums: the fixed-point one, or beyond its radii the
// truncated quotient through doubles, as sum * (1 / area) + 0.5 / area
// truncated, which is exact and costs a multiplication where a division
// costs ten: the quotient's fraction lies at least 1 / area (> 2^-16) from
// the next whole number, the half pushes it at least 0.5 / area clear of
// its own, and the products' rounding errs by under 2^-27 (sums < 2^32,
// quotients < 2^24 beyond the fixed point's radii). The
// caller chooses which, once per row. The fixed-point mean is taken whole, as
// the top of one 64-bit product sum * reciprocal: the same value as the two
// 32-bit products of the scalar form, which never wrap for windows of 16-bit
// values, at half the cost of multiplying 32-bit lanes.
struct MeanVec {
    BITGRADE_SSE41 explicit MeanVec(const BoxMean& mean);

    template <bool kFixedPoint>
    BITGRADE_SSE41 __m128i Of(__m128i sums) const {
        if constexpr (kFixedPoint) {
            const __m128i even = _mm_mul_epu32(sums, reciprocal);
            const __m128i odd = _mm_mul_epu32(_mm_shuffle_epi32(sums, 0xF5), reciprocal);
            return _mm_blend_epi16(_mm_srli_epi64(even, 24), _mm_slli_epi64(odd, 8), 0xCC);
        }
        const __m128i bias = _mm_set1_epi32((int)0x80000000);
        const __m128d offset = _mm_set1_pd(2147483648.0);
        const __m128i signedSums = _mm_xor_si128(sums, bias);
        const __m128d lo = _mm_add_pd(_mm_cvtepi32_pd(signedSums), offset);
        const __m128d hi = _mm_add_pd(_mm_cvtepi32_pd(_mm_srli_si128(signedSums, 8)), offset);
        return _mm_unpacklo_epi64(_mm_cvttpd_epi32(_mm_add_pd(_mm_mul_pd(lo, inverse), half)),
                                  _mm_cvttpd_epi32(_mm_add_pd(_mm_mul_pd(hi, inverse), half)));
    }

    __m128i reciprocal;
    __m128d inverse, half;
};

// Sixteen column counts of a slide: edge marks are 0 or 0xFF, -1 as bytes,
// so the counts take the entering marks away and add the leaving ones.
BITGRADE_SSE41 inline void SlideCounts16(uint8_t* counts, const uint8_t* enteringEdges, const uint8_t* leavingEdges) {
    const __m128i marks =
        _mm_sub_epi8(_mm_load_si128((const __m128i*)leavingEdges), _mm_load_si128((const __m128i*)enteringEdges));
    _mm_store_si128((__m128i*)counts, _mm_add_epi8(_mm_load_si128((const __m128i*)counts), marks));
}

// The limit for window counts added up in bytes, which never exceed 225: a
// limit above 255 passes them all, as 255 does.
inline char ByteLimit(const BandRow& b) { return (char)(b.limit < 255 ? b.limit : 255); }

// The choices a band kernel makes once per row: the mean (fixed point or
// division), the way windows are summed and, for radii 0..5, which the
// tables sum column by column, the window's side, so that the loop over its
// columns unrolls (0: the row's own 2r + 1).
template <bool kFixedPoint, Windows kWindows, uint32_t kSide>
struct BandVariant {};

// The windows as a type, for kernels chosen by them alone.
template <Windows kWindows>
struct WindowsTag {};

// The side of a window summed column by column: the variant's, or the row's.
template <uint32_t kSide>
inline uint32_t WindowSide(const BandRow& b) {
    return kSide ? kSide : 2 * b.r + 1;
}

// Which of kColumns columns x.. (8 or 16) are smoothed, for windows summed
// column by column: a byte mask from their byte counts added up, for both
// tables (sixteen byte counts fill the SSE4.1 vector that AVX2 would use too).
template <uint32_t kColumns, uint32_t kSide>
BITGRADE_SSE41 inline __m128i SmoothBytes(const BandRow& b, uint32_t x, __m128i limit) {
    const uint8_t* counts = b.totals.counts + x - b.r;
    const uint32_t side = WindowSide<kSide>(b);
    __m128i count = _mm_setzero_si128();
    for (uint32_t k = 0; k < side; ++k) {
        const __m128i* at = (const __m128i*)(counts + k);
        count = _mm_add_epi8(count, kColumns == 16 ? _mm_loadu_si128(at) : _mm_loadl_epi64(at));
    }
    return _mm_cmpeq_epi8(_mm_min_epu8(count, limit), count);
}

// Calls kernel(BandVariant<...>()) with the variant for row `b`.
template <class Kernel>
inline void WithBandVariant(const BandRow& b, Kernel kernel) {
    static_assert(BoxMean::kFixedPointMaxRadius >= kByteCountMaxRadius,
                  "column-by-column windows take the fixed point");
    const bool fixed = b.mean->FixedPoint();
    switch (b.windows) {
    case Windows::kRunning:
        return fixed ? kernel(BandVariant<true, Windows::kRunning, 0>())
                     : kernel(BandVariant<false, Windows::kRunning, 0>());
    case Windows::kIntegrals:
        return fixed ? kernel(BandVariant<true, Windows::kIntegrals, 0>())
                     : kernel(BandVariant<false, Windows::kIntegrals, 0>());
    case Windows::kColumns: break;
    }
    switch (b.r) {
    case 0: return kernel(BandVariant<true, Windows::kColumns, 1>());
    case 1: return kernel(BandVariant<true, Windows::kColumns, 3>());
    case 2: return kernel(BandVariant<true, Windows::kColumns, 5>());
    case 3: return kernel(BandVariant<true, Windows::kColumns, 7>());
    case 4: return kernel(BandVariant<true, Windows::kColumns, 9>());
    case 5: return kernel(BandVariant<true, Windows::kColumns, 11>());
    }
    return kernel(BandVariant<true, Windows::kColumns, 0>());
}

// Calls kernel(WindowsTag<...>()) with the windows of row `b`.
template <class Kernel>
inline void WithWindows(const BandRow& b, Kernel kernel) {
    switch (b.windows) {
    case Windows::kColumns: return kernel(WindowsTag<Windows::kColumns>());
    case Windows::kRunning: return kernel(WindowsTag<Windows::kRunning>());
    case Windows::kIntegrals: return kernel(WindowsTag<Windows::kIntegrals>());
    }
}

// ReduceRow over columns from..W-1, eight values a step (`from` a multiple
// of 8); the AVX2 twin finishes its rows with it.
void ReduceColumnsVec(const uint16_t* in, uint32_t from, uint32_t W, uint32_t shift, const uint16_t* thresholds,
                      uint8_t* out);

// DiffuseColumns eight values a step, the running sum of each step's values
// taken at once; the AVX2 twin finishes its rows with it.
void DiffuseColumnsVec(const uint16_t* in, uint32_t from, uint32_t W, uint32_t shift, uint16_t start, uint8_t* out);

// Fills whole 16-byte blocks of a 16-byte aligned buffer; a tail of fewer
// than 16 bytes is left alone.
void FillBlocksVec(void* dst, uint8_t value, uint32_t bytes);

}  // namespace bitgrade
