// What the frame server's two plugin interfaces, the version 2.5 C++ one and
// the plain-C one, share: the script function's parameter string, and the
// width that its output declares.
#pragma once

#define BITGRADE_PARAMS "c[sseopt]i[span]i[ythr]i[cthr]i[debug]b"
// AviSynth+'s, through the plain-C interface, with the newer hosts' arguments.
#define BITGRADE_PARAMS_NEWER BITGRADE_PARAMS "[maxspan]i[depth]i[dither]s[bits]i[plateaus]b"

#include "../convert/creation.h"

namespace bitgrade {

// 16-bit samples take two bytes each, so the output clip keeps the source's
// pixel type at twice its width; the debug map keeps one byte per sample.
inline int DeclaredWidth(int sourceWidth, const Conversion& c) { return sourceWidth * c.SampleBytes(); }

}  // namespace bitgrade
