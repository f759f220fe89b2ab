// The filter's 16-bit output brought down to the 8, 10 or 12 bits that an
// encoder takes, dithered so that the 8-bit bands do not come back on the
// way: a code stands for value / 2^(16 - bits), so that at 10 bits 8-bit 235
// (60160) becomes 940, the video convention.
#pragma once

#include "plane.h"

namespace bitgrade {

// How the dropped bits are spread:
// - none rounds: (value + half) >> shift;
// - ordered adds a threshold from a fixed 64 x 64 matrix, the same on every
//   frame so that encoders can predict it, and unbiased: over the matrix
//   every threshold 0 .. 2^shift - 1 comes equally often;
// - diffusion carries each sample's rounding error to the next along the
//   row, deterministically.
// Every code lies within one of value / 2^shift.
enum class Dither { kNone, kOrdered, kDiffusion };

// The dither named by `length` bytes that a host hands over, not
// terminated and possibly holding NUL bytes: "ordered", "diffusion" or
// "none", each compared by its size. False for any other bytes.
bool DitherNamed(const char* name, size_t length, Dither& dither);

struct OutputDepth {
    int bits = 16;  // 8, 10, 12 or 16
    Dither dither = Dither::kOrdered;

    uint32_t Shift() const { return 16 - (uint32_t)bits; }
    bool Reduced() const { return bits < 16; }
};

// Side of the ordered dither's threshold matrix; its rows and columns wrap.
const uint32_t kMatrixSide = 64;
const uint32_t kMatrixEntries = kMatrixSide * kMatrixSide;

// The ordered dither's threshold matrices, by their ranks 0 ..
// kMatrixEntries - 1, each once, so that the thresholds are exactly uniform
// and the dither unbiased, row after row. Each output depth takes the
// pattern that left the least banding under CAMBI on the report's clips:
// - 10 and 12 bits a recursive matrix: at every level k of the cell's
//   position, its 2^k-pixel cell adds its order within the 2 x 2 cells
//   above it, the finest level the most significant, so that every aligned
//   2^k-square holds each of the top 2k bits' values once. The cells'
//   orders were chosen from the 8^3 such matrices of the three finest
//   levels by their banding on the report's four clips at spans 3, 6, 8
//   and 12 and three adaptive settings: in none of those 28 cases does the
//   one kept leave more than 0.08 above ffmpeg's own conversion, and over
//   all of them about 5 % less.
// - 8 bits interleaved gradient noise, ranked: a pattern of large,
//   irregular steps between neighbours, which at 8 bits left far less
//   banding than any recursive matrix (white noise and a void-and-cluster
//   blue-noise matrix left more at every depth).
extern const uint16_t kRecursiveRanks[kMatrixEntries];
extern const uint16_t kGradientNoiseRanks[kMatrixEntries];

// The thresholds that ordered or plain rounding add before a shift:
// kMatrixEntries, row after row of the matrix, each its rank's top `shift`
// bits of 12 (ordered), or half a step (none).
void MakeThresholds(uint32_t shift, Dither dither, uint16_t* thresholds);

// Half of a code's step: what rounding adds, and where diffusion starts.
inline uint16_t HalfStep(uint32_t shift) { return (uint16_t)(1u << (shift - 1)); }

// Code x of a row: a byte at 8 bits (shift 8), else 16-bit little-endian.
inline void PutCode(uint8_t* out, uint32_t x, uint16_t code, uint32_t shift) {
    if (shift == 8) {
        out[x] = (uint8_t)code;
        return;
    }
    out[2 * x] = (uint8_t)code;
    out[2 * x + 1] = (uint8_t)(code >> 8);
}

// Codes of columns from..W-1 of a row, each value plus its column's threshold
// (kMatrixSide of them, repeating along the row), saturating, shifted down:
// the scalar reduction, which the vector ones finish their rows with.
void ReduceColumns(const uint16_t* in, uint32_t from, uint32_t W, uint32_t shift, const uint16_t* thresholds,
                   uint8_t* out);

// Codes of columns from..W-1 of a row, the rounding error carried along the
// row (each carried error kept within half a step, so that a code never
// strays more than one from its value). The error carried into column x,
// plus half a step, is (start + the values of columns from..x-1) modulo
// 2^shift: a running sum, which lets vector kernels diffuse a whole row at
// once. A row starts at start = HalfStep(shift). `out` may be `in`.
void DiffuseColumns(const uint16_t* in, uint32_t from, uint32_t W, uint32_t shift, uint16_t start, uint8_t* out);

}  // namespace bitgrade
