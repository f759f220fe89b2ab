// The row kernels of level 3, the vector converter: one table per instruction
// set. The converter, the twin tests, the fuzzer and the benchmarks all take
// their kernels from these tables, so that no kernel exists without its test
// against the scalar twin and its benchmark row.
#pragma once

#include "row_kernels.h"

namespace bitgrade {

// One row of the smoothed band. The column totals first lose the leaving
// row's entries and gain the entering row's (the same row for the first band
// row, whose totals are already those of its window). A column whose
// busy count is at most `limit` (compared unsigned) is smoothed: the 16-bit
// output takes its window's mean, the map byte 0; any other column keeps its
// unsmoothed value, or its edge mark OR-ed with the flat mark. W is a
// multiple of 8; totals and rows start 16-byte aligned.
struct BandRow {
    uint16_t* busy;
    uint32_t* sums;  // not kept for the map
    const uint16_t* leavingCounts;
    const uint16_t* enteringCounts;
    const uint32_t* leavingSums;
    const uint32_t* enteringSums;
    const uint16_t* values;
    const uint16_t* edges;
    const BoxMean* mean;
    uint32_t W;
    uint16_t limit;
};

// Sample rows of the classification hold sample - 128 as signed bytes, so
// that the vector kernels can take differences with signed saturation: a
// far neighbour then never passes for a near one, even between 0 and 255.
const uint8_t kSampleBias = 0x80;

struct RowKernels {
    const char* isa;
    // Entries past column W-1 that windowRowSums reads and writes: every row
    // of its inputs and outputs needs that many spare entries.
    uint32_t spare;
    // Unsmoothed values (sample << 8, plus the fraction of a flat pixel) and
    // edge marks (0 flat, 0xFFFF otherwise) of `columns` pixels of `row`, a
    // multiple of 16, from their eight neighbours in the rows above, at and
    // below. Each sample row is readable from entry -1 to entry `columns`;
    // sample rows start 16-byte aligned, as do `values` and `edges`.
    void (*classifyRow)(const int8_t* above, const int8_t* row, const int8_t* below, uint32_t columns, uint16_t* values,
                        uint16_t* edges);
    // Horizontal window sums and edge counts: see WindowRowSumsVec.
    void (*windowRowSums)(uint32_t r, uint32_t W, const uint16_t* values, const uint16_t* edges, uint32_t* sums,
                          uint16_t* counts);
    // One band row to the destination: W little-endian 16-bit values, or W
    // map bytes.
    void (*bandRow)(const BandRow& row, BYTE* out);
    void (*bandMapRow)(const BandRow& row, BYTE* out);
};

// The scalar twins, the reference that every vector table is tested against.
extern const RowKernels kScalarKernels;
extern const RowKernels kSse41Kernels;
extern const RowKernels kAvx2Kernels;

// The instruction sets the vector converter can run, and the one place that
// chooses among them.
enum class VectorIsa { kSse41, kAvx2 };
const RowKernels& KernelsFor(VectorIsa isa);

}  // namespace bitgrade
