// libbitgrade.so inside the real VapourSynth, driven from C++ through the
// core's own header: a core without autoloading, the plugin loaded by path,
// sources made by the test (a source filter of its own, std.BlankClip),
// frames held against the native build's. Every core is freed at the end of
// its test, and what it reports as left over fails the test.
#include <VSHelper4.h>
#include <VapourSynth4.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "convert/messages.h"
#include "host/vs_api.h"
#include "readme_example.h"
#include "test_support.h"
#include "vapoursynth_api.h"

using namespace testing_support;

namespace {

// Our declaration of the interface holds the core's layouts and values.
#define SAME_SLOT(name) static_assert(offsetof(vs_api::VSAPI, name) == offsetof(::VSAPI, name), #name)
SAME_SLOT(createVideoFilter);
SAME_SLOT(freeNode);
SAME_SLOT(getVideoInfo);
SAME_SLOT(newVideoFrame);
SAME_SLOT(freeFrame);
SAME_SLOT(getStride);
SAME_SLOT(getReadPtr);
SAME_SLOT(getWritePtr);
SAME_SLOT(getVideoFormatByID);
SAME_SLOT(getFrameFilter);
SAME_SLOT(requestFrameFilter);
SAME_SLOT(setFilterError);
SAME_SLOT(mapSetError);
SAME_SLOT(mapGetIntSaturated);
SAME_SLOT(mapGetData);
SAME_SLOT(mapGetDataSize);
SAME_SLOT(mapGetNode);
static_assert(offsetof(vs_api::VSPLUGINAPI, registerFunction) == offsetof(::VSPLUGINAPI, registerFunction));
static_assert(sizeof(vs_api::VSVideoInfo) == sizeof(::VSVideoInfo) &&
              offsetof(vs_api::VSVideoInfo, width) == offsetof(::VSVideoInfo, width) &&
              offsetof(vs_api::VSVideoInfo, numFrames) == offsetof(::VSVideoInfo, numFrames));
static_assert(sizeof(vs_api::VSVideoFormat) == sizeof(::VSVideoFormat));
static_assert(sizeof(vs_api::VSFilterDependency) == sizeof(::VSFilterDependency));
static_assert(vs_api::pfYUV420P8 == pfYUV420P8 && vs_api::pfYUV420P16 == pfYUV420P16);
static_assert(vs_api::kApiVersion == VS_MAKE_VERSION(4, 0) && vs_api::fmParallel == (int)fmParallel &&
              vs_api::arInitial == (int)arInitial && vs_api::arAllFramesReady == (int)arAllFramesReady &&
              vs_api::rpStrictSpatial == (int)rpStrictSpatial && vs_api::cfYUV == (int)cfYUV);
#undef SAME_SLOT

const std::string kPlugin = BITGRADE_PLUGIN;
const char kArguments[] =
    "clip:vnode;sseopt:int:opt;span:int:opt;ythr:int:opt;cthr:int:opt;debug:int:opt;depth:int:opt;dither:data:opt;"
    "maxspan:int:opt;bits:int:opt;plateaus:int:opt";

// Pictures of a source filter of the test's own: frame n is pictures[n],
// with the properties _Matrix 1 and BitgradeFrame n.
struct Source {
    std::vector<Picture> pictures;
    VSVideoFormat format;
};

const VSFrame* VS_CC SourceFrame(int n, int reason, void* data, void**, VSFrameContext*, VSCore* core,
                                 const VSAPI* vsapi) {
    if (reason != arInitial) return nullptr;
    const Source& source = *(const Source*)data;
    const Picture& picture = source.pictures[(size_t)n];
    VSFrame* frame = vsapi->newVideoFrame(&source.format, picture.y.width, picture.y.height, nullptr, core);
    const Plane* planes[3] = {&picture.y, &picture.u, &picture.v};
    for (int p = 0; p < picture.layout.planes; ++p) {
        uint8_t* row = vsapi->getWritePtr(frame, p);
        for (int y = 0; y < planes[p]->height; ++y, row += vsapi->getStride(frame, p))
            std::memcpy(row, &planes[p]->samples[(size_t)y * planes[p]->width], (size_t)planes[p]->width);
    }
    VSMap* props = vsapi->getFramePropertiesRW(frame);
    vsapi->mapSetInt(props, "_Matrix", 1, maReplace);
    vsapi->mapSetInt(props, "BitgradeFrame", n, maReplace);
    return frame;
}

void VS_CC FreeSource(void* data, VSCore*, const VSAPI*) { delete (Source*)data; }

class VapourSynth : public ::testing::Test {
protected:
    void SetUp() override {
        vsapi = VapourSynthApi();
        ASSERT_NE(vsapi, nullptr) << VAPOURSYNTH_LIBRARY << ": " << dlerror();
        core = vsapi->createCore(ccfDisableAutoLoading);
        vsapi->addLogHandler(
            [](int type, const char* message, void* log) {
                if (type >= mtWarning) ((std::vector<std::string>*)log)->push_back(message);
            },
            nullptr, &warnings, core);
        VSMap* args = vsapi->createMap();
        vsapi->mapSetData(args, "path", pluginPath.c_str(), -1, dtUtf8, maReplace);
        VSMap* loaded = vsapi->invoke(vsapi->getPluginByID(VSH_STD_PLUGIN_ID, core), "LoadPlugin", args);
        const char* error = vsapi->mapGetError(loaded);
        EXPECT_EQ(error, nullptr) << error;
        vsapi->freeMap(loaded);
        vsapi->freeMap(args);
        plugin = vsapi->getPluginByNamespace("bitgrade", core);
        ASSERT_NE(plugin, nullptr);
    }
    // Whatever a test left referenced, the core reports as it is freed.
    void TearDown() override {
        if (!core) return;
        vsapi->freeCore(core);
        EXPECT_EQ(warnings, std::vector<std::string>());
    }

    VSNode* SourceOf(const std::vector<Picture>& pictures) {
        Source* source = new Source{pictures, {}};
        const bitgrade::Layout layout = pictures[0].layout;
        vsapi->queryVideoFormat(&source->format, layout.planes == 1 ? cfGray : cfYUV, stInteger, 8, layout.chroma.x,
                                layout.chroma.y, core);
        VSVideoInfo vi = {source->format, 25, 1, pictures[0].y.width, pictures[0].y.height, (int)pictures.size()};
        return vsapi->createVideoFilter2("TestSource", &vi, SourceFrame, FreeSource, fmParallel, nullptr, 0, source,
                                         core);
    }
    VSNode* BlankClip(uint32_t format, int width, int height, int length = 1) {
        VSMap* args = vsapi->createMap();
        vsapi->mapSetInt(args, "format", format, maReplace);
        vsapi->mapSetInt(args, "width", width, maReplace);
        vsapi->mapSetInt(args, "height", height, maReplace);
        vsapi->mapSetInt(args, "length", length, maReplace);
        return Take(vsapi->invoke(vsapi->getPluginByNamespace("std", core), "BlankClip", args), args);
    }
    // Bitgrade(clip, ...) with the script arguments of `a`; the error in
    // *error, or a failed expectation when error is null.
    // With `depth` (0: not given) and `dither` ("": not given).
    VSNode* Bitgrade(VSNode* clip, const Args& a, std::string* error = nullptr, int depth = 0,
                     const std::string& dither = "") {
        VSMap* args = vsapi->createMap();
        if (depth) vsapi->mapSetInt(args, "depth", depth, maReplace);
        if (a.maxSpan) vsapi->mapSetInt(args, "maxspan", a.maxSpan, maReplace);
        if (a.bands) vsapi->mapSetInt(args, "bits", a.bands, maReplace);
        if (a.plateaus) vsapi->mapSetInt(args, "plateaus", 1, maReplace);
        if (!dither.empty()) vsapi->mapSetData(args, "dither", dither.data(), (int)dither.size(), dtUtf8, maReplace);
        vsapi->mapConsumeNode(args, "clip", clip, maReplace);
        for (auto [name, value] : {std::pair{"sseopt", a.sseopt},
                                   {"span", a.span},
                                   {"ythr", a.ythr},
                                   {"cthr", a.cthr},
                                   {"debug", (int)a.debug}})
            vsapi->mapSetInt(args, name, value, maReplace);
        return Take(vsapi->invoke(plugin, "Bitgrade", args), args, error);
    }
    // The clip a call returned; its arguments and result are freed.
    VSNode* Take(VSMap* result, VSMap* args, std::string* error = nullptr) {
        const char* message = vsapi->mapGetError(result);
        if (error) *error = message ? message : "";
        else EXPECT_EQ(message, nullptr) << message;
        VSNode* node = message ? nullptr : vsapi->mapGetNode(result, "clip", 0, nullptr);
        vsapi->freeMap(result);
        vsapi->freeMap(args);
        return node;
    }

    // Frame n's visible samples, planes one after another; 16-bit values,
    // or bytes widened (in debug mode the luma map alone).
    std::vector<uint16_t> Samples(VSNode* node, int n, bool debug) {
        char error[256] = "";
        const VSFrame* frame = vsapi->getFrame(n, node, error, sizeof error);
        EXPECT_NE(frame, nullptr) << error;
        std::vector<uint16_t> out;
        if (!frame) return out;
        const VSVideoFormat* format = vsapi->getVideoFrameFormat(frame);
        const int bytes = format->bytesPerSample;
        for (int p = 0; p < (debug ? 1 : format->numPlanes); ++p) {
            const uint8_t* row = vsapi->getReadPtr(frame, p);
            const int w = vsapi->getFrameWidth(frame, p), h = vsapi->getFrameHeight(frame, p);
            for (int y = 0; y < h; ++y, row += vsapi->getStride(frame, p))
                for (int x = 0; x < w; ++x)
                    out.push_back(bytes == 2 ? (uint16_t)(row[2 * x] | row[2 * x + 1] << 8) : row[x]);
        }
        vsapi->freeFrame(frame);
        return out;
    }

    std::string pluginPath = kPlugin;
    const VSAPI* vsapi = nullptr;
    VSCore* core = nullptr;
    VSPlugin* plugin = nullptr;
    std::vector<std::string> warnings;
};

std::vector<Picture> Pictures(int width, int height, int frames, bitgrade::Layout layout = bitgrade::kLayout420) {
    std::vector<Picture> pictures;
    for (int n = 0; n < frames; ++n)
        pictures.push_back(MakePicture(
            width, height, [&](int w, int h) { return Structured(n % 4, w, h, n + w); }, layout));
    return pictures;
}

TEST_F(VapourSynth, RegistersBitgradeWithItsArguments) {
    EXPECT_STREQ(vsapi->getPluginID(plugin), "org.bitgrade.bitgrade");
    VSPluginFunction* function = vsapi->getPluginFunctionByName("Bitgrade", plugin);
    ASSERT_NE(function, nullptr);
    EXPECT_STREQ(vsapi->getPluginFunctionArguments(function), kArguments);
    EXPECT_STREQ(vsapi->getPluginFunctionReturnType(function), "clip:vnode;");
}

TEST_F(VapourSynth, DescribesANative16BitClipOrTheMap) {
    for (bool debug : {false, true}) {
        VSNode* node = Bitgrade(BlankClip(pfYUV420P8, 720, 480, 17), Args{0, 3, 1, 1, debug});
        ASSERT_NE(node, nullptr);
        const VSVideoInfo* vi = vsapi->getVideoInfo(node);
        char name[32] = "";
        vsapi->getVideoFormatName(&vi->format, name);
        EXPECT_STREQ(name, debug ? "YUV420P8" : "YUV420P16");
        EXPECT_EQ(vi->width, 720);
        EXPECT_EQ(vi->height, 480);
        EXPECT_EQ(vi->numFrames, 17);
        vsapi->freeNode(node);
    }
}

// Every level gives the core's output on packed planes, the command's,
// whatever this host's row padding: widths whose chroma rows end half-way
// through a 16-column block (48, 720), and widths that are no multiple of 16
// (34, 40; 854 and 1080, web 480p and vertical video), also at the default
// sseopt.
TEST_F(VapourSynth, FramesEqualTheCoresAtEveryLevelAndWidth) {
    for (auto [w, h] : {std::pair{64, 48}, {48, 32}, {720, 16}, {34, 18}, {40, 16}, {128, 10}, {854, 12}, {1080, 10}}) {
        const std::vector<Picture> pictures = Pictures(w, h, 2);
        for (const Args& args :
             {Args{1, 3, 1, 1, false}, Args{2, 3, 1, 1, false}, Args{3, 3, 1, 1, false}, Args{3, 6, 4, 2, false},
              Args{2, 2, 0, 9, true}, Args{3, 3, 1, 1, true}, Args{1, 3, 1, 1, true}, Args{0, 3, 1, 1, false}}) {
            VSNode* node = Bitgrade(SourceOf(pictures), args);
            ASSERT_NE(node, nullptr);
            const std::vector<uint16_t> frame = Samples(node, 1, args.debug);
            vsapi->freeNode(node);
            EXPECT_EQ(frame, ConvertInCore(pictures[1], args))
                << w << "x" << h << " level " << args.sseopt << " span " << args.span << " debug " << args.debug;
        }
    }
}

// depth gives YUV420P10, P12 and P8 (the map P8 at every depth); without
// a dither, the codes are the 16-bit output's rounded; an unknown depth or
// dither is refused.
TEST_F(VapourSynth, DepthAndDitherBringTheOutputDown) {
    const std::vector<Picture> pictures = Pictures(854, 12, 2);
    const std::vector<uint16_t> wide = ConvertInCore(pictures[1], Args{0, 3, 1, 1, false});
    const struct {
        int depth;
        std::string dither;
        bool debug;
        const char* format;
    } cases[] = {{10, "none", false, "YUV420P10"},
                 {12, "ordered", false, "YUV420P12"},
                 {8, "diffusion", false, "YUV420P8"},
                 {10, "", true, "YUV420P8"}};
    for (const auto& c : cases) {
        VSNode* node = Bitgrade(SourceOf(pictures), Args{0, 3, 1, 1, c.debug}, nullptr, c.depth, c.dither);
        ASSERT_NE(node, nullptr);
        char name[32] = "";
        vsapi->getVideoFormatName(&vsapi->getVideoInfo(node)->format, name);
        EXPECT_STREQ(name, c.format);
        const std::vector<uint16_t> codes = Samples(node, 1, c.debug);
        vsapi->freeNode(node);
        if (c.debug) {
            EXPECT_EQ(codes, ConvertInCore(pictures[1], Args{0, 3, 1, 1, true}));
            continue;
        }
        ASSERT_EQ(codes.size(), wide.size());
        const int shift = 16 - c.depth;
        for (size_t i = 0; i < codes.size(); ++i) {
            if (c.dither == "none")
                ASSERT_EQ(codes[i], std::min((wide[i] + (1 << (shift - 1))) >> shift, 65535 >> shift)) << i;
            else ASSERT_LE(std::abs((int)codes[i] * (1 << shift) - (int)wide[i]), 1 << shift) << c.dither << " " << i;
        }
    }
    // A name is its bytes: one NUL more is another name.
    for (auto [depth, dither, message] : {std::tuple{9, std::string(), BITGRADE_MSG_BAD_DEPTH},
                                          {10, std::string("bayer"), BITGRADE_MSG_BAD_DITHER},
                                          {10, std::string("order"), BITGRADE_MSG_BAD_DITHER},
                                          {10, std::string("ordered\0", 8), BITGRADE_MSG_BAD_DITHER},
                                          {10, std::string("none\0\0\0\0\0\0\0\0", 12), BITGRADE_MSG_BAD_DITHER}}) {
        std::string error;
        EXPECT_EQ(Bitgrade(SourceOf(pictures), Args{0, 3, 1, 1, false}, &error, depth, dither), nullptr);
        EXPECT_EQ(error, message) << depth << " " << dither;
    }
}

// maxspan gives the core's adaptive output, with plateaus too; the plain
// converter and a max-span past 127 are refused with their messages. A negative span without
// maxspan is no adaptive window, at any level.
TEST_F(VapourSynth, MaxSpanRunsTheAdaptiveMode) {
    const std::vector<Picture> pictures = Pictures(90, 40, 2);
    for (const Args& args :
         {Args{0, 2, 3, 3, false, 24}, Args{2, 3, 1, 1, true, 40}, Args{1, -2, 1, 1, false}, Args{1, -1, 1, 1, true},
          Args{2, -2, 1, 1, false}, Args{3, -1, 1, 1, false, 6}, Args{2, -2, 1, 1, true, 12}}) {
        VSNode* node = Bitgrade(SourceOf(pictures), args);
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(Samples(node, 1, args.debug), ConvertInCore(pictures[1], args));
        vsapi->freeNode(node);
    }
    Args plateaus{0, 2, 3, 3, false, 24};
    plateaus.plateaus = true;
    VSNode* node = Bitgrade(SourceOf(pictures), plateaus);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(Samples(node, 1, false), ConvertInCore(pictures[1], plateaus)) << "plateaus";
    vsapi->freeNode(node);
    plateaus.sseopt = 1;
    plateaus.maxSpan = 0;
    std::string refused;
    EXPECT_EQ(Bitgrade(SourceOf(pictures), plateaus, &refused), nullptr);
    EXPECT_EQ(refused, BITGRADE_MSG_PLATEAUS_PLAIN);
    for (auto [args, message] : {std::pair{Args{1, 3, 1, 1, false, 24}, BITGRADE_MSG_MAXSPAN_PLAIN},
                                 {Args{1, -2, 1, 1, false, 3}, BITGRADE_MSG_MAXSPAN_PLAIN},
                                 {Args{0, 3, 1, 1, false, 128}, BITGRADE_MSG_MAXSPAN_WIDE}}) {
        std::string error;
        EXPECT_EQ(Bitgrade(SourceOf(pictures), args, &error), nullptr);
        EXPECT_EQ(error, message);
    }
}

TEST_F(VapourSynth, EveryFrameKeepsItsSourcesProperties) {
    for (const Args& args : {Args{1, 3, 1, 1, false}, Args{2, 3, 1, 1, false}, Args{3, 3, 1, 1, true}}) {
        VSNode* node = Bitgrade(SourceOf(Pictures(64, 16, 3)), args);
        for (int n : {2, 0}) {
            char error[256] = "";
            const VSFrame* frame = vsapi->getFrame(n, node, error, sizeof error);
            ASSERT_NE(frame, nullptr) << error;
            const VSMap* props = vsapi->getFramePropertiesRO(frame);
            EXPECT_EQ(vsapi->mapGetInt(props, "_Matrix", 0, nullptr), 1);
            EXPECT_EQ(vsapi->mapGetInt(props, "BitgradeFrame", 0, nullptr), n) << "frame n from source frame n";
            vsapi->freeFrame(frame);
        }
        vsapi->freeNode(node);
    }
}

// A deeper copy of a clip (std.Expr multiplies every sample) with bits=8
// gives the clip's output, in its own format at 16 bits or at the depth
// asked for; bits deeper than the clip are refused.
TEST_F(VapourSynth, DeeperCopiesGiveTheEightBitOutput) {
    const std::vector<Picture> pictures = Pictures(90, 40, 2);
    for (auto [format, name, times] :
         {std::tuple{pfYUV420P10, "YUV420P", 4}, {pfYUV420P16, "YUV420P", 256}, {pfYUV420P12, "YUV420P", 16}}) {
        for (Args args : {Args{0, 3, 1, 1, false}, Args{2, 2, 3, 1, false, 24}, Args{3, 3, 1, 1, true}}) {
            VSNode* eight = Bitgrade(SourceOf(pictures), args);
            VSMap* exprArgs = vsapi->createMap();
            vsapi->mapConsumeNode(exprArgs, "clips", SourceOf(pictures), maReplace);
            const std::string expr = "x " + std::to_string(times) + " *";
            vsapi->mapSetData(exprArgs, "expr", expr.c_str(), -1, dtUtf8, maReplace);
            vsapi->mapSetInt(exprArgs, "format", format, maReplace);
            VSNode* deep = Take(vsapi->invoke(vsapi->getPluginByNamespace("std", core), "Expr", exprArgs), exprArgs);
            ASSERT_NE(deep, nullptr);
            args.bands = 8;
            VSNode* node = Bitgrade(deep, args);
            ASSERT_NE(node, nullptr);
            char formatName[32] = "";
            vsapi->getVideoFormatName(&vsapi->getVideoInfo(node)->format, formatName);
            EXPECT_EQ(std::string(formatName), name + std::string(args.debug ? "8" : "16"));
            EXPECT_EQ(Samples(node, 1, args.debug), Samples(eight, 1, args.debug)) << name << " x" << times;
            vsapi->freeNode(node);
            vsapi->freeNode(eight);
        }
    }
    Args tooDeep{0, 3, 1, 1, false};
    tooDeep.bands = 12;
    std::string error;
    EXPECT_EQ(Bitgrade(BlankClip(pfYUV420P10, 64, 16), tooDeep, &error), nullptr);
    EXPECT_EQ(error, BITGRADE_MSG_BAD_BITS);
}

// Clips of every subsampling and grey ones give the same family at the
// output's depth with the core's samples, at sizes 4:2:0 cannot have.
TEST_F(VapourSynth, TakesEverySubsamplingAndGray) {
    for (auto [layout, name] : {std::pair{bitgrade::kLayout444, "YUV444P"},
                                {bitgrade::kLayoutGrey, "Gray"},
                                {bitgrade::kLayout422, "YUV422P"},
                                {bitgrade::kLayout411, "YUV411P"}}) {
        for (auto [w, h] : {std::pair{36, 17}, {856, 12}}) {
            const std::vector<Picture> pictures = Pictures(w, h, 2, layout);
            for (const Args& args : {Args{0, 3, 1, 1, false}, Args{1, 3, 1, 1, false}, Args{2, 2, 3, 1, false, 12},
                                     Args{3, 3, 1, 1, true}}) {
                VSNode* node = Bitgrade(SourceOf(pictures), args);
                ASSERT_NE(node, nullptr);
                char format[32] = "";
                vsapi->getVideoFormatName(&vsapi->getVideoInfo(node)->format, format);
                EXPECT_EQ(std::string(format), name + std::string(args.debug ? "8" : "16"));
                EXPECT_EQ(Samples(node, 1, args.debug), ConvertInCore(pictures[1], args)) << name << " " << w;
                vsapi->freeNode(node);
            }
            VSNode* ten = Bitgrade(SourceOf(pictures), Args{0, 3, 1, 1, false}, nullptr, 10);
            char format[32] = "";
            vsapi->getVideoFormatName(&vsapi->getVideoInfo(ten)->format, format);
            EXPECT_EQ(std::string(format), name + std::string("10"));
            vsapi->freeNode(ten);
        }
    }
}

TEST_F(VapourSynth, RefusesWhatItCannotConvertWithTheFiltersMessages) {
    const std::string format = BITGRADE_MSG_VS_FORMAT, rgb = BITGRADE_MSG_VS_RGB;
    const struct {
        uint32_t format;
        int width, sseopt;
        std::string message;
    } cases[] = {
        {pfYUV444PS, 64, 1, format},
        {pfGrayH, 64, 1, format},
        {pfRGB24, 64, 7, rgb},  // the format before sseopt
        {pfYUV420P8, 64, 7, "levelize: \"sseopt\" should be 0 to 3.(default:0)"},
        {pfYUV420P8, 64, -1, "levelize: \"sseopt\" should be 0 to 3.(default:0)"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_EQ(Bitgrade(BlankClip(c.format, c.width, 16), Args{c.sseopt, 3, 1, 1, false}, &error), nullptr);
        EXPECT_EQ(error, c.message) << c.format << " sseopt " << c.sseopt;
    }
}

TEST_F(VapourSynth, RefusesClipsOfVaryingFormatOrSize) {
    for (auto [format, width] : {std::pair{pfYUV444P8, 64}, {pfYUV420P8, 32}}) {
        VSMap* args = vsapi->createMap();
        vsapi->mapConsumeNode(args, "clips", BlankClip(pfYUV420P8, 64, 16), maAppend);
        vsapi->mapConsumeNode(args, "clips", BlankClip(format, width, 16), maAppend);
        vsapi->mapSetInt(args, "mismatch", 1, maReplace);
        VSNode* spliced = Take(vsapi->invoke(vsapi->getPluginByNamespace("std", core), "Splice", args), args);
        std::string error;
        EXPECT_EQ(Bitgrade(spliced, Args{0, 3, 1, 1, false}, &error), nullptr);
        EXPECT_EQ(error, BITGRADE_MSG_VARYING);
    }
}

// Frames of one filter made on four threads at once, in any order, are
// those of one thread.
TEST_F(VapourSynth, FourThreadsGiveTheFramesOfOne) {
    const std::vector<Picture> pictures = Pictures(320, 240, 12);
    auto all = [&](int threads) {
        vsapi->setThreadCount(threads, core);
        VSNode* node = Bitgrade(SourceOf(pictures), Args{0, 3, 1, 1, false});
        struct Frames {
            std::mutex mutex;
            std::condition_variable done;
            std::vector<std::vector<uint8_t>> bytes = std::vector<std::vector<uint8_t>>(12);
            int left = 12;
            const VSAPI* vsapi;
        } frames;
        frames.vsapi = vsapi;
        for (int n = 0; n < 12; ++n)
            vsapi->getFrameAsync(
                n, node,
                [](void* data, const VSFrame* f, int n, VSNode*, const char* error) {
                    Frames& frames = *(Frames*)data;
                    std::vector<uint8_t> bytes;
                    if (error) bytes.assign(error, error + std::strlen(error));
                    for (int p = 0; f && p < 3; ++p) {
                        const uint8_t* row = frames.vsapi->getReadPtr(f, p);
                        for (int y = 0; y < frames.vsapi->getFrameHeight(f, p); ++y)
                            bytes.insert(
                                bytes.end(), row + y * frames.vsapi->getStride(f, p),
                                row + y * frames.vsapi->getStride(f, p) + 2 * frames.vsapi->getFrameWidth(f, p));
                    }
                    if (f) frames.vsapi->freeFrame(f);
                    std::lock_guard<std::mutex> lock(frames.mutex);
                    frames.bytes[(size_t)n] = std::move(bytes);
                    if (--frames.left == 0) frames.done.notify_one();
                },
                &frames);
        std::unique_lock<std::mutex> lock(frames.mutex);
        frames.done.wait(lock, [&] { return frames.left == 0; });
        vsapi->freeNode(node);
        return frames.bytes;
    };
    const auto one = all(1), four = all(4);
    EXPECT_EQ(one.size(), 12u);
    for (size_t n = 0; n < one.size(); ++n) EXPECT_EQ(four[n], one[n]) << n;
}

}  // namespace

namespace {

// The README's example loads the plugin by path and calls Bitgrade on a
// clip: its two lines, as written but for the install prefix, on a blank
// source in place of the source filter, without Python. A constant source
// has no fraction to dither: every sample is the source's, shifted.
class VapourSynthInstalled : public VapourSynth {
protected:
    VapourSynthInstalled() {
        std::smatch load;
        if (std::regex_search(example, load, std::regex(R"re(core\.std\.LoadPlugin\("([^"]*)"\))re")))
            pluginPath = Installed(load[1]);
    }
    const std::string example = ReadmeBlock("python");
};

TEST_F(VapourSynthInstalled, TheReadmeExampleRunsFromAnInstallPrefix) {
    ASSERT_NE(InstallPrefix(), "");
    std::smatch call;
    ASSERT_TRUE(std::regex_search(example, call, std::regex(R"re(core\.bitgrade\.Bitgrade\(clip((, *\w+=\w+)*)\))re")))
        << example;
    VSNode* source = BlankClip(pfYUV420P8, 1280, 720, 3);
    VSMap* args = vsapi->createMap();
    vsapi->mapSetNode(args, "clip", source, maReplace);
    const std::string named = call[1];
    int depth = 16;
    const std::regex argument(R"re((\w+)=(\w+))re");
    for (auto it = std::sregex_iterator(named.begin(), named.end(), argument); it != std::sregex_iterator(); ++it) {
        const int value = std::stoi((*it)[2]);
        vsapi->mapSetInt(args, (*it)[1].str().c_str(), value, maReplace);
        if ((*it)[1] == "depth") depth = value;
    }
    VSNode* node = Take(vsapi->invoke(plugin, "Bitgrade", args), args);
    ASSERT_NE(node, nullptr);
    const VSVideoInfo* vi = vsapi->getVideoInfo(node);
    char name[32] = "";
    vsapi->getVideoFormatName(&vi->format, name);
    EXPECT_EQ(std::string(name), "YUV420P" + std::to_string(depth));
    std::vector<uint16_t> expected = Samples(source, 2, false);
    for (uint16_t& sample : expected) sample = (uint16_t)(sample << (depth - 8));
    EXPECT_EQ(Samples(node, 2, false), expected);
    vsapi->freeNode(node);
    vsapi->freeNode(source);
}

}  // namespace
