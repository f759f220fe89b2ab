// The scalar row kernels of level 2, the streaming converter.
#include "row_kernels.h"

namespace bitgrade {

void NeighbourCodeRow(const uint16_t* c, const uint16_t* x, uint32_t n, const Levels& levels, uint16_t* carry,
                      uint16_t* code) {
    // Pair codes of the previous column, carried to the next.
    uint16_t rightPrev = 0, crossPrev = 0, belowRightPrev = 0;
    auto codeOf = [&](uint32_t a, uint32_t b) { return DiffToCode((int32_t)a - (int32_t)b, levels); };
    for (uint32_t i = 0; i + 1 < n; ++i) {
        const uint16_t right = codeOf(c[i], c[i + 1]);
        const uint16_t below = codeOf(c[i], x[i]);
        const uint16_t belowRight = codeOf(c[i], x[i + 1]);
        const uint16_t cross = codeOf(c[i + 1], x[i]);
        code[i] = (uint16_t)(carry[i] + SwapNibbles(rightPrev) + crossPrev + right + below + belowRight);
        carry[i] = SwapNibbles((uint16_t)(belowRightPrev + cross + below));
        rightPrev = right;
        crossPrev = cross;
        belowRightPrev = belowRight;
    }
    code[n - 1] = kRowEndCode;
    code[0] = kRowEndCode;
}

}  // namespace bitgrade
