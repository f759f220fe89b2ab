#include "depth.h"

namespace bitgrade {

namespace {

// The fractional part of 0 <= v < 2^22 in float arithmetic alone: adding
// 2^23 rounds to a whole number, and the DLLs' runtime has no floor().
float Fraction(float v) {
    const float big = 8388608.0f;
    float whole = (v + big) - big;
    if (whole > v) whole -= 1.0f;
    return v - whole;
}

// Interleaved gradient noise: a fraction of a fraction of a tilted ramp,
// whose neighbours differ by large, irregular steps in every direction.
float GradientNoise(uint32_t x, uint32_t y) {
    return Fraction(52.9829189f * Fraction(0.06711056f * (float)x + 0.00583715f * (float)y));
}

// Sorts `order` (n indices) by key[index] ascending, ties by index: a heap
// sort, since the DLLs have no standard library.
void SortByKey(const float* key, uint16_t* order, uint32_t n) {
    auto less = [&](uint16_t a, uint16_t b) { return key[a] < key[b] || (key[a] == key[b] && a < b); };
    auto sift = [&](uint32_t root, uint32_t end) {
        for (uint32_t child; (child = 2 * root + 1) < end; root = child) {
            if (child + 1 < end && less(order[child], order[child + 1])) ++child;
            if (!less(order[root], order[child])) return;
            const uint16_t swap = order[root];
            order[root] = order[child];
            order[child] = swap;
        }
    };
    for (uint32_t i = n / 2; i-- > 0;) sift(i, n);
    for (uint32_t end = n; end-- > 1;) {
        const uint16_t swap = order[0];
        order[0] = order[end];
        order[end] = swap;
        sift(0, end);
    }
}

}  // namespace

// The orders of the recursive matrix's cells, finest level first: at level
// k the cell (y >> k & 1, x >> k & 1). The three finest were measured; the
// coarser levels, which only 8-bit output would reach, repeat them.
const uint8_t kCellOrders[3][2][2] = {{{1, 2}, {3, 0}}, {{3, 0}, {1, 2}}, {{1, 3}, {2, 0}}};

void MakeRecursiveRanks(uint16_t* ranks) {
    const uint32_t levels = 6;
    static_assert(kMatrixSide == 1u << 6, "one level for each bit of a position");
    for (uint32_t y = 0; y < kMatrixSide; ++y)
        for (uint32_t x = 0; x < kMatrixSide; ++x) {
            uint32_t rank = 0;
            for (uint32_t k = 0; k < levels; ++k) rank = rank * 4 + kCellOrders[k % 3][(y >> k) & 1][(x >> k) & 1];
            ranks[y * kMatrixSide + x] = (uint16_t)rank;
        }
}

bool MakeGradientNoiseRanks(uint16_t* ranks) {
    void* memory = AllocAligned16(kMatrixEntries * (sizeof(float) + sizeof(uint16_t)));
    if (!memory) return false;
    float* noise = (float*)memory;
    uint16_t* order = (uint16_t*)(noise + kMatrixEntries);
    for (uint32_t i = 0; i < kMatrixEntries; ++i) {
        noise[i] = GradientNoise(i % kMatrixSide, i / kMatrixSide);
        order[i] = (uint16_t)i;
    }
    SortByKey(noise, order, kMatrixEntries);
    for (uint32_t rank = 0; rank < kMatrixEntries; ++rank) ranks[order[rank]] = (uint16_t)rank;
    FreeAligned16(memory);
    return true;
}

bool DitherNamed(const char* name, size_t length, Dither& dither) {
    const struct {
        const char* name;
        size_t length;
        Dither dither;
    } names[] = {{"ordered", 7, Dither::kOrdered}, {"diffusion", 9, Dither::kDiffusion}, {"none", 4, Dither::kNone}};
    for (const auto& n : names) {
        if (n.length != length) continue;
        size_t k = 0;
        while (k < length && n.name[k] == name[k]) ++k;
        if (k == length) {
            dither = n.dither;
            return true;
        }
    }
    return false;
}

bool MakeThresholds(uint32_t shift, Dither dither, uint16_t* thresholds) {
    if (dither == Dither::kOrdered) {
        if (shift != 8) MakeRecursiveRanks(thresholds);
        else if (!MakeGradientNoiseRanks(thresholds)) return false;
        for (uint32_t i = 0; i < kMatrixEntries; ++i) thresholds[i] = (uint16_t)(thresholds[i] >> (12 - shift));
        return true;
    }
    for (uint32_t i = 0; i < kMatrixEntries; ++i) thresholds[i] = HalfStep(shift);
    return true;
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
