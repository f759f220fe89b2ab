// Level 3, the vector converter: SSE4.1 row kernels over 16-column blocks.
#include "bitgrade_sse41.h"

#include "../plugin/frame_pipeline.h"
#include "row_kernels_sse41.h"
#include "window_stage.h"

namespace bitgrade {

namespace {

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

BITGRADE_SSE41 void ShiftRow(uint16_t* values, uint32_t columns) {
    for (uint32_t i = 0; i < columns; i += 8) {
        __m128i* at = (__m128i*)(values + i);
        _mm_store_si128(at, _mm_slli_epi16(_mm_load_si128(at), 8));
    }
}

// Plane geometry and the buffers carved for it.
struct VectorPlane {
    WorkPlane<uint16_t> p;
    uint32_t columns;  // block columns
    uint32_t r;
    uint16_t* carryCodes;
    uint16_t* codeRow;  // the codes of the row being classified
    uint16_t* busy;     // the window's busy counts per column
    uint32_t* columnSums;
    uint32_t* sumRing;
    uint16_t* countRing;
};

// Loads and classifies a plane's rows in order, each when it is first
// needed, so that the band can take rows as they are ready and a ring of a
// few rows can hold the work plane while it stays in cache.
class RowClassifier {
public:
    RowClassifier(const VectorPlane& v, const RowKernels& kernels, const BYTE* in, int pitch, uint32_t readable)
        : v(v), kernels(kernels), in(in), pitch(pitch), readable(readable), loaded(0), classified(0) {
        FillBlocksVec(v.carryCodes, 0, (uint32_t)(v.p.stride * 2));
    }

    // Rows 0..y hold their unsmoothed values and edge marks.
    void Through(uint32_t y) {
        while (classified <= y) ClassifyNext();
    }

private:
    void LoadThrough(uint32_t y) {
        for (; loaded <= y && loaded < v.p.H; ++loaded)
            LoadRow(in + (size_t)loaded * pitch, readable, v.p.W, v.p.Row(loaded));
    }

    // The codes of row y come from rows y and y+1 and the carry of the pair
    // above; a row's samples are shifted only once no code needs them.
    void ClassifyNext() {
        const WorkPlane<uint16_t>& p = v.p;
        const uint32_t y = classified++;
        LoadThrough(y + 1);
        if (y == 0 || y + 1 == p.H) {
            // Border rows; the first pair of rows starts the carry.
            if (y == 0 && p.H >= 3) kernels.neighbourCodeRow(p.Row(0), p.Row(1), v.columns, v.carryCodes, v.codeRow);
            ShiftRow(p.Row(y), v.columns);
            FillBlocksVec(p.EdgeRow(y), kEdgeMark, (uint32_t)(p.stride * 2));
            return;
        }
        kernels.neighbourCodeRow(p.Row(y), p.Row(y + 1), v.columns, v.carryCodes, v.codeRow);
        // The last visible column is a border pixel even when the row ends
        // inside a block: its right neighbours are padding, not picture.
        v.codeRow[p.W - 1] = kRowEndCode;
        uint16_t* edges = p.EdgeRow(y);
        kernels.classifyRow(v.codeRow, p.Row(y), edges, v.columns);
        FillBlocksVec(edges + v.columns, kEdgeMark, (uint32_t)(p.stride - v.columns) * 2);
    }

    const VectorPlane& v;
    const RowKernels& kernels;
    const BYTE* in;
    int pitch;
    uint32_t readable, loaded, classified;
};

// Adds one row's counts (and sums, unless sums is null) onto the column
// totals; `zeroCounts` and `zeroSums` are the free slot, still zero.
BITGRADE_SSE41 void AddWindowRow(const VectorPlane& v, const uint16_t* zeroCounts, const uint16_t* counts,
                                 const uint32_t* zeroSums, const uint32_t* sums) {
    for (uint32_t i = 0; i < v.columns; i += 8) {
        Slide16(v.busy + i, zeroCounts + i, counts + i);
        if (!zeroSums) continue;
        Slide32(v.columnSums + i, zeroSums + i, sums + i);
        Slide32(v.columnSums + i + 4, zeroSums + i + 4, sums + i + 4);
    }
}

// The whole plane, written straight to the destination as its rows are
// classified: rows r..H-r-1 smoothed, the others unsmoothed. A column is
// smoothed when its busy count is at most `limit` (0..32766), compared
// unsigned, so the row-end counts of wide windows (255 * (2r+1) > 32767)
// never pass. W is a multiple of 8 (the constructor's width check); the ring
// of work rows holds at least 2r+3 rows.
void SmoothBand(const VectorPlane& v, RowClassifier& rows, const RowKernels& kernels, bool debug, uint16_t limit,
                BYTE* out, int pitch) {
    const WorkPlane<uint16_t>& p = v.p;
    const uint32_t r = v.r, W = p.W, slots = 2 * r + 2;
    FillBlocksVec(v.busy, 0, (uint32_t)(p.stride * 2));
    FillBlocksVec(v.columnSums, 0, (uint32_t)(p.stride * 4));
    FillBlocksVec(v.sumRing, 0, (uint32_t)(slots * p.stride * 4));
    FillBlocksVec(v.countRing, 0, (uint32_t)(slots * p.stride * 2));
    RowQueue<uint32_t> sumRows(v.sumRing, p.stride, slots);
    RowQueue<uint16_t> countRows(v.countRing, p.stride, slots);

    // The first window: rows 0..2r, added onto zeroed totals (the free slot
    // is still zero, so it serves as the leaving row).
    rows.Through(2 * r);
    for (uint32_t y = 0; y < r; ++y) WriteRow(p, y, debug, 0, 0, out + (size_t)y * pitch);
    for (uint32_t k = 0; k <= 2 * r; ++k) {
        kernels.windowRowSums(r, W, p.Row(k), p.EdgeRow(k), sumRows.Slot(k), countRows.Slot(k));
        AddWindowRow(v, countRows.Back(), countRows.Slot(k), debug ? nullptr : sumRows.Back(), sumRows.Slot(k));
    }

    const BoxMean mean(r);
    BandRow row = {v.busy, v.columnSums, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &mean, W, limit, false};
    for (uint32_t y = r; y + r < p.H; ++y) {
        row.slide = y > r;
        row.leavingCounts = countRows.Front();
        row.leavingSums = sumRows.Front();
        row.enteringCounts = countRows.Back();
        row.enteringSums = sumRows.Back();
        if (row.slide) {
            rows.Through(y + r);
            kernels.windowRowSums(r, W, p.Row(y + r), p.EdgeRow(y + r), sumRows.Back(), countRows.Back());
        }
        row.values = p.Row(y);
        row.edges = p.EdgeRow(y);
        (debug ? kernels.bandMapRow : kernels.bandRow)(row, out + (size_t)y * pitch);
        if (row.slide) {
            sumRows.Rotate();
            countRows.Rotate();
        }
    }
    for (uint32_t y = p.H - r; y < p.H; ++y) WriteRow(p, y, debug, 0, 0, out + (size_t)y * pitch);
}

}  // namespace

BitgradeSSE41::BitgradeSSE41(PClip child, IScriptEnvironment* env, int span, int ythr, int cthr, bool debug,
                             VectorIsa isa)
    : GenericVideoFilter(child),
      capacity(0),
      span(span),
      ythr(ythr),
      cthr(cthr),
      debug(debug),
      kernels(&KernelsFor(isa)) {
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

    // The band needs rows y-r..y+r+1 at row y: a ring of 2r+3 rows does.
    const uint32_t ringRows = vectorBand && 2 * r + 3 < (uint32_t)H ? 2 * r + 3 : (uint32_t)H;
    ScratchLayout layout;
    const uint64_t N = (uint64_t)ringRows * stride;
    const uint64_t workAt = layout.Add(N, 2), edgeAt = layout.Add(N, 2);
    const uint64_t carryAt = layout.Add(stride, 2), codeAt = layout.Add(stride, 2), busyAt = layout.Add(stride, 2);
    uint64_t windowAt[4] = {0, 0, 0, 0};
    if (vectorBand) {
        windowAt[0] = layout.Add(stride, 4);
        windowAt[1] = layout.Add((2 * (uint64_t)r + 2) * stride, 4);
        windowAt[2] = layout.Add((2 * (uint64_t)r + 2) * stride, 2);
    } else if (smoothing) {
        WindowScratch<uint64_t, uint32_t>::Lay(layout, stride, r, windowAt);
    }
    if (!ReservePlane(scratch, capacity, N, layout.Total())) return false;
    const VectorPlane v = {{Carve<uint16_t>(scratch, workAt), Carve<uint16_t>(scratch, edgeAt), stride, (uint32_t)H,
                            (uint32_t)W, ringRows},
                           columns,
                           r,
                           Carve<uint16_t>(scratch, carryAt),
                           Carve<uint16_t>(scratch, codeAt),
                           Carve<uint16_t>(scratch, busyAt),
                           Carve<uint32_t>(scratch, windowAt[0]),
                           Carve<uint32_t>(scratch, windowAt[1]),
                           Carve<uint16_t>(scratch, windowAt[2])};

    const uint32_t readable = (uint32_t)(srcPitch < W ? srcPitch : W);
    RowClassifier rows(v, *kernels, src->GetReadPtr(plane), srcPitch, readable);
    BYTE* out = dst->GetWritePtr(plane);
    const int pitch = dst->GetPitch(plane);
    if (vectorBand) {
        SmoothBand(v, rows, *kernels, debug, limit, out, pitch);
        return true;
    }
    rows.Through((uint32_t)H - 1);
    if (smoothing) SmoothPlane(v.p, r, limit, debug, WindowScratch<uint64_t, uint32_t>::Carved(scratch, windowAt));
    for (uint32_t y = 0; y < (uint32_t)H; ++y) {
        const bool band = smoothing && y >= r && y + r < (uint32_t)H;
        WriteRow(v.p, y, debug, band ? r : 0, band ? (uint32_t)W - r : 0, out + (size_t)y * pitch);
    }
    return true;
}

}  // namespace bitgrade
