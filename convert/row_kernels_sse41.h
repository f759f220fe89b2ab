// SSE4.1 twins of the scalar row kernels, eight 16-bit lanes at a time.
// Every function here is compiled for SSE4.1 alone, so the rest of the
// program (and the DLL) still runs on processors without it.
#pragma once

#include <smmintrin.h>

#include "row_kernels.h"

#define BITGRADE_SSE41 __attribute__((target("sse4.1")))

namespace bitgrade {

// Constant vectors are plain constant data: the DLL runs no static constructors.
struct alignas(16) Lanes16 {
    uint16_t v[8];
};
// Eight lanes of one value.
constexpr Lanes16 Splat(uint16_t x) { return Lanes16{{x, x, x, x, x, x, x, x}}; }
const Lanes16 kMinusOne = Splat(0xFFFF), kOne = Splat(0x0001);
const Lanes16 kIncUp = Splat(kCodeUp), kIncDown = Splat(kCodeDown);
const Lanes16 kIncFar = Splat(kCodeFar), kIncEqual = Splat(kCodeEqual);
const Lanes16 kHighByte = Splat(0xFF00), kLowNibble = Splat(0x000F);

BITGRADE_SSE41 inline __m128i Load(const Lanes16& lanes) { return _mm_load_si128((const __m128i*)lanes.v); }

// Increments for eight differences d = pixel - neighbour: 0x0001 for -1,
// 0x1000 for 0, 0x0010 for +1, 0x0100 for anything else.
BITGRADE_SSE41 inline __m128i DiffToCodeVec(__m128i d) {
    const __m128i h =
        _mm_or_si128(_mm_or_si128(_mm_and_si128(_mm_cmpeq_epi16(d, Load(kMinusOne)), Load(kIncUp)),
                                  _mm_and_si128(_mm_cmpeq_epi16(d, _mm_setzero_si128()), Load(kIncEqual))),
                     _mm_and_si128(_mm_cmpeq_epi16(d, Load(kOne)), Load(kIncDown)));
    return _mm_or_si128(h, _mm_and_si128(_mm_cmpeq_epi16(h, _mm_setzero_si128()), Load(kIncFar)));
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
// kRowEndBusy and the sum (2r+1) * value. Edge entries are 16-bit; every row needs 7
// spare entries after column W-1. W >= 2r+1.
void WindowRowSumsVec(uint32_t r, uint32_t W, const uint16_t* values, const uint16_t* edges, uint32_t* sums,
                      uint16_t* counts);

// Fills whole 16-byte blocks of a 16-byte aligned buffer; a tail of fewer
// than 16 bytes is left alone.
void FillBlocksVec(void* dst, uint8_t value, uint32_t bytes);

}  // namespace bitgrade
