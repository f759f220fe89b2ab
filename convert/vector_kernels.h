// The row kernels of level 3, the vector converter: one table per instruction
// set. The converter, the twin tests, the fuzzer and the benchmarks all take
// their kernels from these tables, so that no kernel exists without its test
// against the scalar twin and its benchmark row.
#pragma once

#include "depth.h"
#include "processor.h"
#include "row_kernels.h"
#include "taps.h"

namespace bitgrade {

// The window's column totals: for every column, the sum of the unsmoothed
// values and the number of edge marks over the 2r+1 rows of the window (at
// most 255, so a byte). Both rows have `margin` readable entries before
// column 0 and after the last block column, which hold 0: the band reads up
// to r + 1 of them before column 0 and r + 15 past column W - 1.
struct ColumnTotals {
    uint32_t* sums;
    uint8_t* counts;
    static uint32_t Margin(uint32_t r) { return (r + 15) / 16 * 16 + 16; }
};

// Running sums of column totals along a row, whose counts need 16 bits.
struct RunningTotals {
    uint32_t* sums;
    uint16_t* counts;
};

// Up to this radius on both axes a window holds at most 225 edge marks, so
// that the band can add a window's column counts up in bytes; wider windows
// take their counts from running sums.
const uint32_t kByteCountMaxRadius = 7;

// Where a band row reads each column's window from:
// - kColumns: `totals`, the window's column totals, 2r+1 of them added
//   (radius up to kByteCountMaxRadius);
// - kRunning: `bottom`, the running sums of those totals along the row,
//   margins included: the running sum at x+r less that at x-r-1;
// - kIntegrals: two rows of the adaptive mode's integrals, `bottom` the
//   row y+r and `top` the row y-r-1: the window is the difference of their
//   running differences.
enum class Windows { kColumns, kRunning, kIntegrals };

// One row of the smoothed band, from its windows. A column whose window
// holds at most `limit` edge marks, compared unsigned, is smoothed: the
// 16-bit output takes its window's mean, the map byte 0; any other column
// keeps its unsmoothed value, or its edge mark OR-ed with the flat mark. The
// kernels write every column 0..W-1 and nothing past it, at any W; they read
// the values, edge marks and totals on to the end of W's 16-column block.
// The first and last r columns, whose windows do not fit the row, are the
// caller's to rewrite. `r` is the window's radius across; its rows are the
// caller's concern. Rows start 16-byte aligned.
struct BandRow {
    Windows windows;
    ColumnTotals totals;   // kColumns
    RunningTotals bottom;  // kRunning, kIntegrals
    RunningTotals top;     // kIntegrals
    const uint16_t* values;
    const uint8_t* edges;
    const BoxMean* mean;
    uint32_t W, r;
    uint16_t limit;
};

struct RowKernels {
    const char* isa;
    // From this radius on, the band reads each window as the difference of
    // two running sums along the row, which cost a fixed amount per column,
    // instead of adding up its 2r+1 columns (measured per table; windows
    // wider than kByteCountMaxRadius always take running sums).
    uint32_t runningSumsFrom;
    // Unsmoothed values (sample << 8, plus the fraction of a flat pixel) and
    // edge marks (0 flat, 0xFF otherwise) of `columns` pixels of `row`, a
    // multiple of 16, from their eight neighbours in the rows above, at and
    // below. Each sample row is readable from entry -1 to entry `columns`;
    // sample rows start 16-byte aligned, as do `values` and `edges`.
    void (*classifyRow)(const uint8_t* above, const uint8_t* row, const uint8_t* below, uint32_t columns,
                        uint16_t* values, uint8_t* edges);
    // The same for samples deeper than 8 bits, in 16-bit words, at the
    // levels of their depth: values are sample << levels.shift plus the
    // fraction.
    void (*classifyRow16)(const uint16_t* above, const uint16_t* row, const uint16_t* below, uint32_t columns,
                          const Levels& levels, uint16_t* values, uint8_t* edges);
    // Moves the window down a row over `columns` columns, a multiple of 16:
    // the totals gain the entering row's values and edge marks and lose the
    // leaving row's. Edge marks are 0 or 0xFF, as classifyRow writes them.
    // Arithmetic wraps at 2^32 and 2^8.
    void (*slideWindow)(const ColumnTotals& totals, const uint16_t* enteringValues, const uint8_t* enteringEdges,
                        const uint16_t* leavingValues, const uint8_t* leavingEdges, uint32_t columns);
    // Running sums along a row of n totals, n a multiple of 16: entry x of
    // `running` is the sum of entries 0..x of `totals`. Arithmetic wraps at
    // 2^32 and 2^16.
    void (*runningSums)(const ColumnTotals& totals, const RunningTotals& running, uint32_t n);
    // The adaptive mode's sums over the rectangle from row 0 and column 0 to
    // a row and a column: `out` is `above`, the previous row's, plus the
    // running sums along this row of its values and edge marks (0 or 0xFF,
    // each 0xFF counting 1), over `columns` entries, a multiple of 16.
    // Arithmetic wraps at 2^32 and 2^16, which leaves every window's
    // difference exact; the band reads windows from two such rows.
    void (*integrateRow)(const uint16_t* values, const uint8_t* edges, uint32_t columns, const RunningTotals& above,
                         const RunningTotals& out);
    // The plateaus mode's means (TapMean) of a row's W columns, into `out`
    // as 16-bit little-endian values, from rows of 16-bit samples, and of
    // 8-bit samples (at their one-code levels). Every sample row holds the
    // taps' reach of edge copies before and after it.
    TapsKernel tapsRow;
    TapsKernel tapsRow8;
    // One band row to the destination: W little-endian 16-bit values, or W
    // map bytes.
    void (*bandRow)(const BandRow& row, uint8_t* out);
    void (*bandMapRow)(const BandRow& row, uint8_t* out);
    // A row of W 16-bit values, any W, to codes of 16 - shift bits (shift 4,
    // 6 or 8): each value plus its column's threshold, saturating, shifted
    // down. `thresholds` holds kMatrixSide entries that repeat along the row,
    // at any alignment (a converter holding them lives where its host's heap
    // puts it). Codes are 16-bit little-endian, or bytes at shift 8. `out`
    // may be `in`.
    void (*reduceRow)(const uint16_t* in, uint32_t W, uint32_t shift, const uint16_t* thresholds, uint8_t* out);
    // The same with the rounding error diffused along the row, as
    // DiffuseColumns from column 0.
    void (*diffuseRow)(const uint16_t* in, uint32_t W, uint32_t shift, uint8_t* out);
};

// The scalar twins, the reference that every vector table is tested against.
extern const RowKernels kScalarKernels;
extern const RowKernels kSse41Kernels;
extern const RowKernels kAvx2Kernels;

// The one place that chooses among the tables.
const RowKernels& KernelsFor(VectorIsa isa);

}  // namespace bitgrade
