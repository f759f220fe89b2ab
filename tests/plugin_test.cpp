// Registration, argument reading, creation errors and the frame pipeline.
#include <gtest/gtest.h>

#include <cstring>

#include "convert/messages.h"
#include "plugin/cpp_plugin.h"
#include "test_support.h"

using namespace testing_support;
using native_host::Environment;
using native_host::MemoryClip;
using native_host::ScriptError;

namespace {

Picture SmallPicture(int width = 32, int height = 16) {
    return MakePicture(width, height, [](int w, int h) { return Gradient(w, h, 3); });
}

std::vector<uint16_t> FirstFrame(Environment& env, const AVSValue& filter, int width, int height) {
    const PVideoFrame frame = filter.AsClip()->GetFrame(0, &env);
    return Read16(frame, PLANAR_Y, width, height);
}

TEST(Registration, RegistersOneFunctionAndReturnsTheVersion) {
    Environment env;
    EXPECT_STREQ(AvisynthPluginInit2(&env), "Bitgrade ver 0.1");
    ASSERT_TRUE(env.FunctionExists("Bitgrade"));
    EXPECT_STREQ(env.ParamsOf("Bitgrade"), "c[sseopt]i[span]i[ythr]i[cthr]i[debug]b");
}

TEST(Registration, DetectedLevelMatchesTheProcessor) {
    const int expected = !__builtin_cpu_supports("sse2")                                        ? 1
                         : (__builtin_cpu_supports("sse3") && __builtin_cpu_supports("sse4.1")) ? 3
                                                                                                : 2;
    EXPECT_EQ(bitgrade::DetectSseLevel(), expected);
}

// Argument lists that must all read as the defaults, against the explicit
// defaults with the detected level.
TEST(Arguments, MissingOrMistypedArgumentsTakeTheirDefaults) {
    Environment env;
    AvisynthPluginInit2(&env);
    const Picture picture = SmallPicture();
    const PClip clip = ClipOf(env, picture);
    const auto expected =
        FirstFrame(env, CallBitgrade(env, clip, Args{bitgrade::DetectSseLevel(), 3, 1, 1, false}), 64, 16);

    const AVSValue lone(clip);
    EXPECT_EQ(FirstFrame(env, bitgrade::CreateBitgrade(lone, nullptr, &env), 64, 16), expected) << "lone clip";
    EXPECT_EQ(FirstFrame(env, env.Call("Bitgrade", {AVSValue(clip)}), 64, 16), expected) << "short array";
    EXPECT_EQ(FirstFrame(env,
                         env.Call("Bitgrade", {AVSValue(clip), AVSValue("x"), AVSValue(2.5f), AVSValue(true),
                                               AVSValue(clip), AVSValue(7)}),
                         64, 16),
              expected)
        << "wrong tags";
    EXPECT_EQ(
        FirstFrame(env,
                   env.Call("Bitgrade", {AVSValue(clip), AVSValue(), AVSValue(), AVSValue(), AVSValue(), AVSValue()}),
                   64, 16),
        expected)
        << "void values";
}

TEST(Arguments, ShortArrayKeepsTheGivenPositions) {
    Environment env;
    AvisynthPluginInit2(&env);
    const Picture picture = SmallPicture();
    const PClip clip = ClipOf(env, picture);
    const auto expected = FirstFrame(env, CallBitgrade(env, clip, Args{1, 0, 1, 1, false}), 64, 16);
    EXPECT_EQ(FirstFrame(env, env.Call("Bitgrade", {AVSValue(clip), AVSValue(1), AVSValue(0)}), 64, 16), expected);
}

struct ErrorCase {
    const char* name;
    int pixelType, width, sseopt;
    const char* message;
};
void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name << ": " << c.message; }

class CreationErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(CreationErrors, RaiseTheFirstFailingCheckAndReleaseTheClip) {
    const ErrorCase& c = GetParam();
    Environment env;
    AvisynthPluginInit2(&env);
    auto* source = new MemoryClip(native_host::MakeVideoInfo(c.width, 16, c.pixelType), {});
    const PClip clip(source);
    ASSERT_EQ(source->References(), 1);
    try {
        env.Call("Bitgrade", {AVSValue(clip), AVSValue(c.sseopt)});
        FAIL() << "no error raised";
    } catch (const ScriptError& e) {
        EXPECT_STREQ(e.what(), c.message);
    }
    EXPECT_EQ(source->References(), 1);
}

// Later hosts' YV24 and YUV420P16 share the bits that IsYV12 tests.
const int kYUY2 = 0x60000004, kRGB32 = 0x50000002, kYV24 = (int)0xA000030B, kYUV420P16 = (int)0xA0010008;
INSTANTIATE_TEST_SUITE_P(
    InOrder, CreationErrors,
    ::testing::Values(
        ErrorCase{"packed", kYUY2, 32, 1, "levelize: Requires YV12 input"},
        ErrorCase{"packed_bad_sseopt", kRGB32, 32, 4, "levelize: Requires YV12 input"},
        ErrorCase{"packed_bad_width", kYUY2, 24, 3, "levelize: Requires YV12 input"},
        ErrorCase{"planar_444", kYV24, 32, 1, "levelize: Requires YV12 input"},
        ErrorCase{"planar_420_16bit", kYUV420P16, 24, 3, "levelize: Requires YV12 input"},
        ErrorCase{"sseopt_4", VideoInfo::CS_YV12, 32, 4, "levelize: \"sseopt\" should be 0 to 3.(default:0)"},
        ErrorCase{"sseopt_minus_1", VideoInfo::CS_I420, 32, -1, "levelize: \"sseopt\" should be 0 to 3.(default:0)"}),
    [](const auto& info) { return std::string(info.param.name); });

// The processor's level injected: an explicit level above it is refused at
// creation, naming what is missing; 0 and every level up to it are created.
TEST(CreationErrors, ALevelTheProcessorCannotRunIsRefused) {
    const struct {
        int processorLevel, sseopt;
        const char* message;  // null: created
    } cases[] = {
        {1, 2, BITGRADE_MSG_NO_SSE2},
        {1, 3, BITGRADE_MSG_NO_SSE41},
        {2, 3, BITGRADE_MSG_NO_SSE41},
        {1, 0, nullptr},
        {1, 1, nullptr},
        {2, 0, nullptr},
        {2, 2, nullptr},
        {3, 3, nullptr},
        {3, 0, nullptr},
    };
    Environment env;
    for (const auto& c : cases) {
        auto* source = new MemoryClip(native_host::MakeVideoInfo(32, 16), {});
        const PClip clip(source);
        const AVSValue args[2] = {AVSValue(clip), AVSValue(c.sseopt)};
        std::string raised;
        try {
            EXPECT_TRUE(
                bitgrade::CreateBitgradeOn(AVSValue(args, 2), &env, {c.processorLevel, bitgrade::VectorIsa::kSse41})
                    .AsClip());
        } catch (const ScriptError& e) {
            raised = e.what();
        }
        EXPECT_EQ(raised, c.message ? c.message : "") << c.processorLevel << " " << c.sseopt;
        EXPECT_EQ(raised.rfind("levelize: ", 0), c.message ? 0u : std::string::npos);
        EXPECT_EQ(source->References(), 2) << "held by clip and args only";
    }
}

struct OutputCase {
    int pixelType;
    bool debug;
    int expectedWidth;
};
void PrintTo(const OutputCase& c, std::ostream* os) {
    *os << (c.pixelType == VideoInfo::CS_YV12 ? "YV12" : "I420") << (c.debug ? " debug" : " 16-bit") << ", width "
        << c.expectedWidth;
}

class OutputDescription : public ::testing::TestWithParam<OutputCase> {};

TEST_P(OutputDescription, DoublesTheWidthOnlyFor16BitOutput) {
    const OutputCase& c = GetParam();
    Environment env;
    VideoInfo source = native_host::MakeVideoInfo(720, 480, c.pixelType, 17);
    source.fps_numerator = 30000;
    source.fps_denominator = 1001;
    const PClip clip(new MemoryClip(source, {}));
    const PClip filter = CallBitgrade(env, clip, Args{1, 3, 1, 1, c.debug}).AsClip();
    VideoInfo expected = source;
    expected.width = c.expectedWidth;
    EXPECT_EQ(std::memcmp(&filter->GetVideoInfo(), &expected, sizeof expected), 0);
}

INSTANTIATE_TEST_SUITE_P(BothModesBothTypes, OutputDescription,
                         ::testing::Values(OutputCase{VideoInfo::CS_YV12, false, 1440},
                                           OutputCase{VideoInfo::CS_YV12, true, 720},
                                           OutputCase{VideoInfo::CS_I420, false, 1440},
                                           OutputCase{VideoInfo::CS_I420, true, 720}),
                         [](const auto& info) {
                             return std::string(info.param.pixelType == VideoInfo::CS_YV12 ? "YV12" : "I420") +
                                    (info.param.debug ? "_debug" : "_16bit");
                         });

TEST(Pipeline, DebugModeFillsBothChromaPlanesWith128OverTheWholePitch) {
    Environment env;
    const Picture picture = SmallPicture(40, 10);
    const PClip filter = CallBitgrade(env, ClipOf(env, picture), Args{1, 3, 1, 1, true}).AsClip();
    const PVideoFrame frame = filter->GetFrame(0, &env);
    for (int plane : {PLANAR_U, PLANAR_V}) {
        ASSERT_GT(frame->GetPitch(plane), 20);
        const auto bytes = Read8(frame, plane, frame->GetPitch(plane), 5);
        EXPECT_EQ(bytes, std::vector<uint8_t>(bytes.size(), 128)) << "plane " << plane;
    }
}

TEST(Pipeline, FramesAndClipsAreReleased) {
    Environment env;
    auto* source = new MemoryClip(native_host::MakeVideoInfo(32, 16), {FrameOf(env, SmallPicture())});
    const PClip clip(source);
    {
        const PClip filter = CallBitgrade(env, clip, Args{1, 3, 1, 1, false}).AsClip();
        EXPECT_EQ(source->References(), 2);
        { const PVideoFrame frame = filter->GetFrame(0, &env); }
        EXPECT_EQ(env.LiveFrames(), 1) << "only the source frame";
    }
    EXPECT_EQ(source->References(), 1);
}

TEST(Pipeline, FilterDestroyedBeforeItsFirstFrameReleasesItsChild) {
    Environment env;
    auto* source = new MemoryClip(native_host::MakeVideoInfo(32, 16), {});
    const PClip clip(source);
    { const AVSValue filter = CallBitgrade(env, clip, Args{1, 3, 1, 1, false}); }
    EXPECT_EQ(source->References(), 1);
}

// A source whose parity and audio the filter can only know by asking it.
class WitnessClip : public native_host::MemoryClip {
public:
    using MemoryClip::MemoryClip;
    bool HOST_STDCALL GetParity(int n) override { return n == 7; }
    void HOST_STDCALL GetAudio(void*, long long start, long long count, IScriptEnvironment*) override {
        audioStart = start;
        audioCount = count;
    }
    long long audioStart = -1, audioCount = -1;
};

TEST(Pipeline, ParityAndAudioGoToTheChild) {
    Environment env;
    WitnessClip* child = new WitnessClip(native_host::MakeVideoInfo(32, 16), {FrameOf(env, SmallPicture())});
    const PClip source(child);
    const PClip filter = CallBitgrade(env, source, Args{}).AsClip();
    EXPECT_EQ(filter->GetVersion(), 2);
    for (int n : {0, 1, 6, 7, 8}) EXPECT_EQ(filter->GetParity(n), n == 7) << n;
    filter->GetAudio(nullptr, 5, 3, &env);
    EXPECT_EQ(child->audioStart, 5);
    EXPECT_EQ(child->audioCount, 3);
}

}  // namespace

namespace {

// A frame that claims rows `pitch` bytes apart over a small buffer: sizes
// computed from it overflow 32 bits, so a converter must refuse it before
// touching a byte.
struct ImpossibleFrame {
    explicit ImpossibleFrame(int pitch) {
        buffer = {bytes, (int)sizeof bytes, 0, 1};
        frame = {0, &buffer, 0, pitch, 64, 16, 0, 0, pitch / 2};
    }
    BYTE bytes[64] = {};
    VideoFrameBuffer buffer;
    VideoFrame frame;
};

TEST(Pipeline, ARefusedPlaneFailsTheFrameWithOurMessage) {
    Environment env;
    ImpossibleFrame huge(1 << 30);
    const PClip source(new MemoryClip(native_host::MakeVideoInfo(64, 16), {PVideoFrame(&huge.frame)}));
    for (int level : {2, 3}) {
        const PClip filter = CallBitgrade(env, source, Args{level, 3, 1, 1, false}).AsClip();
        try {
            filter->GetFrame(0, &env);
            ADD_FAILURE() << "level " << level << " converted an impossible plane";
        } catch (const ScriptError& e) {
            EXPECT_STREQ(e.what(),
                         "levelize: Not enough memory for the conversion buffers; use a smaller frame or span.");
        }
    }
}

}  // namespace
