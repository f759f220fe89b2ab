// What a script call of the filter makes of its source and arguments, the
// same in every host: the whole conversion (level, kernels, settings, output
// depth), or the refusal the call fails with. Hosts only read their own
// argument values, and word a refusal their own way.
#pragma once

#include "depth.h"
#include "messages.h"
#include "plane.h"
#include "processor.h"

namespace bitgrade {

// The converters, by the numbers that `sseopt` gives them.
enum class Level { kPlain = 1, kStreaming = 2, kVector = 3 };

// Why a call is refused, in the order the checks run; each has its message.
enum class Refusal {
    kNone,
    kNotYv12,
    kBadSseopt,
    kNoSse2,
    kNoSse41,
    kWidthNot16,
    kMaxSpanWide,
    kMaxSpanPlain,
    kBadDepth,
    kBadDither,
    kBadBits,
    kPlateausPlain,
    kPlateausSpan,
    kPlateausDebug
};

// The "levelize: ..." text of a refusal, null for kNone.
const char* MessageOf(Refusal refusal);

// Which widths the vector converter is given. The version 2.5 plugin keeps
// its written rule, a multiple of 16; every newer host gives it any width.
enum class Widths { kMultipleOf16, kAny };

// The source as the checks see it: whether it is a format its host takes
// (for the version 2.5 plugin, 8-bit planar 4:2:0), its width, the widths
// its host gives the vector converter, and its bits per sample.
struct SourceFormat {
    bool yv12;
    int width;
    Widths widths;
    int bits = 8;
};

// The depth at which a clip's bands were made, when the script does not say:
// its own up to 12 bits; 8 for 14 and 16 bits, which are almost always
// working copies of 8-bit sources, whose 8-bit steps would otherwise all be
// edges.
inline int DefaultBands(int bits) { return bits <= 12 ? bits : 8; }

// A whole conversion: the converter level, the instruction set of level 3's
// kernels, the script's settings, the output's depth and dither, and the
// input's depth.
struct Conversion {
    Conversion() = default;
    Conversion(Level level, VectorIsa isa, const Settings& settings = Settings(), OutputDepth depth = OutputDepth(),
               SampleDepth input = SampleDepth())
        : level(level), isa(isa), settings(settings), depth(depth), input(input) {}

    Level level = Level::kPlain;
    VectorIsa isa = VectorIsa::kSse41;
    Settings settings;
    OutputDepth depth;
    SampleDepth input;

    // Bits and bytes of an output sample: the map's 8 at every depth.
    int OutputBits() const { return settings.debug ? 8 : depth.bits; }
    int SampleBytes() const { return OutputBits() == 8 ? 1 : 2; }
};

struct Creation {
    Refusal refusal;
    Conversion conversion;  // meaningful when nothing is refused
    const char* Message() const { return MessageOf(refusal); }
};

// The dither a host was given by name: its bytes, or none (the default).
struct DitherName {
    const char* bytes = nullptr;
    size_t size = 0;
    bool given = false;
};

// The conversion, once the arguments are read. The checks run in order:
// the source's format, sseopt (0 is the processor's own level), whether the
// processor runs the level, the width the vector converter needs where the
// host keeps that rule, then the newer hosts' arguments: max-span (at most
// kWidestMaxSpan, and not at level 1), depth, dither, the depth the bands
// were made at (`bands`, 8 to the source's bits; 0 for its default), and
// the plateaus mode (not at level 1, with a span of 1 to kWidestTapsSpan,
// and without the map).
Creation Decide(const SourceFormat& source, const Processor& processor, int sseopt, const Settings& settings,
                int bits = 16, const DitherName& dither = DitherName(), int bands = 0);

// The arguments a host's parameter string names: the written ones, or also
// the newer hosts' maxspan, depth, dither, bits and plateaus.
enum class Arguments { kWritten, kNewer };

// The script function's arguments, by position (after the clip) and name:
// read(index, name, value) overwrites `value`, an int, a bool or (for the
// newer hosts) a DitherName holding the default, when the script gave that
// argument with that type.
template <Arguments arguments = Arguments::kWritten, class Read>
Creation CheckCreation(const SourceFormat& source, const Processor& processor, Read read) {
    if (!source.yv12) return Creation{Refusal::kNotYv12, Conversion()};
    int sseopt = 0, bits = 16, bands = 0;
    Settings settings;
    DitherName dither;
    read(1, "sseopt", sseopt);
    read(2, "span", settings.span);
    read(3, "ythr", settings.ythr);
    read(4, "cthr", settings.cthr);
    read(5, "debug", settings.debug);
    if constexpr (arguments == Arguments::kNewer) {
        read(6, "maxspan", settings.maxSpan);
        read(7, "depth", bits);
        read(8, "dither", dither);
        read(9, "bits", bands);
        read(10, "plateaus", settings.plateaus);
    }
    return Decide(source, processor, sseopt, settings, bits, dither, bands);
}

}  // namespace bitgrade
