// Level 3, the vector converter: the row kernels of its instruction set's
// table over 16-column blocks, and the rows' order through the plane.
//
// Rows of any width are worked on in whole 16-column blocks in its own
// buffers; only the destination ends where the row ends.
//
// Its rules, where the streaming converter's, which it otherwise gives
// exactly, differ:
// - The threshold test is made in 16 bits: busy < (int16)(threshold + 1).
//   Nothing is smoothed when that is 0 or negative, which takes thresholds
//   from -32769 to -1 and ones like 32767 and 65535.
// - The first and last r.x columns of a row, whose windows do not fit it,
//   count 255 edge marks a row: above 255 * (2r.y+1) - 1 they are smoothed
//   too, each to the mean of its own column's 2r.y+1 values.
#include "vector_converter.h"

#include "row_kernels_sse41.h"
#include "window_stage.h"

namespace bitgrade {

namespace {

// Block columns: rows are converted in whole 16-column blocks, the last one
// padded; stride leaves at least one spare block after them.
inline uint32_t BlockColumns(uint32_t W) { return (W + 15) / 16 * 16; }

// One source row as a sample row of bytes or 16-bit words, over the block
// columns and the spare block after them, with a zero before column 0: the
// neighbours that the row ends read are defined, if never used. Columns past
// the source pitch repeat the row's last readable sample. The source row
// `ahead` is asked for meanwhile, so that it arrives before it is needed.
template <class Sample>
BITGRADE_SSE41 void LoadSamples(const uint8_t* in, const uint8_t* ahead, uint32_t readable, uint32_t W, Sample* row) {
    const uint32_t perVector = 16 / sizeof(Sample), whole = (readable < W ? readable : W) / perVector * perVector;
    uint32_t x = 0;
    for (; x < whole; x += perVector) {
        if (x % (64 / sizeof(Sample)) == 0) _mm_prefetch((const char*)(ahead + x * sizeof(Sample)), _MM_HINT_T0);
        _mm_store_si128((__m128i*)(row + x), _mm_loadu_si128((const __m128i*)(in + x * sizeof(Sample))));
    }
    for (; x < W; ++x) {
        const uint8_t* at = in + (size_t)(x < readable ? x : readable - 1) * sizeof(Sample);
        row[x] = sizeof(Sample) == 1 ? *at : (Sample)(at[0] | at[1] << 8);
    }
    for (; x < BlockColumns(W) + 16; ++x) row[x] = 0;
    row[-1] = 0;
}

// Rows between the one loaded and the one asked for.
const uint32_t kPrefetchRows = 4;

// Bytes a sample row keeps before column 0 (it reads one sample of them).
const uint32_t kSampleMargin = 16;

// One window of the band: a rung of the adaptive mode, or the one span.
// The one span keeps its own column totals and their running sums, margins
// included; the rungs take theirs from the plane's integrals.
struct BandRung {
    Radii r;
    BoxMean mean;
    uint16_t limit;
    Windows windows;
    ColumnTotals totals;
    RunningTotals running;  // the totals' running sums, where the windows are read from them
};

// The adaptive mode's sums over rectangles from the plane's first row and
// column (wrapping, which leaves differences exact), which all rungs share:
// the band reads a rung's windows from two rows of them 2r+1 apart, where
// each rung would slide totals of its own and sum them along the row. A ring
// of `slots` rows, each `padded` entries with `margin` of zeros before
// column 0, and the row above row 0.
struct Integrals {
    RunningTotals ring, zero;
    uint32_t slots, margin;
    uint64_t padded;

    RunningTotals Row(int64_t y) const {
        if (y < 0) return {zero.sums + margin, zero.counts + margin};
        const uint64_t at = (uint64_t)y % slots * padded + margin;
        return {ring.sums + at, ring.counts + at};
    }
};

// Plane geometry and the buffers carved for it.
struct VectorPlane {
    WorkPlane<uint8_t> p;
    uint32_t columns;  // block columns
    uint8_t* samples;  // three sample rows, each sampleStride bytes from the last
    uint64_t sampleStride;
    Levels levels;
    uint16_t* zeroRow;     // leaves the window while it first fills
    uint16_t* chained[2];  // narrower rungs' output rows, which a wider one reads and overwrites where it averages
    uint8_t* rungMap;      // one rung's map row, in debug mode
};

// Loads and classifies a plane's rows in order, each when it is first
// needed, so that the band can take rows as they are ready and a ring of a
// few rows can hold the work plane while it stays in cache.
class RowClassifier {
public:
    RowClassifier(const VectorPlane& v, const RowKernels& kernels, const Plane& plane, uint32_t readable)
        : v(v),
          kernels(kernels),
          plane(plane),
          readable(readable),
          loaded(0),
          classified(0),
          deep(plane.depth.bits > 8) {}

    // Rows 0..y hold their unsmoothed values and edge marks.
    void Through(uint32_t y) {
        while (classified <= y) ClassifyNext();
    }

private:
    // Row y's samples, bytes or words; three rows are kept, all that one
    // row's class needs.
    uint8_t* Samples(uint32_t y) const { return v.samples + kSampleMargin + (y % 3) * v.sampleStride; }
    uint16_t* Words(uint32_t y) const { return (uint16_t*)Samples(y); }
    uint32_t Sample(uint32_t y, uint32_t x) const { return deep ? Words(y)[x] : Samples(y)[x]; }

    void LoadThrough(uint32_t y) {
        for (; loaded <= y && loaded < v.p.H; ++loaded) {
            // Ask for a row a few rows ahead, so that it arrives while this
            // one is worked on.
            const uint8_t* row = plane.SourceRow(loaded);
            const uint8_t* ahead = loaded + kPrefetchRows < v.p.H ? plane.SourceRow(loaded + kPrefetchRows) : row;
            if (deep) LoadSamples(row, ahead, readable, v.p.W, Words(loaded));
            else LoadSamples(row, ahead, readable, v.p.W, Samples(loaded));
        }
    }

    // Row y from rows y-1, y and y+1; the first and last rows and columns are
    // border pixels.
    void ClassifyNext() {
        const WorkPlane<uint8_t>& p = v.p;
        const uint32_t y = classified++;
        LoadThrough(y + 1);
        uint16_t* values = p.Row(y);
        uint8_t* edges = p.EdgeRow(y);
        if (y == 0 || y + 1 == p.H) {
            for (uint32_t x = 0; x < v.columns; ++x) values[x] = v.levels.Base(Sample(y, x));
            FillBlocksVec(edges, kEdgeMark, (uint32_t)p.stride);
            return;
        }
        if (deep) kernels.classifyRow16(Words(y - 1), Words(y), Words(y + 1), v.columns, v.levels, values, edges);
        else kernels.classifyRow(Samples(y - 1), Samples(y), Samples(y + 1), v.columns, values, edges);
        // The last visible column is a border pixel even when the row ends
        // inside a block: its right neighbours are padding, not picture.
        auto border = [&](uint32_t x) {
            values[x] = v.levels.Base(Sample(y, x));
            edges[x] = kEdgeMark;
        };
        border(0);
        border(p.W - 1);
        FillBlocksVec(edges + v.columns, kEdgeMark, (uint32_t)(p.stride - v.columns));
    }

    const VectorPlane& v;
    const RowKernels& kernels;
    const Plane& plane;
    uint32_t readable, loaded, classified;
    bool deep;  // samples in 16-bit words
};

// The first and last r.x columns of a band row: their windows do not fit
// the row, so they count as 255 edge marks from each of the window's `rows`
// rows; when even that passes the limit, each takes the mean of its own
// column's values (the window's sum taken as 2r.x+1 times their sum,
// columnSum(x)).
template <class ColumnSum>
void WriteRowEnds(const BandRow& b, uint32_t rows, ColumnSum columnSum, bool debug, uint8_t* out) {
    const uint32_t side = 2 * b.r + 1;
    const bool smoothed = kRowEndBusy * rows <= b.limit;
    auto write = [&](uint32_t x) {
        if (debug) {
            out[x] = smoothed ? 0 : b.edges[x] ? kEdgeMark : kFlatMark;
            return;
        }
        const uint16_t value = smoothed ? (*b.mean)(side * columnSum(x)) : b.values[x];
        out[2 * x] = (uint8_t)value;
        out[2 * x + 1] = (uint8_t)(value >> 8);
    };
    for (uint32_t i = 0; i < b.r; ++i) {
        write(i);
        write(b.W - 1 - i);
    }
}

// Where the converted rows go: the destination, in debug mode its map, and
// who is told as each row is complete.
struct Destination {
    const Plane& plane;
    bool debug;
    const RowDone* rowDone;

    void Done(uint32_t y) const {
        if (rowDone) rowDone->call(rowDone->context, y);
    }
};

// A single span's windows: its column totals move down the plane with the
// band, a row at a time, and their running sums follow where the radius
// takes the windows from them. The window covers rows y-r.y..y+r.y at row y:
// it gains row y+r.y and loses row y-r.y-1, or at its first row, r.y, takes
// rows 0..2r.y onto zeroed totals.
struct SlidingTotals {
    const VectorPlane& v;
    const RowKernels& kernels;

    void Through(uint32_t) {}
    void Move(const BandRung& k, uint32_t y) const {
        const WorkPlane<uint8_t>& p = v.p;
        const uint32_t r = k.r.y, margin = ColumnTotals::Margin(k.r.x), padded = v.columns + 2 * margin;
        if (y > r) {
            kernels.slideWindow(k.totals, p.Row(y + r), p.EdgeRow(y + r), p.Row(y - r - 1), p.EdgeRow(y - r - 1),
                                v.columns);
        } else {
            FillBlocksVec(k.totals.sums - margin, 0, padded * 4);
            FillBlocksVec(k.totals.counts - margin, 0, padded);
            const uint8_t* zeroEdges = (const uint8_t*)v.zeroRow;  // the zero row's bytes: no edge marks
            for (uint32_t row = 0; row <= 2 * r; ++row)
                kernels.slideWindow(k.totals, p.Row(row), p.EdgeRow(row), v.zeroRow, zeroEdges, v.columns);
        }
        if (k.windows == Windows::kRunning)
            kernels.runningSums({k.totals.sums - margin, k.totals.counts - margin},
                                {k.running.sums - margin, k.running.counts - margin}, padded);
    }
    BandRow Band(const BandRung& k, uint32_t y, const uint16_t* values) const {
        return {k.windows, k.totals, k.running, {}, values, v.p.EdgeRow(y), &k.mean, v.p.W, k.r.x, k.limit};
    }
    uint32_t ColumnSum(const BandRung& k, const BandRow&, uint32_t x) const { return k.totals.sums[x]; }
};

// The rungs' windows, from the integrals they share: each row is integrated
// once, as soon as the widest window reaches it, and a rung's window at row
// y is read from the integral rows y+r.y and y-r.y-1.
struct SharedIntegrals {
    const VectorPlane& v;
    const RowKernels& kernels;
    const Integrals& integrals;
    uint32_t integrated = 0;

    void Through(uint32_t through) {
        for (; integrated <= through; ++integrated)
            kernels.integrateRow(v.p.Row(integrated), v.p.EdgeRow(integrated), v.columns,
                                 integrals.Row((int64_t)integrated - 1), integrals.Row(integrated));
    }
    void Move(const BandRung&, uint32_t) const {}
    BandRow Band(const BandRung& k, uint32_t y, const uint16_t* values) const {
        return {Windows::kIntegrals,
                {},
                integrals.Row((int64_t)y + k.r.y),
                integrals.Row((int64_t)y - k.r.y - 1),
                values,
                v.p.EdgeRow(y),
                &k.mean,
                v.p.W,
                k.r.x,
                k.limit};
    }
    uint32_t ColumnSum(const BandRung&, const BandRow& row, uint32_t x) const {
        const uint32_t *bottom = row.bottom.sums, *top = row.top.sums;
        return (bottom[x] - bottom[(int64_t)x - 1]) - (top[x] - top[(int64_t)x - 1]);
    }
};

// The whole plane, written straight to the destination as its rows are
// classified. Row y is smoothed by the rungs whose windows fit around it
// (r.y <= y < H-r.y), narrowest first, each on the output of the one before: a
// wider rung's mean replaces a narrower one's output where the wider window
// averages. The map is 0 where any rung averaged. A column is smoothed when
// its busy count is at most the rung's limit (0..32766), compared unsigned,
// so the row-end counts of wide windows (255 * (2r.y+1) > 32767) never pass.
// R being the widest radius down, the ring of work rows holds rows y-R-1..y+R
// where the one span slides its totals, and rows y-1..y+R where the rungs
// take their windows from the integrals, whose ring holds rows y-R-1..y+R.
// In the plateaus mode (`taps`) a row starts as the taps' means, which take
// the narrowest rung's place.
template <class WindowSource>
void SmoothBand(const VectorPlane& v, const BandRung* rungs, uint32_t count, WindowSource& windows, RowClassifier& rows,
                const RowKernels& kernels, const Destination& to, TapsStage* taps = nullptr) {
    const WorkPlane<uint8_t>& p = v.p;
    const uint32_t widest = rungs[count - 1].r.y;
    FillBlocksVec(v.zeroRow, 0, v.columns * 2);
    for (uint16_t* row : v.chained) FillBlocksVec(row, 0, v.columns * 2);
    for (uint32_t y = 0; y < p.H; ++y) {
        const uint32_t through = y + widest < p.H ? y + widest : p.H - 1;
        rows.Through(through);
        windows.Through(through);
        uint32_t last = count;  // the widest rung that smooths row y
        for (uint32_t k = 0; k < count; ++k)
            if (y >= rungs[k].r.y && y + rungs[k].r.y < p.H) last = k;
        uint8_t* dst = to.plane.DestinationRow(y);
        const uint16_t* values = p.Row(y);
        const uint32_t from = taps ? 1 : 0;
        if (taps) {
            taps->Row(y, (uint8_t*)v.chained[0]);
            values = v.chained[0];
        }
        if (last == count || last < from) {
            if (taps) CopyBytes(dst, values, (size_t)p.W * 2);
            else WriteRow(p, y, to.debug, 0, 0, dst);
        }
        bool first = true;
        for (uint32_t k = from; k <= last && last < count; ++k) {
            const BandRung& rung = rungs[k];
            if (y < rung.r.y || y + rung.r.y >= p.H) continue;
            windows.Move(rung, y);
            const BandRow row = windows.Band(rung, y, values);
            auto columnSum = [&](uint32_t x) { return windows.ColumnSum(rung, row, x); };
            if (to.debug) {
                // Unaveraged samples have the same map at every rung, so the
                // maps combine by AND.
                uint8_t* map = first ? dst : v.rungMap;
                kernels.bandMapRow(row, map);
                WriteRowEnds(row, 2 * rung.r.y + 1, columnSum, true, map);
                if (!first)
                    for (uint32_t x = 0; x < p.W; ++x) dst[x] &= map[x];
            } else {
                // Each rung writes a row other than the one it reads: its row
                // ends are rewritten from what it read.
                uint16_t* next = v.chained[values == v.chained[0]];
                uint8_t* out = k == last ? dst : (uint8_t*)next;
                kernels.bandRow(row, out);
                WriteRowEnds(row, 2 * rung.r.y + 1, columnSum, false, out);
                values = next;
            }
            first = false;
        }
        to.Done(y);
    }
}

// Where a row of sums and a row of counts lie in the scratch memory: column
// totals, running sums, or integrals, margins included.
struct SumsLayout {
    uint64_t sums, counts;

    static SumsLayout Add(ScratchLayout& layout, uint64_t entries, uint64_t countBytes) {
        return {layout.Add(entries, 4), layout.Add(entries, countBytes)};
    }
    // Running sums and integrals, from the start of their margins.
    RunningTotals Running(const Scratch& scratch) const {
        return {Carve<uint32_t>(scratch, sums), Carve<uint16_t>(scratch, counts)};
    }
};

// A plane's geometry, and the buffers every mode has: the ring of work rows
// and the three sample rows; where the plane is smoothed in bands, the
// band's own rows too.
struct PlaneLayout {
    PlaneLayout(const Plane& plane, uint32_t ringRows, bool band) : sampleBytes(plane.depth.Bytes()) {
        const uint64_t W = (uint64_t)plane.width, srcSamples = (uint64_t)plane.srcPitch / sampleBytes;
        columns = BlockColumns((uint32_t)W);
        stride = (((srcSamples > W ? srcSamples : W) + 15) & ~(uint64_t)15) + 16;
        rows = ringRows < (uint32_t)plane.height ? ringRows : (uint32_t)plane.height;
        entries = (uint64_t)rows * stride;
        workAt = layout.Add(entries, 2);
        edgeAt = layout.Add(entries, 1);
        samplesAt = layout.Add(3 * SampleStride(), 1);
        if (!band) return;
        zeroRowAt = layout.Add(columns, 2);
        for (uint64_t& row : chainedAt) row = layout.Add(columns, 2);
        rungMapAt = layout.Add(columns, 1);
    }
    // Bytes from one sample row to the next.
    uint64_t SampleStride() const { return stride * sampleBytes + 2 * kSampleMargin; }

    VectorPlane Carved(const Plane& plane, const Scratch& scratch) const {
        return {{Carve<uint16_t>(scratch, workAt), Carve<uint8_t>(scratch, edgeAt), stride, (uint32_t)plane.height,
                 (uint32_t)plane.width, rows},
                columns,
                Carve<uint8_t>(scratch, samplesAt),
                SampleStride(),
                Levels(plane.depth),
                Carve<uint16_t>(scratch, zeroRowAt),
                {Carve<uint16_t>(scratch, chainedAt[0]), Carve<uint16_t>(scratch, chainedAt[1])},
                Carve<uint8_t>(scratch, rungMapAt)};
    }

    ScratchLayout layout;
    int sampleBytes;
    uint32_t columns, rows;
    uint64_t stride, entries;
    uint64_t workAt, edgeAt, samplesAt, zeroRowAt = 0, chainedAt[2] = {}, rungMapAt = 0;
};

// Rows loaded and classified straight from the source.
RowClassifier ClassifierOf(const VectorPlane& v, const RowKernels& kernels, const Plane& plane) {
    return RowClassifier(v, kernels, plane, (uint32_t)plane.ReadableSamples());
}

// A single span in bands. The band needs rows y-R-1..y+R at row y (R = r.y),
// a ring of 2R+2 rows, and the span's column totals and their running sums.
bool RunOneSpan(const Plane& plane, BandRung rung, Scratch& scratch, const RowKernels& kernels, const Destination& to) {
    PlaneLayout at(plane, 2 * rung.r.y + 2, true);
    const uint32_t margin = ColumnTotals::Margin(rung.r.x);
    const uint64_t padded = at.columns + 2 * (uint64_t)margin;
    const SumsLayout totalsAt = SumsLayout::Add(at.layout, padded, 1),
                     runningAt = SumsLayout::Add(at.layout, padded, 2);
    if (!ReservePlane(scratch, at.entries, at.layout.Total())) return false;
    rung.totals = {Carve<uint32_t>(scratch, totalsAt.sums) + margin, Carve<uint8_t>(scratch, totalsAt.counts) + margin};
    const RunningTotals running = runningAt.Running(scratch);
    rung.running = {running.sums + margin, running.counts + margin};
    const VectorPlane v = at.Carved(plane, scratch);
    RowClassifier rows = ClassifierOf(v, kernels, plane);
    SlidingTotals windows = {v, kernels};
    SmoothBand(v, &rung, 1, windows, rows, kernels, to);
    return true;
}

// The adaptive window's rungs in bands, over the integrals they share: rows
// y..y+R of work rows at row y (and the one before), and a ring of 2R+2
// rows of integrals (R the widest rung's radius down; its radius across is
// the widest too).
bool RunRungs(const Plane& plane, const BandRung* rungs, uint32_t count, Scratch& scratch, const RowKernels& kernels,
              const Destination& to, const Taps* taps) {
    const Radii widest = rungs[count - 1].r;
    PlaneLayout at(plane, widest.y + 2, true);
    const uint64_t tapsAt =
        taps ? at.layout.Add(TapsStage::RingBytes(*taps, (uint32_t)plane.width, plane.depth), 1) : 0;
    const uint32_t margin = ColumnTotals::Margin(widest.x);
    const uint64_t padded = at.columns + 2 * (uint64_t)margin;
    Integrals integrals = {{}, {}, 2 * widest.y + 2, margin, padded};
    const SumsLayout ringAt = SumsLayout::Add(at.layout, integrals.slots * padded, 2);
    const SumsLayout zeroAt = SumsLayout::Add(at.layout, padded, 2);
    if (!ReservePlane(scratch, at.entries, at.layout.Total())) return false;
    // Zeros in every row's margins (those before column 0 are the sums of no
    // column); the rows themselves are written as they are integrated.
    integrals.ring = ringAt.Running(scratch);
    integrals.zero = zeroAt.Running(scratch);
    for (uint32_t y = 0; y < integrals.slots; ++y) {
        const RunningTotals row = integrals.Row(y);
        FillBlocksVec(row.sums - margin, 0, margin * 4);
        FillBlocksVec(row.counts - margin, 0, margin * 2);
        FillBlocksVec(row.sums + at.columns, 0, margin * 4);
        FillBlocksVec(row.counts + at.columns, 0, margin * 2);
    }
    FillBlocksVec(integrals.zero.sums, 0, (uint32_t)(padded * 4));
    FillBlocksVec(integrals.zero.counts, 0, (uint32_t)(padded * 2));
    const VectorPlane v = at.Carved(plane, scratch);
    RowClassifier rows = ClassifierOf(v, kernels, plane);
    SharedIntegrals windows = {v, kernels, integrals};
    if (!taps) {
        SmoothBand(v, rungs, count, windows, rows, kernels, to);
        return true;
    }
    TapsStage stage(plane, *taps, Carve<uint8_t>(scratch, tapsAt), kernels.tapsRow8, kernels.tapsRow);
    SmoothBand(v, rungs, count, windows, rows, kernels, to, &stage);
    return true;
}

// The plateaus mode where no window wider than the narrowest fits the
// plane, or none averages: the taps' means alone.
bool RunTaps(const Plane& plane, const Taps& taps, Scratch& scratch, const RowKernels& kernels, const Destination& to) {
    ScratchLayout layout;
    const uint64_t bytes = TapsStage::RingBytes(taps, (uint32_t)plane.width, plane.depth);
    const uint64_t ringAt = layout.Add(bytes, 1);
    if (!ReservePlane(scratch, bytes, layout.Total())) return false;
    TapsStage stage(plane, taps, Carve<uint8_t>(scratch, ringAt), kernels.tapsRow8, kernels.tapsRow);
    for (uint32_t y = 0; y < (uint32_t)plane.height; ++y) {
        stage.Row(y, plane.DestinationRow(y));
        to.Done(y);
    }
    return true;
}

// Not in bands: no window that fits the plane, a threshold that passes
// none, or a single span wider than the narrow totals allow, which the
// window stage smooths over the whole plane, classified whole.
bool RunWholePlane(const Plane& plane, Radii r, uint16_t limit, bool smooth, Scratch& scratch,
                   const RowKernels& kernels, const Destination& to) {
    PlaneLayout at(plane, (uint32_t)plane.height, false);
    const WindowLayout window =
        smooth ? WindowScratch<uint64_t, uint32_t>::Lay(at.layout, at.stride, r) : WindowLayout();
    if (!ReservePlane(scratch, at.entries, at.layout.Total())) return false;
    const VectorPlane v = at.Carved(plane, scratch);
    RowClassifier rows = ClassifierOf(v, kernels, plane);
    const uint32_t H = (uint32_t)plane.height, W = (uint32_t)plane.width;
    rows.Through(H - 1);
    if (smooth) SmoothPlane(v.p, r, limit, to.debug, WindowScratch<uint64_t, uint32_t>::Carved(scratch, window));
    for (uint32_t y = 0; y < H; ++y) {
        const bool inBand = smooth && y >= r.y && y + r.y < H;
        WriteRow(v.p, y, to.debug, inBand ? r.x : 0, inBand ? W - r.x : 0, plane.DestinationRow(y));
        to.Done(y);
    }
    return true;
}

}  // namespace

bool ConvertVectorPlane(const Plane& plane, const Settings& settings, Scratch& scratch, const RowKernels& kernels,
                        const RowDone* rowDone) {
    const int H = plane.height, W = plane.width;
    if (H <= 0 || W <= 0) return true;
    const Destination to = {plane, settings.debug, rowDone};
    // busy < t passes when busy <= t - 1. The sum is taken unsigned, so that
    // the largest threshold wraps instead of overflowing.
    const int16_t t = (int16_t)(uint16_t)((uint32_t)settings.Threshold(plane.luma) + 1u);
    const uint16_t limit = (uint16_t)(t - 1);
    Radii radii[Rungs::kMost];
    const uint32_t count = t > 0 ? FittingRadii(settings, plane.subsampling, H, W, radii) : 0;
    const Taps taps(settings.span, plane.subsampling);
    if (settings.plateaus && count <= 1) return RunTaps(plane, taps, scratch, kernels, to);
    const Radii widest = count > 0 ? radii[count - 1] : Radii{0, 0};
    if (count == 0 || widest.x > kNarrowMaxRadius || widest.y > kNarrowMaxRadius)  // only a single span is so wide
        return RunWholePlane(plane, widest, limit, count > 0, scratch, kernels, to);
    // Rungs share the plane's integrals; a single span sums its windows
    // column by column, or, from a radius across on, from running sums.
    BandRung rungs[Rungs::kMost];
    for (uint32_t k = 0; k < count; ++k) {
        const Radii r = radii[k];
        const bool running = r.x >= kernels.runningSumsFrom || r.x > kByteCountMaxRadius || r.y > kByteCountMaxRadius;
        const Windows windows = count > 1 ? Windows::kIntegrals : running ? Windows::kRunning : Windows::kColumns;
        rungs[k] = {radii[k], BoxMean(radii[k]), limit, windows, {}, {}};
    }
    return count > 1 ? RunRungs(plane, rungs, count, scratch, kernels, to, settings.plateaus ? &taps : nullptr)
                     : RunOneSpan(plane, rungs[0], scratch, kernels, to);
}

}  // namespace bitgrade
