#include "creation.h"

namespace bitgrade {

Creation ChooseLevel(const SourceFormat& source, const Processor& processor, int sseopt, const Settings& settings) {
    const int level = sseopt == 0 ? processor.sseLevel : sseopt;
    const char* refusal = nullptr;
    if (level < 1 || level > 3) refusal = BITGRADE_MSG_BAD_SSEOPT;
    // Asked for by number, a level the processor cannot run would end in an
    // illegal instruction at the first frame.
    else if (level > processor.sseLevel) refusal = level == 2 ? BITGRADE_MSG_NO_SSE2 : BITGRADE_MSG_NO_SSE41;
    else if (level == 3 && source.width % 16 != 0) refusal = BITGRADE_MSG_WIDTH16;
    return Creation{refusal, refusal ? 0 : level, settings};
}

}  // namespace bitgrade
