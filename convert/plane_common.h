// Pieces that every converter shares: the fraction table, the window rule,
// the fixed-point window mean, the carving of scratch memory and the FIFO of
// ring-row slots.
#pragma once

#include "plane.h"

namespace bitgrade {

// Edge mark of an edge or border pixel (a flat pixel's is 0); 16-bit edge
// entries repeat it in both bytes.
const uint8_t kEdgeMark = 255;

// Debug map: an unsmoothed pixel shows its edge mark OR-ed with this, so 95
// for a flat pixel and 255 for an edge or border pixel; a smoothed one 0.
const uint8_t kFlatMark = 95;

// Fraction of a flat pixel by its count of higher (or lower) neighbours.
constexpr uint8_t FractionRamp[9] = {0, 32, 64, 96, 112, 127, 127, 127, 127};

// How a plane of that depth is classified and valued. A neighbour whose
// difference d from the pixel is below half a level (|d| < `equal`) is of the
// same level, one below one and a half levels (|d| < `near`) a level higher
// or lower, any other far; at one code a level, d is 0, 1 or more. A sample's
// unsmoothed value is sample << shift plus its fraction, which is in
// 16-bit units of a level at the depth the bands were made: ramp[n] / 2^(bands
// - 8) (truncated, so that a net count and its negative take opposite
// fractions).
struct Levels {
    constexpr explicit Levels(SampleDepth d)
        : shift(16 - d.bits),
          equal(((1u << (d.bits - d.bands)) + 1) / 2),
          near((3 * (1u << (d.bits - d.bands)) + 1) / 2),
          below((1 << (16 - d.bands)) >> 1),
          above((1 << (16 - d.bands)) - 1 - below),
          fractions() {
        for (int n = 0; n < 9; ++n) fractions[n] = (uint8_t)(FractionRamp[n] >> (d.bands - 8));
    }
    uint16_t Base(uint32_t sample) const { return (uint16_t)(sample << shift); }
    // The fraction of a flat pixel with `up` higher and `down` lower
    // neighbours (one of them 0).
    int FractionOf(int up, int down) const { return fractions[up] - fractions[down]; }
    // The unsmoothed value; at no depth does a flat pixel's leave 0..65535.
    uint16_t Value(uint32_t sample, int fraction) const { return (uint16_t)(Base(sample) + fraction); }

    int shift;
    uint32_t equal, near;
    // A sample's own level in 16-bit units: from `below` under its value to
    // `above` over it, a level in all (at 16 bits' bands, the value alone).
    int below, above;
    uint8_t fractions[9];  // by count of higher (or lower) neighbours
};

// 8-bit samples, whose levels are one code apart.
constexpr Levels kByteLevels{SampleDepth()};

// Whether a window fits a plane; computed wide so that the huge radii of a
// negative span never wrap into a small window.
inline bool WindowFits(Radii r, int64_t height, int64_t width) {
    return 2 * (int64_t)r.y + 1 <= height && 2 * (int64_t)r.x + 1 <= width;
}

// The radii of a plane's rungs whose windows fit it, narrowest first, each
// pair once (chroma's shortened radii may meet): their count.
inline uint32_t FittingRadii(const Settings& settings, Subsampling subsampling, int64_t height, int64_t width,
                             Radii (&radii)[Rungs::kMost]) {
    const Rungs spans(settings);
    uint32_t count = 0;
    for (int k = spans.count - 1; k >= 0; --k) {
        const Radii r = spans.RadiiOf(k, subsampling);
        if (WindowFits(r, height, width) && (count == 0 || r != radii[count - 1])) radii[count++] = r;
    }
    return count;
}

// The window mean. For radii 0..8 on both axes it is the classic 24-bit
// fixed-point reciprocal, which is the truncated quotient or one more (also
// for every window of 16-bit values between 1x1 and 17x17, and without
// overflowing 32 bits). That reciprocal is too coarse beyond radius 8, so
// wider windows use exact division.
struct BoxMean {
    static const uint32_t kFixedPointMaxRadius = 8;

    BoxMean() : BoxMean({0, 0}) {}
    explicit BoxMean(Radii r)
        : radii(r),
          area((2 * (uint64_t)r.x + 1) * (2 * (uint64_t)r.y + 1)),
          reciprocal(FixedPoint() ? 16777216u / (uint32_t)area + 1 : 0),
          high(reciprocal >> 8),
          low(reciprocal & 255) {}

    bool FixedPoint() const { return radii.x <= kFixedPointMaxRadius && radii.y <= kFixedPointMaxRadius; }

    uint16_t operator()(uint64_t sum) const {
        if (FixedPoint()) {
            const uint32_t s = (uint32_t)sum;
            return (uint16_t)((((s * low) >> 8) + s * high) >> 16);
        }
        return (uint16_t)(sum / area);
    }

    Radii radii;
    uint64_t area;
    uint32_t reciprocal, high, low;
};

// Makes room for a plane of `entries` entries per buffer and `bytes` of
// scratch in all. False when the plane is too large to convert: more than
// 2^32 entries a buffer (a claim that no host's frame makes) or more memory
// than there is.
inline bool ReservePlane(Scratch& scratch, uint64_t entries, uint64_t bytes) {
    return entries <= 0xFFFFFFFFu && scratch.Reserve(bytes);
}

// Lays buffers out one after another, each on a 16-byte boundary.
class ScratchLayout {
public:
    ScratchLayout() : total(0) {}
    // Returns the offset of a new buffer of `count` elements of `elementSize` bytes.
    uint64_t Add(uint64_t count, uint64_t elementSize) {
        const uint64_t at = total;
        total += (count * elementSize + 15) & ~(uint64_t)15;
        return at;
    }
    uint64_t Total() const { return total; }

private:
    uint64_t total;
};

template <class T>
inline T* Carve(const Scratch& scratch, uint64_t offset) {
    return (T*)(scratch.Base() + offset);
}

// A first-in-first-out sequence of the row slots of one ring. Slot k starts
// at ring + k * stride; the queue holds every slot once, oldest row first and
// the free slot last, and a rotation moves the front slot to the back. It
// never allocates and never copies row data.
template <class T>
class RowQueue {
public:
    RowQueue(T* ring, uint64_t stride, uint32_t slots) : ring(ring), stride(stride), slots(slots), head(0) {}
    T* Slot(uint32_t position) const {
        uint32_t k = head + position;
        if (k >= slots) k -= slots;
        return ring + k * stride;
    }
    T* Front() const { return Slot(0); }
    T* Back() const { return Slot(slots - 1); }
    void Rotate() { head = head + 1 == slots ? 0 : head + 1; }

private:
    T* ring;
    uint64_t stride;
    uint32_t slots;
    uint32_t head;
};

}  // namespace bitgrade
