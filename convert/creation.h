// What a script call of the filter makes of its source and arguments, the
// same in every host: the converter level and the settings, or the message
// the call fails with. Hosts only read their own argument values.
#pragma once

#include "messages.h"
#include "plane.h"
#include "processor.h"

namespace bitgrade {

// The source as the checks see it: whether it is 8-bit planar 4:2:0, and
// its width.
struct SourceFormat {
    bool yv12;
    int width;
};

struct Creation {
    const char* refusal;  // null, or the "levelize: ..." message the call fails with
    int level;            // 1 plain, 2 streaming, 3 vector
    Settings settings;
};

// The level and the refusal, once the arguments are read.
Creation ChooseLevel(const SourceFormat& source, const Processor& processor, int sseopt, const Settings& settings);

// The script function's arguments, by position (after the clip) and name:
// read(index, name, value) overwrites `value`, an int or a bool holding the
// default, when the script gave that argument with that type. The checks run
// in order: the source's format, sseopt (0 is the processor's own level),
// whether the processor runs the level, and the width the vector converter
// needs.
template <class Read>
Creation CheckCreation(const SourceFormat& source, const Processor& processor, Read read) {
    if (!source.yv12) return Creation{BITGRADE_MSG_NOT_YV12, 0, Settings()};
    int sseopt = 0;
    Settings settings;
    read(1, "sseopt", sseopt);
    read(2, "span", settings.span);
    read(3, "ythr", settings.ythr);
    read(4, "cthr", settings.cthr);
    read(5, "debug", settings.debug);
    return ChooseLevel(source, processor, sseopt, settings);
}

}  // namespace bitgrade
