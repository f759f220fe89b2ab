// Pieces that every converter shares: the fraction table, the radius and
// window rules, the fixed-point window mean, the scratch memory and the FIFO
// of ring-row slots.
#pragma once

#include "../host/host_interface.h"

namespace bitgrade {

// Edge mark of an edge or border pixel (a flat pixel's is 0); 16-bit edge
// entries repeat it in both bytes.
const uint8_t kEdgeMark = 255;

// Debug map: an unsmoothed pixel shows its edge mark OR-ed with this, so 95
// for a flat pixel and 255 for an edge or border pixel; a smoothed one 0.
const uint8_t kFlatMark = 95;

// Fraction of a flat pixel by its count of higher (or lower) neighbours.
constexpr uint8_t FractionRamp[9] = {0, 32, 64, 96, 112, 127, 127, 127, 127};

inline int Fraction(int netCount) { return netCount >= 0 ? FractionRamp[netCount] : -FractionRamp[-netCount]; }

// Luma uses the whole span, chroma half of it (span read as unsigned, so a
// negative span gives a radius too large for any plane).
inline uint32_t PlaneRadius(int span, int plane) { return plane == PLANAR_Y ? (uint32_t)span : (uint32_t)span / 2; }

// Whether a (2r+1)-square window fits a plane; computed wide so that the
// huge radius of a negative span never wraps into a small window.
inline bool WindowFits(uint32_t r, int64_t height, int64_t width) {
    const int64_t side = 2 * (int64_t)r + 1;
    return side <= height && side <= width;
}

// The window mean. For radii 0..8 it is the classic 24-bit fixed-point
// reciprocal, which is the truncated quotient or one more. That reciprocal is
// too coarse beyond radius 8, so wider windows use exact division.
struct BoxMean {
    static const uint32_t kFixedPointMaxRadius = 8;

    explicit BoxMean(uint32_t r)
        : radius(r),
          area((2 * (uint64_t)r + 1) * (2 * (uint64_t)r + 1)),
          reciprocal(r <= kFixedPointMaxRadius ? 16777216u / (uint32_t)area + 1 : 0),
          high(reciprocal >> 8),
          low(reciprocal & 255) {}

    bool FixedPoint() const { return radius <= kFixedPointMaxRadius; }

    uint16_t operator()(uint64_t sum) const {
        if (FixedPoint()) {
            const uint32_t s = (uint32_t)sum;
            return (uint16_t)((((s * low) >> 8) + s * high) >> 16);
        }
        return (uint16_t)(sum / area);
    }

    uint32_t radius;
    uint64_t area;
    uint32_t reciprocal, high, low;
};

// One owned, 16-byte aligned block from which a converter carves its buffers
// for each plane. It only grows, so once the largest plane has been seen no
// further allocation takes place; and since the carving is redone for every
// plane, no plane geometry or order can overrun a buffer.
class ScratchArena {
public:
    ScratchArena() : block(nullptr), size(0) {}
    ~ScratchArena() { FreeAligned16(block); }
    ScratchArena(const ScratchArena&) = delete;
    ScratchArena& operator=(const ScratchArena&) = delete;

    // Makes room for `bytes`; false when that is more than this process can
    // address or allocate (the old block is then kept).
    bool Reserve(uint64_t bytes) {
        if (bytes <= size) return true;
        if (bytes > (uint64_t)(size_t)-1 / 2) return false;
        void* grown = AllocAligned16((size_t)bytes);
        if (!grown) return false;
        FreeAligned16(block);
        block = grown;
        size = bytes;
        return true;
    }
    uint8_t* Base() const { return (uint8_t*)block; }

private:
    void* block;
    uint64_t size;
};

// Makes room for one plane of `samples` entries per buffer and `bytes` of
// scratch in all, and records the largest plane in `capacity` (32-bit, as the
// filter classes keep it). False when the plane is too large to convert.
inline bool ReservePlane(ScratchArena& scratch, uint32_t& capacity, uint64_t samples, uint64_t bytes) {
    if (samples > 0xFFFFFFFFu || !scratch.Reserve(bytes)) return false;
    if (capacity < samples) capacity = (uint32_t)samples;
    return true;
}

// The visible width in samples of a plane of a filter's output: the output
// description is twice as wide as the source unless it holds the debug map.
inline int PlaneWidth(const VideoInfo& vi, bool debug, int plane) {
    const int lumaWidth = debug ? vi.width : vi.width / 2;
    return plane == PLANAR_Y ? lumaWidth : lumaWidth / 2;
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
inline T* Carve(const ScratchArena& arena, uint64_t offset) {
    return (T*)(arena.Base() + offset);
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
