// Creation decides the whole conversion for every host: the refusals in the
// order their checks run, and what a decided conversion's output is; the
// converters refuse a plane they could not address.
#include <gtest/gtest.h>

#include "convert/converter.h"
#include "convert/plain_converter.h"
#include "test_support.h"

using namespace bitgrade;

namespace {

const Processor kVectorProcessor = {3, VectorIsa::kSse41};
const SourceFormat kAnyWidth = {true, 64, Widths::kAny};

struct Call {
    int sseopt = 0, span = 3, maxSpan = 0, bits = 16;
    const char* dither = nullptr;  // not given
};

Creation Decided(const Call& call, const SourceFormat& source = kAnyWidth) {
    Settings settings;
    settings.span = call.span;
    settings.maxSpan = call.maxSpan;
    DitherName dither;
    if (call.dither) dither = {call.dither, std::char_traits<char>::length(call.dither), true};
    return Decide(source, kVectorProcessor, call.sseopt, settings, call.bits, dither);
}

// Each refusal, and where two fail, the first check's.
TEST(Creation, RefusesWhatItCannotRunInTheOrderOfItsChecks) {
    const struct {
        Call call;
        Refusal refusal;
    } cases[] = {
        {{0, 3, 127}, Refusal::kNone},
        {{2, 3, 24}, Refusal::kNone},
        {{1, 3, 3}, Refusal::kNone},  // max-span at span: off
        {{0, 3, 128}, Refusal::kMaxSpanWide},
        {{1, 3, 24}, Refusal::kMaxSpanPlain},
        // The unset max-span (0) is off, whatever the span: above a negative
        // span it is no adaptive window.
        {{1, -1, 0}, Refusal::kNone},
        {{1, -3000, 0}, Refusal::kNone},
        {{1, -2, 3}, Refusal::kMaxSpanPlain},
        {{2, -2, 3}, Refusal::kNone},
        {{0, 3, 0, 10, "diffusion"}, Refusal::kNone},
        {{0, 3, 0, 8, "none"}, Refusal::kNone},
        {{0, 3, 0, 9}, Refusal::kBadDepth},
        {{0, 3, 0, 10, "bayer"}, Refusal::kBadDither},
        {{0, 3, 0, 10, ""}, Refusal::kBadDither},
        {{4, 3, 200, 9, "bayer"}, Refusal::kBadSseopt},
        {{1, 3, 200, 9, "bayer"}, Refusal::kMaxSpanWide},
        {{0, 3, 0, 9, "bayer"}, Refusal::kBadDepth},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Decided(c.call).refusal, c.refusal)
            << "sseopt " << c.call.sseopt << " span " << c.call.span << " max-span " << c.call.maxSpan << " depth "
            << c.call.bits << " dither " << (c.call.dither ? c.call.dither : "(none)");
    EXPECT_EQ(Decided({3}, {true, 24, Widths::kMultipleOf16}).refusal, Refusal::kWidthNot16);
    EXPECT_EQ(Decided({3}, {false, 64, Widths::kAny}).refusal, Refusal::kNotYv12);
    EXPECT_STREQ(MessageOf(Refusal::kMaxSpanPlain),
                 "levelize: \"maxspan\" needs \"sseopt\" 0, 2 or 3; the plain converter has one window.");
    EXPECT_STREQ(MessageOf(Refusal::kBadDither), "levelize: \"dither\" should be ordered, diffusion or none.");
}

// A decided conversion carries every choice, and says what its output is:
// the map 8-bit at every depth, 8-bit codes one byte, the rest two.
TEST(Creation, TheConversionSaysWhatItsOutputIs) {
    const Creation c = Decided({0, 5, 40, 10, "diffusion"});
    ASSERT_EQ(c.refusal, Refusal::kNone);
    EXPECT_EQ(c.conversion.level, Level::kVector);
    EXPECT_EQ(c.conversion.settings.maxSpan, 40);
    EXPECT_EQ(c.conversion.depth.dither, Dither::kDiffusion);
    for (auto [bits, debug, outputBits, bytes] : {std::tuple{16, false, 16, 2},
                                                  {12, false, 12, 2},
                                                  {10, false, 10, 2},
                                                  {8, false, 8, 1},
                                                  {16, true, 8, 1},
                                                  {10, true, 8, 1}}) {
        Settings settings;
        settings.debug = debug;
        const Conversion conversion(Level::kVector, VectorIsa::kSse41, settings, {bits, Dither::kOrdered});
        EXPECT_EQ(conversion.OutputBits(), outputBits) << bits << " " << debug;
        EXPECT_EQ(conversion.SampleBytes(), bytes) << bits << " " << debug;
    }
}

// A plane whose rows claim to lie 2^30 bytes apart over a small buffer:
// every level refuses it before touching a byte (level 1 on the host's own
// rows, as the version 2.5 plugin runs it; elsewhere it works on rows of
// its own).
TEST(Converter, ImpossiblePlaneSizesAreRefusedBeforeAnyAccess) {
    uint8_t bytes[64] = {};
    const bitgrade::Plane plane = {bytes, 1 << 30, bytes, 1 << 30, 64, 16, true, {}};
    bitgrade::Scratch scratch;
    EXPECT_FALSE(bitgrade::ConvertPlainPlane(plane, {}, scratch));
    for (bitgrade::Level level : {bitgrade::Level::kStreaming, bitgrade::Level::kVector})
        EXPECT_FALSE(
            bitgrade::Converter({level, testing_support::TestProcessor().vectorIsa}).ConvertPlane(plane, scratch))
            << (int)level;
}

}  // namespace
