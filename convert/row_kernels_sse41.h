// SSE4.1 twins of the scalar row kernels, eight 16-bit lanes at a time.
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
const Lanes16 kOne = Splat(0x0001), kHighByte = Splat(0xFF00), kLowNibble = Splat(0x000F);
const Lanes16 kDownNibble = Splat(0x00F0), kFarNibble = Splat(0x0F00);
const Lanes16 kFlatMarks = Splat(kFlatMark * 0x0101);

// FractionRamp as a byte table for pshufb, its last entry repeated up to
// index 15: index 0 is 0, so the high byte of each 16-bit lane (index 0)
// looks up nothing.
struct alignas(16) ByteTable {
    uint8_t v[16];
};
constexpr ByteTable RampBytes() {
    ByteTable table = {};
    for (int i = 0; i < 16; ++i) table.v[i] = FractionRamp[i < 9 ? i : 8];
    return table;
}
constexpr ByteTable kRampBytes = RampBytes();

BITGRADE_SSE41 inline __m128i Load(const Lanes16& lanes) { return _mm_load_si128((const __m128i*)lanes.v); }

// Codes by clamped difference + 2 for pshufb: low bytes at 0..4, high bytes
// at 8..12 (far, up, equal, down, far).
struct alignas(16) CodeBytes {
    uint8_t v[16];
};
constexpr CodeBytes kCodeBytes = {{kCodeFar & 0xFF, kCodeUp & 0xFF, kCodeEqual & 0xFF, kCodeDown & 0xFF,
                                   kCodeFar & 0xFF, 0, 0, 0, kCodeFar >> 8, kCodeUp >> 8, kCodeEqual >> 8,
                                   kCodeDown >> 8, kCodeFar >> 8, 0, 0, 0}};
// Lane t (-2..2) as the pshufb index pair t + 2 (low byte), t + 10 (high).
const uint16_t kCodeIndexScale = 0x0101, kCodeIndexBias = 0x0A02;

// Increments for eight differences d = pixel - neighbour: 0x0001 for -1,
// 0x1000 for 0, 0x0010 for +1, 0x0100 for anything else. d is clamped to
// -2..2 and looked up.
BITGRADE_SSE41 inline __m128i DiffToCodeVec(__m128i d) {
    const __m128i t = _mm_min_epi16(_mm_max_epi16(d, _mm_set1_epi16(-2)), _mm_set1_epi16(2));
    const __m128i index = _mm_add_epi16(_mm_mullo_epi16(t, Load(Splat(kCodeIndexScale))), Load(Splat(kCodeIndexBias)));
    return _mm_shuffle_epi8(_mm_load_si128((const __m128i*)kCodeBytes.v), index);
}

// up and down exchanged in each lane; far and equal unchanged.
BITGRADE_SSE41 inline __m128i SwapNibblesVec(__m128i c) {
    const __m128i nibble = Load(kLowNibble);
    return _mm_or_si128(_mm_and_si128(c, Load(kHighByte)), _mm_or_si128(_mm_and_si128(_mm_srli_epi16(c, 4), nibble),
                                                                        _mm_slli_epi16(_mm_and_si128(c, nibble), 4)));
}

// NeighbourCodeRow over columns 0..16*floor(n/16)-1, sixteen per pair of
// steps; code[0] and code[n-1] become kRowEndCode. Rows start 16-byte
// aligned; c and x have 16*floor(n/16)+1 readable entries. Codes also count
// equal neighbours in bits 12-15.
void NeighbourCodeRowVec(const uint16_t* c, const uint16_t* x, uint32_t n, uint16_t* carry, uint16_t* code);

// WindowRowSums for every column 0..W-1: the row-end columns get the count
// kRowEndBusy and the sum (2r+1) * value. Edge entries are 16-bit; every row
// needs 7 spare entries after column W-1 (the AVX2 twin 15). W >= 2r+1.
void WindowRowSumsVec(uint32_t r, uint32_t W, const uint16_t* values, const uint16_t* edges, uint32_t* sums,
                      uint16_t* counts);

// The band rows of the SSE4.1 table; the AVX2 twins finish with them on a
// row that ends half-way through a 16-column block.
void ClassifyRowVec(const uint16_t* codes, uint16_t* values, uint16_t* edges, uint32_t columns);
void BandRowVec(const BandRow& row, BYTE* out);
void BandMapRowVec(const BandRow& row, BYTE* out);

// Totals of eight columns: out with the leaving row, in with the entering one.
BITGRADE_SSE41 inline __m128i Slide16(uint16_t* totals, const uint16_t* leaving, const uint16_t* entering) {
    const __m128i t =
        _mm_add_epi16(_mm_sub_epi16(_mm_load_si128((const __m128i*)totals), _mm_load_si128((const __m128i*)leaving)),
                      _mm_load_si128((const __m128i*)entering));
    _mm_store_si128((__m128i*)totals, t);
    return t;
}

BITGRADE_SSE41 inline __m128i Slide32(uint32_t* totals, const uint32_t* leaving, const uint32_t* entering) {
    const __m128i t =
        _mm_add_epi32(_mm_sub_epi32(_mm_load_si128((const __m128i*)totals), _mm_load_si128((const __m128i*)leaving)),
                      _mm_load_si128((const __m128i*)entering));
    _mm_store_si128((__m128i*)totals, t);
    return t;
}

// The window mean of four sums: the fixed-point one, or beyond its radii the
// exact quotient through doubles (exact: sums < 2^32, areas < 2^16).
struct MeanVec {
    BITGRADE_SSE41 explicit MeanVec(const BoxMean& mean);

    BITGRADE_SSE41 __m128i operator()(__m128i sums) const {
        if (fixedPoint) {
            const __m128i part = _mm_srli_epi32(_mm_mullo_epi32(sums, low), 8);
            return _mm_srli_epi32(_mm_add_epi32(part, _mm_mullo_epi32(sums, high)), 16);
        }
        const __m128i bias = _mm_set1_epi32((int)0x80000000);
        const __m128d offset = _mm_set1_pd(2147483648.0);
        const __m128i signedSums = _mm_xor_si128(sums, bias);
        const __m128d lo = _mm_add_pd(_mm_cvtepi32_pd(signedSums), offset);
        const __m128d hi = _mm_add_pd(_mm_cvtepi32_pd(_mm_srli_si128(signedSums, 8)), offset);
        return _mm_unpacklo_epi64(_mm_cvttpd_epi32(_mm_div_pd(lo, area)), _mm_cvttpd_epi32(_mm_div_pd(hi, area)));
    }

    bool fixedPoint;
    __m128i low, high;
    __m128d area;
};

// Fills whole 16-byte blocks of a 16-byte aligned buffer; a tail of fewer
// than 16 bytes is left alone.
void FillBlocksVec(void* dst, uint8_t value, uint32_t bytes);

}  // namespace bitgrade
