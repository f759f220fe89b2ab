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

// One source row as sample rows hold it (sample - 128), over the block
// columns and the spare block after them, with a zero before column 0: the
// neighbours that the row ends read are defined, if never used. Columns past
// the source pitch repeat the row's last readable sample.
BITGRADE_SSE41 void LoadSamples(const BYTE* in, uint32_t readable, uint32_t W, int8_t* row) {
    const __m128i bias = _mm_set1_epi8((char)kSampleBias);
    const uint32_t whole = (readable < W ? readable : W) / 16 * 16;
    uint32_t x = 0;
    for (; x < whole; x += 16) {
        _mm_prefetch((const char*)(in + x + 64), _MM_HINT_NTA);
        _mm_store_si128((__m128i*)(row + x), _mm_xor_si128(_mm_loadu_si128((const __m128i*)(in + x)), bias));
    }
    for (; x < W; ++x) row[x] = (int8_t)(in[x < readable ? x : readable - 1] ^ kSampleBias);
    for (; x < BlockColumns(W) + 16; ++x) row[x] = 0;
    row[-1] = 0;
}

// The unsmoothed values and edge marks of a border row: sample << 8, all edges.
void BorderRow(const int8_t* samples, uint32_t columns, uint16_t* values) {
    for (uint32_t x = 0; x < columns; ++x) values[x] = (uint16_t)((uint8_t)(samples[x] ^ kSampleBias) << 8);
}

// Entries a sample row keeps before column 0 (it reads one of them).
const uint32_t kSampleMargin = 16;

// Plane geometry and the buffers carved for it.
struct VectorPlane {
    WorkPlane<uint16_t> p;
    uint32_t columns;  // block columns
    uint32_t r;
    int8_t* samples;  // three sample rows, each sampleStride bytes from the last
    uint64_t sampleStride;
    uint16_t* busy;  // the window's busy counts per column
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
        : v(v), kernels(kernels), in(in), pitch(pitch), readable(readable), loaded(0), classified(0) {}

    // Rows 0..y hold their unsmoothed values and edge marks.
    void Through(uint32_t y) {
        while (classified <= y) ClassifyNext();
    }

private:
    // Row y's samples; three rows are kept, all that one row's class needs.
    int8_t* Samples(uint32_t y) const { return v.samples + kSampleMargin + (y % 3) * v.sampleStride; }

    void LoadThrough(uint32_t y) {
        for (; loaded <= y && loaded < v.p.H; ++loaded)
            LoadSamples(in + (size_t)loaded * pitch, readable, v.p.W, Samples(loaded));
    }

    // Row y from rows y-1, y and y+1; the first and last rows and columns are
    // border pixels.
    void ClassifyNext() {
        const WorkPlane<uint16_t>& p = v.p;
        const uint32_t y = classified++;
        LoadThrough(y + 1);
        uint16_t* values = p.Row(y);
        uint16_t* edges = p.EdgeRow(y);
        if (y == 0 || y + 1 == p.H) {
            BorderRow(Samples(y), v.columns, values);
            FillBlocksVec(edges, kEdgeMark, (uint32_t)(p.stride * 2));
            return;
        }
        kernels.classifyRow(Samples(y - 1), Samples(y), Samples(y + 1), v.columns, values, edges);
        // The last visible column is a border pixel even when the row ends
        // inside a block: its right neighbours are padding, not picture.
        auto border = [&](uint32_t x) {
            values[x] = (uint16_t)((uint8_t)(Samples(y)[x] ^ kSampleBias) << 8);
            edges[x] = 0xFFFF;
        };
        border(0);
        border(p.W - 1);
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
    BandRow row = {v.busy, v.columnSums, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &mean, W, limit};
    for (uint32_t y = r; y + r < p.H; ++y) {
        // Row r's window is complete: it slides by the free slot, in and out.
        const bool slide = y > r;
        row.leavingCounts = slide ? countRows.Front() : countRows.Back();
        row.leavingSums = slide ? sumRows.Front() : sumRows.Back();
        row.enteringCounts = countRows.Back();
        row.enteringSums = sumRows.Back();
        if (slide) {
            rows.Through(y + r);
            kernels.windowRowSums(r, W, p.Row(y + r), p.EdgeRow(y + r), sumRows.Back(), countRows.Back());
        }
        row.values = p.Row(y);
        row.edges = p.EdgeRow(y);
        (debug ? kernels.bandMapRow : kernels.bandRow)(row, out + (size_t)y * pitch);
        if (slide) {
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
    const uint64_t sampleStride = stride + 2 * kSampleMargin;
    const uint64_t samplesAt = layout.Add(3 * sampleStride, 1), busyAt = layout.Add(stride, 2);
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
                           Carve<int8_t>(scratch, samplesAt),
                           sampleStride,
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
