#include "depth.h"

namespace bitgrade {

bool DitherNamed(const char* name, size_t length, Dither& dither) {
    const struct {
        const char* name;
        Dither dither;
    } names[] = {{"ordered", Dither::kOrdered}, {"diffusion", Dither::kDiffusion}, {"none", Dither::kNone}};
    for (const auto& n : names) {
        // Each known name is read no further than its own end.
        size_t k = 0;
        while (k < length && n.name[k] != '\0' && n.name[k] == name[k]) ++k;
        if (k == length && n.name[k] == '\0') {
            dither = n.dither;
            return true;
        }
    }
    return false;
}

void MakeThresholds(uint32_t shift, Dither dither, uint16_t* thresholds) {
    const uint16_t* ranks = shift == 8 ? kGradientNoiseRanks : kRecursiveRanks;
    for (uint32_t i = 0; i < kMatrixEntries; ++i)
        thresholds[i] = dither == Dither::kOrdered ? (uint16_t)(ranks[i] >> (12 - shift)) : HalfStep(shift);
}

void ReduceColumns(const uint16_t* in, uint32_t from, uint32_t W, uint32_t shift, const uint16_t* thresholds,
                   uint8_t* out) {
    for (uint32_t x = from; x < W; ++x) {
        const uint32_t sum = (uint32_t)in[x] + thresholds[x % kMatrixSide];
        PutCode(out, x, (uint16_t)((sum < 0xFFFF ? sum : 0xFFFF) >> shift), shift);
    }
}

// The scalar form, the twin of the vector kernels: the error is carried in
// full unless the code is the top one.
void DiffuseColumns(const uint16_t* in, uint32_t from, uint32_t W, uint32_t shift, uint16_t start, uint8_t* out) {
    const uint32_t mask = (1u << shift) - 1, top = 0xFFFFu >> shift;
    uint32_t carried = start & mask;  // the error, plus half a step
    for (uint32_t x = from; x < W; ++x) {
        const uint32_t wanted = in[x] + carried;
        carried = wanted & mask;
        PutCode(out, x, (uint16_t)((wanted >> shift) < top ? wanted >> shift : top), shift);
    }
}

}  // namespace bitgrade
