#include "creation.h"

namespace bitgrade {

const char* MessageOf(Refusal refusal) {
    switch (refusal) {
    case Refusal::kNone: return nullptr;
    case Refusal::kNotYv12: return BITGRADE_MSG_NOT_YV12;
    case Refusal::kBadSseopt: return BITGRADE_MSG_BAD_SSEOPT;
    case Refusal::kNoSse2: return BITGRADE_MSG_NO_SSE2;
    case Refusal::kNoSse41: return BITGRADE_MSG_NO_SSE41;
    case Refusal::kWidthNot16: return BITGRADE_MSG_WIDTH16;
    case Refusal::kMaxSpanWide: return BITGRADE_MSG_MAXSPAN_WIDE;
    case Refusal::kMaxSpanPlain: return BITGRADE_MSG_MAXSPAN_PLAIN;
    case Refusal::kBadDepth: return BITGRADE_MSG_BAD_DEPTH;
    case Refusal::kBadDither: return BITGRADE_MSG_BAD_DITHER;
    case Refusal::kBadBits: return BITGRADE_MSG_BAD_BITS;
    case Refusal::kPlateausPlain: return BITGRADE_MSG_PLATEAUS_PLAIN;
    case Refusal::kPlateausSpan: return BITGRADE_MSG_PLATEAUS_SPAN;
    case Refusal::kPlateausDebug: return BITGRADE_MSG_PLATEAUS_DEBUG;
    }
    return nullptr;
}

static_assert(kWidestTapsSpan == 31, "BITGRADE_MSG_PLATEAUS_SPAN names the widest span of the plateaus mode");

namespace {

Refusal Check(const SourceFormat& source, const Processor& processor, int level, const Settings& settings, int bits,
              const DitherName& dither, Dither& named, int bands) {
    if (!source.yv12) return Refusal::kNotYv12;
    if (level < 1 || level > 3) return Refusal::kBadSseopt;
    // Asked for by number, a level the processor cannot run would end in an
    // illegal instruction at the first frame.
    if (level > processor.sseLevel) return level == 2 ? Refusal::kNoSse2 : Refusal::kNoSse41;
    if (level == 3 && source.widths == Widths::kMultipleOf16 && source.width % 16 != 0) return Refusal::kWidthNot16;
    if (settings.maxSpan > kWidestMaxSpan) return Refusal::kMaxSpanWide;
    if (settings.Adaptive() && level == 1) return Refusal::kMaxSpanPlain;
    if (bits != 8 && bits != 10 && bits != 12 && bits != 16) return Refusal::kBadDepth;
    if (dither.given && !DitherNamed(dither.bytes, dither.size, named)) return Refusal::kBadDither;
    if (bands != 0 && (bands < 8 || bands > source.bits)) return Refusal::kBadBits;
    if (settings.plateaus && level == 1) return Refusal::kPlateausPlain;
    if (settings.plateaus && (settings.span < 1 || settings.span > kWidestTapsSpan)) return Refusal::kPlateausSpan;
    if (settings.plateaus && settings.debug) return Refusal::kPlateausDebug;
    return Refusal::kNone;
}

}  // namespace

Creation Decide(const SourceFormat& source, const Processor& processor, int sseopt, const Settings& settings, int bits,
                const DitherName& dither, int bands) {
    const int level = sseopt == 0 ? processor.sseLevel : sseopt;
    Conversion c;
    const Refusal refusal = Check(source, processor, level, settings, bits, dither, c.depth.dither, bands);
    if (refusal != Refusal::kNone) return Creation{refusal, Conversion()};
    c.level = (Level)level;
    c.isa = processor.vectorIsa;
    c.settings = settings;
    c.depth.bits = bits;
    c.input = SampleDepth(source.bits, bands ? bands : DefaultBands(source.bits));
    return Creation{refusal, c};
}

}  // namespace bitgrade
