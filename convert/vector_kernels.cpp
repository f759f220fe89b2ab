// The scalar twins of the vector converter's kernels, their table, and the
// choice among the tables.
#include "vector_kernels.h"

namespace bitgrade {

namespace {

template <class Sample>
void ClassifySamples(const Sample* above, const Sample* row, const Sample* below, uint32_t columns,
                     const Levels& levels, uint16_t* values, uint8_t* edges) {
    const Sample* const rows[3] = {above, row, below};
    for (uint32_t i = 0; i < columns; ++i) {
        uint16_t code = 0;
        for (int dy = 0; dy < 3; ++dy)
            for (int dx = -1; dx <= 1; ++dx)
                if (dy != 1 || dx != 0)
                    code = (uint16_t)(code + DiffToCode((int32_t)row[i] - rows[dy][(int64_t)i + dx], levels));
        const bool flat = IsFlatCode(code);
        values[i] = levels.Value(row[i], flat ? FractionOfCode(code, levels) : 0);
        edges[i] = flat ? 0 : 0xFF;
    }
}

void ClassifyRow(const uint8_t* above, const uint8_t* row, const uint8_t* below, uint32_t columns, uint16_t* values,
                 uint8_t* edges) {
    ClassifySamples(above, row, below, columns, kByteLevels, values, edges);
}

void ClassifyRow16(const uint16_t* above, const uint16_t* row, const uint16_t* below, uint32_t columns,
                   const Levels& levels, uint16_t* values, uint8_t* edges) {
    ClassifySamples(above, row, below, columns, levels, values, edges);
}

void SlideWindow(const ColumnTotals& t, const uint16_t* enteringValues, const uint8_t* enteringEdges,
                 const uint16_t* leavingValues, const uint8_t* leavingEdges, uint32_t columns) {
    for (uint32_t x = 0; x < columns; ++x) {
        t.sums[x] += (uint32_t)enteringValues[x] - leavingValues[x];
        t.counts[x] = (uint8_t)(t.counts[x] + (enteringEdges[x] != 0) - (leavingEdges[x] != 0));
    }
}

void RunningSums(const ColumnTotals& totals, const RunningTotals& running, uint32_t n) {
    uint32_t sum = 0;
    uint16_t count = 0;
    for (uint32_t x = 0; x < n; ++x) {
        running.sums[x] = sum += totals.sums[x];
        running.counts[x] = count = (uint16_t)(count + totals.counts[x]);
    }
}

void IntegrateRow(const uint16_t* values, const uint8_t* edges, uint32_t columns, const RunningTotals& above,
                  const RunningTotals& out) {
    uint32_t sum = 0;
    uint16_t count = 0;
    for (uint32_t x = 0; x < columns; ++x) {
        out.sums[x] = above.sums[x] + (sum += values[x]);
        out.counts[x] = (uint16_t)(above.counts[x] + (count = (uint16_t)(count + (edges[x] != 0))));
    }
}

// Column x's window of a row of totals: its 2r+1 entries added.
template <class T>
T Window(const BandRow& b, const T* totals, uint32_t x) {
    T sum = 0;
    for (uint32_t k = 0; k <= 2 * b.r; ++k) sum = (T)(sum + totals[(int64_t)x - b.r + k]);
    return sum;
}

// The same from running sums along a row, the difference of two.
template <class T>
T RunningWindow(const BandRow& b, const T* running, uint32_t x) {
    const int64_t first = (int64_t)x - b.r;
    return (T)(running[first + 2 * b.r] - running[first - 1]);
}

// From the bottom row's running sums, less the top row's where they are
// integrals.
template <class T>
T RunningWindows(const BandRow& b, const T* bottom, const T* top, uint32_t x) {
    const T window = RunningWindow(b, bottom, x);
    return b.windows == Windows::kIntegrals ? (T)(window - RunningWindow(b, top, x)) : window;
}

// Whether column x's window holds few enough edge marks to be smoothed.
bool Smoothed(const BandRow& b, uint32_t x) {
    const uint32_t count = b.windows == Windows::kColumns ? Window(b, b.totals.counts, x)
                                                          : RunningWindows(b, b.bottom.counts, b.top.counts, x);
    return count <= b.limit;
}

uint32_t WindowSum(const BandRow& b, uint32_t x) {
    return b.windows == Windows::kColumns ? Window(b, b.totals.sums, x)
                                          : RunningWindows(b, b.bottom.sums, b.top.sums, x);
}

void BandRowScalar(const BandRow& b, uint8_t* out) {
    for (uint32_t x = 0; x < b.W; ++x) {
        const uint16_t value = Smoothed(b, x) ? (*b.mean)(WindowSum(b, x)) : b.values[x];
        out[2 * x] = (uint8_t)value;
        out[2 * x + 1] = (uint8_t)(value >> 8);
    }
}

void BandMapRowScalar(const BandRow& b, uint8_t* out) {
    for (uint32_t x = 0; x < b.W; ++x) out[x] = Smoothed(b, x) ? 0 : b.edges[x] ? kEdgeMark : kFlatMark;
}

void ReduceRowScalar(const uint16_t* in, uint32_t W, uint32_t shift, const uint16_t* thresholds, uint8_t* out) {
    ReduceColumns(in, 0, W, shift, thresholds, out);
}

void DiffuseRowScalar(const uint16_t* in, uint32_t W, uint32_t shift, uint8_t* out) {
    DiffuseColumns(in, 0, W, shift, HalfStep(shift), out);
}

}  // namespace

// Bound by name: two kernels of one signature cannot change places.
constexpr RowKernels ScalarKernels() {
    RowKernels k = {};
    k.isa = "scalar";
    k.runningSumsFrom = 1;
    k.classifyRow = ClassifyRow;
    k.classifyRow16 = ClassifyRow16;
    k.slideWindow = SlideWindow;
    k.runningSums = RunningSums;
    k.integrateRow = IntegrateRow;
    k.tapsRow = TapRowScalar<uint16_t>;
    k.tapsRow8 = TapRowScalar<uint8_t>;
    k.bandRow = BandRowScalar;
    k.bandMapRow = BandMapRowScalar;
    k.reduceRow = ReduceRowScalar;
    k.diffuseRow = DiffuseRowScalar;
    return k;
}

const RowKernels kScalarKernels = ScalarKernels();

const RowKernels& KernelsFor(VectorIsa isa) { return isa == VectorIsa::kAvx2 ? kAvx2Kernels : kSse41Kernels; }

}  // namespace bitgrade
