// What a script call of the filter makes of its source and arguments, the
// same in every host: the converter level and the settings, or the refusal
// the call fails with. Hosts only read their own argument values.
#pragma once

#include "messages.h"
#include "plane.h"
#include "processor.h"

namespace bitgrade {

// The converters, by the numbers that `sseopt` gives them.
enum class Level { kPlain = 1, kStreaming = 2, kVector = 3 };

// Why a call is refused, in the order the checks run; each has its message.
enum class Refusal { kNone, kNotYv12, kBadSseopt, kNoSse2, kNoSse41, kWidthNot16, kMaxSpanWide, kMaxSpanPlain };

// The "levelize: ..." text of a refusal, null for kNone.
const char* MessageOf(Refusal refusal);

// Which widths the vector converter is given. The version 2.5 plugin keeps
// its written rule, a multiple of 16; every newer host gives it any width.
enum class Widths { kMultipleOf16, kAny };

// The source as the checks see it: whether it is 8-bit planar 4:2:0, its
// width, and the widths its host gives the vector converter.
struct SourceFormat {
    bool yv12;
    int width;
    Widths widths;
};

struct Creation {
    Refusal refusal;
    Level level;  // meaningful when nothing is refused
    Settings settings;
    const char* Message() const { return MessageOf(refusal); }
};

// The level and the refusal, once the arguments are read.
Creation ChooseLevel(const SourceFormat& source, const Processor& processor, int sseopt, const Settings& settings);

// The arguments a host's parameter string names: the written ones, or also
// the adaptive mode's maxspan.
enum class Arguments { kWritten, kWithMaxSpan };

// The script function's arguments, by position (after the clip) and name:
// read(index, name, value) overwrites `value`, an int or a bool holding the
// default, when the script gave that argument with that type. The checks run
// in order: the source's format, sseopt (0 is the processor's own level),
// whether the processor runs the level, and the width the vector converter
// needs where the host keeps that rule. The adaptive mode's maxSpan, which
// only the newer hosts read, comes last: at most kWidestMaxSpan, and not at
// level 1.
template <class Read>
Creation CheckCreation(const SourceFormat& source, const Processor& processor, Read read,
                       Arguments arguments = Arguments::kWritten) {
    if (!source.yv12) return Creation{Refusal::kNotYv12, Level::kPlain, Settings()};
    int sseopt = 0;
    Settings settings;
    read(1, "sseopt", sseopt);
    read(2, "span", settings.span);
    read(3, "ythr", settings.ythr);
    read(4, "cthr", settings.cthr);
    read(5, "debug", settings.debug);
    if (arguments == Arguments::kWithMaxSpan) read(6, "maxspan", settings.maxSpan);
    return ChooseLevel(source, processor, sseopt, settings);
}

}  // namespace bitgrade
