// Level 3, the vector converter: SSE4.1 row kernels over 16-column blocks.
#include "bitgrade_sse41.h"

#include "../plugin/frame_pipeline.h"
#include "row_kernels_sse41.h"
#include "window_stage.h"

namespace bitgrade {

namespace {

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
const Lanes16 kDownNibble = Splat(0x00F0);
const Lanes16 kFarNibble = Splat(0x0F00);
const Lanes16 kFlatMarks = Splat(kFlatMark * 0x0101);

// Block columns: rows are converted in whole 16-column blocks, the last one
// padded; stride leaves at least one spare block after them.
inline uint32_t BlockColumns(uint32_t W) { return (W + 15) / 16 * 16; }

// One source row, zero-extended to 16 bits, over the block columns and the
// spare block after them (zeros past W, so nothing read later is undefined).
// Columns past the source pitch repeat the row's last readable sample.
BITGRADE_SSE41 void LoadRow(const BYTE* in, uint32_t readable, uint32_t W, uint16_t* row) {
    _mm_prefetch((const char*)in, _MM_HINT_NTA);
    const uint32_t whole = (readable < W ? readable : W) / 16 * 16;
    uint32_t x = 0;
    for (; x < whole; x += 16) {
        const __m128i bytes = _mm_loadu_si128((const __m128i*)(in + x));
        _mm_prefetch((const char*)(in + x + 16), _MM_HINT_NTA);
        _mm_store_si128((__m128i*)(row + x), _mm_cvtepu8_epi16(bytes));
        _mm_store_si128((__m128i*)(row + x + 8), _mm_cvtepu8_epi16(_mm_srli_si128(bytes, 8)));
    }
    for (; x < W; ++x) row[x] = in[x < readable ? x : readable - 1];
    for (; x < BlockColumns(W) + 16; ++x) row[x] = 0;
}

// Unsmoothed values and edge marks of row y from its codes: flat pixels (no
// far neighbour, not both higher and lower ones) get their fraction and mark
// 0, every other pixel mark 0xFFFF.
BITGRADE_SSE41 void ClassifyRow(const uint16_t* codes, uint16_t* values, uint16_t* edges, uint32_t columns) {
    const __m128i ramp = _mm_load_si128((const __m128i*)kRampBytes.v), zero = _mm_setzero_si128();
    const __m128i upMask = Load(kLowNibble), downMask = Load(kDownNibble), farMask = Load(kFarNibble);
    for (uint32_t i = 0; i < columns; i += 8) {
        const __m128i code = _mm_load_si128((const __m128i*)(codes + i));
        const __m128i up = _mm_and_si128(code, upMask);
        const __m128i down = _mm_srli_epi16(_mm_and_si128(code, downMask), 4);
        const __m128i noFar = _mm_cmpeq_epi16(_mm_and_si128(code, farMask), zero);
        const __m128i oneSided = _mm_or_si128(_mm_cmpeq_epi16(up, zero), _mm_cmpeq_epi16(down, zero));
        const __m128i flat = _mm_and_si128(noFar, oneSided);
        const __m128i fraction = _mm_sub_epi16(_mm_shuffle_epi8(ramp, up), _mm_shuffle_epi8(ramp, down));
        __m128i* value = (__m128i*)(values + i);
        _mm_store_si128(value, _mm_add_epi16(_mm_slli_epi16(_mm_load_si128(value), 8), _mm_and_si128(fraction, flat)));
        _mm_store_si128((__m128i*)(edges + i), _mm_cmpeq_epi16(flat, zero));
    }
}

BITGRADE_SSE41 void ShiftRow(uint16_t* values, uint32_t columns) {
    for (uint32_t i = 0; i < columns; i += 8) {
        __m128i* at = (__m128i*)(values + i);
        _mm_store_si128(at, _mm_slli_epi16(_mm_load_si128(at), 8));
    }
}

// The fixed-point mean of four window sums; beyond its radii the exact
// quotient, through doubles (exact: sums < 2^32, areas < 2^16).
struct MeanVec {
    BITGRADE_SSE41 explicit MeanVec(const BoxMean& mean)
        : fixedPoint(mean.FixedPoint()),
          low(_mm_set1_epi32((int)mean.low)),
          high(_mm_set1_epi32((int)mean.high)),
          area(_mm_set1_pd((double)mean.area)) {}

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

// Plane geometry and the buffers carved for it.
struct VectorPlane {
    WorkPlane<uint16_t> p;
    uint32_t columns;  // block columns
    uint32_t r;
    uint16_t* carryCodes;
    uint16_t* codeRow;  // codes while classifying; busy counts in the window
    uint32_t* columnSums;
    uint32_t* sumRing;
    uint16_t* countRing;
};

BITGRADE_SSE41 void ClassifyPlane(const VectorPlane& v) {
    const WorkPlane<uint16_t>& p = v.p;
    const uint32_t H = p.H, W = p.W;
    FillBlocksVec(v.carryCodes, 0, (uint32_t)(p.stride * 2));
    if (H >= 3) NeighbourCodeRowVec(p.Row(0), p.Row(1), v.columns, v.carryCodes, v.codeRow);
    for (uint32_t y = 1; y + 1 < H; ++y) {
        NeighbourCodeRowVec(p.Row(y), p.Row(y + 1), v.columns, v.carryCodes, v.codeRow);
        // The last visible column is a border pixel even when the row ends
        // inside a block: its right neighbours are padding, not picture.
        v.codeRow[W - 1] = kRowEndCode;
        uint16_t* edges = p.EdgeRow(y);
        ClassifyRow(v.codeRow, p.Row(y), edges, v.columns);
        FillBlocksVec(edges + v.columns, kEdgeMark, (uint32_t)(p.stride - v.columns) * 2);
    }
    auto borderRow = [&](uint32_t y) {
        ShiftRow(p.Row(y), v.columns);
        FillBlocksVec(p.EdgeRow(y), kEdgeMark, (uint32_t)(p.stride * 2));
    };
    borderRow(0);
    if (H > 1) borderRow(H - 1);
}

// Busy counts and window sums of eight columns: out with the leaving row,
// in with the entering one.
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

// Rows r..H-r-1, written straight to the destination. A column is smoothed
// when its busy count is at most `limit` (0..32766), compared unsigned, so
// the row-end counts of wide windows (255 * (2r+1) > 32767) never pass.
// W is a multiple of 8 (the constructor's width check).
template <bool Debug>
BITGRADE_SSE41 void SmoothBand(const VectorPlane& v, uint16_t limit, BYTE* out, int pitch) {
    const WorkPlane<uint16_t>& p = v.p;
    const uint32_t r = v.r, W = p.W, slots = 2 * r + 2;
    FillBlocksVec(v.codeRow, 0, (uint32_t)(p.stride * 2));
    FillBlocksVec(v.columnSums, 0, (uint32_t)(p.stride * 4));
    FillBlocksVec(v.sumRing, 0, (uint32_t)(slots * p.stride * 4));
    FillBlocksVec(v.countRing, 0, (uint32_t)(slots * p.stride * 2));
    RowQueue<uint32_t> sumRows(v.sumRing, p.stride, slots);
    RowQueue<uint16_t> countRows(v.countRing, p.stride, slots);

    // The first window: rows 0..2r, added onto zeroed totals (the free slot
    // is still zero, so it serves as the leaving row).
    for (uint32_t k = 0; k <= 2 * r; ++k) {
        WindowRowSumsVec(r, W, p.Row(k), p.EdgeRow(k), sumRows.Slot(k), countRows.Slot(k));
        for (uint32_t i = 0; i < v.columns; i += 8) {
            Slide16(v.codeRow + i, countRows.Back() + i, countRows.Slot(k) + i);
            if (!Debug) {
                Slide32(v.columnSums + i, sumRows.Back() + i, sumRows.Slot(k) + i);
                Slide32(v.columnSums + i + 4, sumRows.Back() + i + 4, sumRows.Slot(k) + i + 4);
            }
        }
    }

    const MeanVec mean{BoxMean(r)};
    const __m128i most = _mm_set1_epi16((short)limit), zero = _mm_setzero_si128(), marks = Load(kFlatMarks);
    for (uint32_t y = r; y + r < p.H; ++y) {
        const bool sliding = y > r;
        const uint16_t* leavingCounts = countRows.Front();
        const uint32_t* leavingSums = sumRows.Front();
        uint16_t* enteringCounts = countRows.Back();
        uint32_t* enteringSums = sumRows.Back();
        if (sliding) WindowRowSumsVec(r, W, p.Row(y + r), p.EdgeRow(y + r), enteringSums, enteringCounts);
        const uint16_t* values = p.Row(y);
        const uint16_t* edges = p.EdgeRow(y);
        BYTE* row = out + (size_t)y * pitch;
        for (uint32_t i = 0; i < W; i += 8) {
            const __m128i busy = sliding ? Slide16(v.codeRow + i, leavingCounts + i, enteringCounts + i)
                                         : _mm_load_si128((const __m128i*)(v.codeRow + i));
            const __m128i smooth = _mm_cmpeq_epi16(_mm_min_epu16(busy, most), busy);
            if (Debug) {
                const __m128i map =
                    _mm_or_si128(_mm_packs_epi16(_mm_load_si128((const __m128i*)(edges + i)), zero), marks);
                _mm_storel_epi64((__m128i*)(row + i), _mm_andnot_si128(_mm_packs_epi16(smooth, zero), map));
                continue;
            }
            _mm_prefetch((const char*)(values + i + 64), _MM_HINT_NTA);
            const __m128i low = sliding ? Slide32(v.columnSums + i, leavingSums + i, enteringSums + i)
                                        : _mm_load_si128((const __m128i*)(v.columnSums + i));
            const __m128i high = sliding ? Slide32(v.columnSums + i + 4, leavingSums + i + 4, enteringSums + i + 4)
                                         : _mm_load_si128((const __m128i*)(v.columnSums + i + 4));
            const __m128i means = _mm_packus_epi32(mean(low), mean(high));
            const __m128i result = _mm_blendv_epi8(_mm_load_si128((const __m128i*)(values + i)), means, smooth);
            _mm_storeu_si128((__m128i*)(row + 2 * i), result);
        }
        if (sliding) {
            sumRows.Rotate();
            countRows.Rotate();
        }
    }
}

}  // namespace

BitgradeSSE41::BitgradeSSE41(PClip child, IScriptEnvironment* env, int span, int ythr, int cthr, bool debug)
    : GenericVideoFilter(child), capacity(0), span(span), ythr(ythr), cthr(cthr), debug(debug) {
    if (vi.width % 16 != 0) env->ThrowError(BITGRADE_MSG_WIDTH16);
    vi = OutputVideoInfo(vi, debug);
}

PVideoFrame BitgradeSSE41::GetFrame(int n, IScriptEnvironment* env) {
    return RunFramePipeline(*this, child, vi, n, env);
}

bool BitgradeSSE41::ConvertFrame(const PVideoFrame& src, const PVideoFrame& dst) {
    return ConvertPlanes(*this, src, dst, debug);
}

bool BitgradeSSE41::ProcessPlane(const PVideoFrame& src, const PVideoFrame& dst, int plane) {
    const int H = src->GetHeight(plane);
    const int W = PlaneWidth(vi, debug, plane);
    if (H <= 0 || W <= 0) return true;
    const int srcPitch = src->GetPitch(plane);
    const uint32_t columns = BlockColumns((uint32_t)W);
    const uint64_t stride = (((uint64_t)(srcPitch > W ? srcPitch : W) + 15) & ~(uint64_t)15) + 16;
    const uint32_t r = PlaneRadius(span, plane);
    // The threshold test is busy < (int16)(threshold + 1): nothing passes when
    // that is 0 or negative, else busy <= its predecessor. The sum is taken
    // unsigned, so that the largest threshold wraps instead of overflowing.
    const int16_t t = (int16_t)(uint16_t)((uint32_t)(plane == PLANAR_Y ? ythr : cthr) + 1u);
    const bool smoothing = WindowFits(r, H, W) && t > 0;
    const uint16_t limit = (uint16_t)(t - 1);
    const bool vectorBand = smoothing && r <= kNarrowMaxRadius;

    ScratchLayout layout;
    const uint64_t N = (uint64_t)H * stride;
    const uint64_t workAt = layout.Add(N, 2), edgeAt = layout.Add(N, 2);
    const uint64_t carryAt = layout.Add(stride, 2), codeAt = layout.Add(stride, 2);
    uint64_t windowAt[4] = {0, 0, 0, 0};
    if (vectorBand) {
        windowAt[0] = layout.Add(stride, 4);
        windowAt[1] = layout.Add((2 * (uint64_t)r + 2) * stride, 4);
        windowAt[2] = layout.Add((2 * (uint64_t)r + 2) * stride, 2);
    } else if (smoothing) {
        WindowScratch<uint64_t, uint32_t>::Lay(layout, stride, r, windowAt);
    }
    if (!ReservePlane(scratch, capacity, N, layout.Total())) return false;
    const VectorPlane v = {
        {Carve<uint16_t>(scratch, workAt), Carve<uint16_t>(scratch, edgeAt), stride, (uint32_t)H, (uint32_t)W},
        columns,
        r,
        Carve<uint16_t>(scratch, carryAt),
        Carve<uint16_t>(scratch, codeAt),
        Carve<uint32_t>(scratch, windowAt[0]),
        Carve<uint32_t>(scratch, windowAt[1]),
        Carve<uint16_t>(scratch, windowAt[2])};

    const BYTE* in = src->GetReadPtr(plane);
    const uint32_t readable = (uint32_t)(srcPitch < W ? srcPitch : W);
    for (int y = 0; y < H; ++y) LoadRow(in + (size_t)y * srcPitch, readable, (uint32_t)W, v.p.Row((uint32_t)y));
    ClassifyPlane(v);

    BYTE* out = dst->GetWritePtr(plane);
    const int pitch = dst->GetPitch(plane);
    if (vectorBand) {
        if (debug) SmoothBand<true>(v, limit, out, pitch);
        else SmoothBand<false>(v, limit, out, pitch);
    } else if (smoothing) {
        SmoothPlane(v.p, r, limit, debug, WindowScratch<uint64_t, uint32_t>::Carved(scratch, windowAt));
    }
    for (uint32_t y = 0; y < (uint32_t)H; ++y) {
        const bool band = smoothing && y >= r && y + r < (uint32_t)H;
        if (band && vectorBand) continue;
        WriteRow(v.p, y, debug, band ? r : 0, band ? (uint32_t)W - r : 0, out + (size_t)y * pitch);
    }
    return true;
}

}  // namespace bitgrade
