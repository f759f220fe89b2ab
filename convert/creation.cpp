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
    }
    return nullptr;
}

Creation ChooseLevel(const SourceFormat& source, const Processor& processor, int sseopt, const Settings& settings) {
    const int level = sseopt == 0 ? processor.sseLevel : sseopt;
    Refusal refusal = Refusal::kNone;
    if (level < 1 || level > 3) refusal = Refusal::kBadSseopt;
    // Asked for by number, a level the processor cannot run would end in an
    // illegal instruction at the first frame.
    else if (level > processor.sseLevel) refusal = level == 2 ? Refusal::kNoSse2 : Refusal::kNoSse41;
    else if (level == 3 && source.widths == Widths::kMultipleOf16 && source.width % 16 != 0)
        refusal = Refusal::kWidthNot16;
    else if (settings.maxSpan > kWidestMaxSpan) refusal = Refusal::kMaxSpanWide;
    else if (settings.Adaptive() && level == 1) refusal = Refusal::kMaxSpanPlain;
    return Creation{refusal, refusal == Refusal::kNone ? (Level)level : Level::kPlain, settings};
}

}  // namespace bitgrade
