#include "depth.h"

namespace bitgrade {

namespace {

// The Gaussian energy that a set pixel gives another dx, dy away (wrapping),
// with sigma 1.9: q^(dx^2 + dy^2), q = exp(-1 / (2 * 1.9^2)). Powers are
// multiplied up rather than taken from exp(), which the DLLs' runtime does
// not have.
const float kGaussianStep = 0.870915f;

struct Energies {
    float* energy;  // kMatrixEntries: of every pixel, from the set ones
    float* kernel;  // kMatrixEntries: by (dy, dx), wrapped
    bool* set;      // kMatrixEntries

    // Past kReach pixels the energy (q^81 < 1e-4) no longer changes a rank.
    static const uint32_t kReach = 8;

    void Change(uint32_t at, float sign) {
        set[at] = sign > 0;
        const uint32_t ay = at / kMatrixSide, ax = at % kMatrixSide;
        for (uint32_t dy = 0; dy <= 2 * kReach; ++dy) {
            const uint32_t y = (ay + dy - kReach) % kMatrixSide;
            const float* row = kernel + ((dy - kReach) % kMatrixSide) * kMatrixSide;
            float* e = energy + y * kMatrixSide;
            for (uint32_t dx = 0; dx <= 2 * kReach; ++dx)
                e[(ax + dx - kReach) % kMatrixSide] += sign * row[(dx - kReach) % kMatrixSide];
        }
    }
    // The set pixel of most energy (the tightest cluster), or the unset
    // pixel of least (the largest void).
    uint32_t Extreme(bool ofSet) const {
        uint32_t best = kMatrixEntries;
        for (uint32_t i = 0; i < kMatrixEntries; ++i)
            if (set[i] == ofSet &&
                (best == kMatrixEntries || (ofSet ? energy[i] > energy[best] : energy[i] < energy[best])))
                best = i;
        return best;
    }
};

void MakeKernel(float* kernel) {
    float powers[(kMatrixSide / 2) * (kMatrixSide / 2) * 2 + 1];  // up to the farthest pixel
    powers[0] = 1.0f;
    for (uint32_t k = 1; k < sizeof powers / sizeof powers[0]; ++k) powers[k] = powers[k - 1] * kGaussianStep;
    for (uint32_t y = 0; y < kMatrixSide; ++y)
        for (uint32_t x = 0; x < kMatrixSide; ++x) {
            const uint32_t dy = y < kMatrixSide / 2 ? y : kMatrixSide - y;
            const uint32_t dx = x < kMatrixSide / 2 ? x : kMatrixSide - x;
            kernel[y * kMatrixSide + x] = powers[dy * dy + dx * dx];
        }
}

}  // namespace

bool MakeBlueNoise(uint16_t* ranks) {
    const size_t floats = 3 * (size_t)kMatrixEntries;
    void* memory = AllocAligned16(floats * sizeof(float) + 2 * kMatrixEntries * sizeof(bool));
    if (!memory) return false;
    float* start = (float*)memory;
    Energies e = {start, start + kMatrixEntries, (bool*)(start + floats)};
    float* saved = start + 2 * kMatrixEntries;
    bool* savedSet = e.set + kMatrixEntries;
    FillBytes(e.energy, 0, kMatrixEntries * sizeof(float));
    FillBytes(e.set, 0, kMatrixEntries * sizeof(bool));
    MakeKernel(e.kernel);

    // A tenth of the pixels, drawn by a fixed generator, then moved from the
    // tightest cluster to the largest void until that changes nothing.
    uint32_t state = 12345, ones = 0;
    while (ones < kMatrixEntries / 10) {
        state = state * 1664525u + 1013904223u;
        const uint32_t at = (state >> 8) % kMatrixEntries;
        if (!e.set[at]) e.Change(at, 1.0f), ++ones;
    }
    for (uint32_t moves = 0; moves < kMatrixEntries; ++moves) {
        const uint32_t cluster = e.Extreme(true);
        e.Change(cluster, -1.0f);
        const uint32_t gap = e.Extreme(false);
        e.Change(gap, 1.0f);
        if (gap == cluster) break;
    }
    CopyBytes(saved, e.energy, kMatrixEntries * sizeof(float));
    CopyBytes(savedSet, e.set, kMatrixEntries * sizeof(bool));

    // The initial pixels take the ranks below `ones`, the tightest cluster
    // the highest; every other pixel then fills the largest void left.
    for (uint32_t rank = ones; rank-- > 0;) {
        const uint32_t cluster = e.Extreme(true);
        e.Change(cluster, -1.0f);
        ranks[cluster] = (uint16_t)rank;
    }
    CopyBytes(e.energy, saved, kMatrixEntries * sizeof(float));
    CopyBytes(e.set, savedSet, kMatrixEntries * sizeof(bool));
    for (uint32_t rank = ones; rank < kMatrixEntries; ++rank) {
        const uint32_t gap = e.Extreme(false);
        e.Change(gap, 1.0f);
        ranks[gap] = (uint16_t)rank;
    }
    FreeAligned16(memory);
    return true;
}

bool MakeThresholds(uint32_t shift, Dither dither, uint16_t* thresholds) {
    if (dither == Dither::kOrdered) {
        if (!MakeBlueNoise(thresholds)) return false;
        for (uint32_t i = 0; i < kMatrixEntries; ++i) thresholds[i] = (uint16_t)(thresholds[i] >> (12 - shift));
        return true;
    }
    for (uint32_t i = 0; i < kMatrixEntries; ++i) thresholds[i] = (uint16_t)(1u << (shift - 1));
    return true;
}

namespace {

// What is carried stays within -half .. half - 1, so that `wanted` is never
// negative, and a code is carried in full unless it is the top one: one
// addition, a mask and a subtraction a sample on the row's serial path.
template <bool kBytes>
void Diffuse(const uint16_t* in, uint32_t W, uint32_t shift, uint8_t* out) {
    const int32_t half = 1 << (shift - 1), mask = (1 << shift) - 1, top = 0xFFFF >> shift;
    int32_t carried = 0;
    for (uint32_t x = 0; x < W; ++x) {
        const int32_t wanted = in[x] + carried + half;
        carried = (wanted & mask) - half;
        const int32_t code = (wanted >> shift) < top ? wanted >> shift : top;
        if (kBytes) {
            out[x] = (uint8_t)code;
        } else {
            out[2 * x] = (uint8_t)code;
            out[2 * x + 1] = (uint8_t)(code >> 8);
        }
    }
}

}  // namespace

void DiffuseRow(const uint16_t* in, uint32_t W, uint32_t shift, uint8_t* out) {
    (shift == 8 ? Diffuse<true> : Diffuse<false>)(in, W, shift, out);
}

}  // namespace bitgrade
