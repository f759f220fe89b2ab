// Fuzzer-chosen rows, lengths and radii through each vector kernel and its
// scalar twin. The two must agree on every code's up, down and far fields
// (the vector codes also count equal neighbours), on every carry, and on
// every count and sum, except that the vector sums of the row-end columns
// are (2r+1) * value; anything else is a crash.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "convert/row_kernels_sse41.h"

using namespace bitgrade;

namespace {

// Bytes from the input, repeated as needed, zeros when there are none.
struct ByteSource {
    const uint8_t* data;
    size_t size, at;
    uint8_t Next() { return size ? data[at++ % size] : 0; }
};

template <class T>
T* Aligned(std::vector<T>& v) {
    return (T*)(((uintptr_t)v.data() + 15) & ~(uintptr_t)15);
}

void Require(bool condition) {
    if (!condition) __builtin_trap();
}

void NeighbourCodes(ByteSource& in, uint32_t n) {
    std::vector<uint16_t> rows[3], carry(n + 48, 0), code(n + 48, 0xBEEF), scalarCarry(n, 0), scalarCode(n);
    for (auto& row : rows) {
        row.resize(n + 48);
        for (uint32_t i = 0; i <= n + 16; ++i) Aligned(row)[i] = in.Next();
    }
    uint16_t *c = Aligned(carry), *k = Aligned(code);
    for (int call = 0; call < 2; ++call) {
        NeighbourCodeRowVec(Aligned(rows[call]), Aligned(rows[call + 1]), n, c, k);
        NeighbourCodeRow(Aligned(rows[call]), Aligned(rows[call + 1]), n, scalarCarry.data(), scalarCode.data());
    }
    const uint32_t covered = n / 16 * 16;
    for (uint32_t i = 0; i < n; ++i) {
        if (i < covered || i == 0 || i == n - 1) Require((k[i] & 0x0FFF) == scalarCode[i]);
        else Require(k[i] == 0xBEEF);
        if (i + 1 < n && i < covered) Require((c[i] & 0x0FFF) == scalarCarry[i]);
    }
}

void WindowSums(ByteSource& in, uint32_t W, uint32_t r) {
    std::vector<uint16_t> values(W + 32), edges(W + 32), counts(W + 32), scalarCounts(W);
    std::vector<uint32_t> sums(W + 32), scalarSums(W);
    for (uint32_t i = 0; i < W + 7; ++i) {
        values[i] = (uint16_t)(in.Next() << 8 | in.Next());
        edges[i] = in.Next() & 1 ? in.Next() : 0;
    }
    WindowRowSumsVec(r, W, values.data(), edges.data(), sums.data(), counts.data());
    WindowRowSums(r, W, values.data(), edges.data(), scalarSums.data(), scalarCounts.data());
    for (uint32_t i = 0; i < W; ++i) {
        Require(counts[i] == scalarCounts[i]);
        const bool rowEnd = i < r || i + r >= W;
        Require(sums[i] == (rowEnd ? (2 * r + 1) * values[i] : scalarSums[i]));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    ByteSource in{data + 4, size - 4, 0};
    const uint32_t length = 1 + (uint32_t)((data[1] | data[2] << 8) % 400);
    if (data[0] & 1) {
        NeighbourCodes(in, length);
    } else {
        const uint32_t r = data[3] % 64;
        WindowSums(in, length, 2 * r + 1 <= length ? r : (length - 1) / 2);
    }
    return 0;
}
