// The scalar row kernels of level 2, the streaming converter.
#include "row_kernels.h"

namespace bitgrade {

void NeighbourCodeRow(const uint16_t* c, const uint16_t* x, uint32_t n, uint16_t* carry, uint16_t* code) {
    // Pair codes of the previous column, carried to the next.
    uint16_t rightPrev = 0, crossPrev = 0, belowRightPrev = 0;
    for (uint32_t i = 0; i + 1 < n; ++i) {
        const uint16_t right = DiffToCode((int16_t)(c[i] - c[i + 1]));
        const uint16_t below = DiffToCode((int16_t)(c[i] - x[i]));
        const uint16_t belowRight = DiffToCode((int16_t)(c[i] - x[i + 1]));
        const uint16_t cross = DiffToCode((int16_t)(c[i + 1] - x[i]));
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
