// libbitgrade.so inside the real AviSynth+, driven through the host's C
// interface. The host library is opened RTLD_LOCAL, as ffmpeg opens it, so
// the plugin must find the host's functions without global symbols. Scripts
// make their own sources; frames are held against the native build's.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>

#include "host/c_api.h"
#include "readme_example.h"
#include "test_support.h"

using namespace testing_support;

namespace {

const std::string kPlugin = BITGRADE_C_PLUGIN, kConvertStacked = AVSPLUS_CONVERTSTACKED;

// The host library and the functions of it that the tests call.
struct Host {
    Host() {
        library = dlopen(AVSPLUS_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (!library) return;
        auto lookup = [this](const char* name) { return dlsym(library, name); };
        bound = avs_c::BindHostFunctions(f, lookup) && avs_c::Bind(create, lookup, "avs_create_script_environment") &&
                avs_c::Bind(destroy, lookup, "avs_delete_script_environment") &&
                avs_c::Bind(invoke, lookup, "avs_invoke") && avs_c::Bind(release_value, lookup, "avs_release_value") &&
                avs_c::Bind(take_clip, lookup, "avs_take_clip") &&
                avs_c::Bind(video_info, lookup, "avs_get_video_info") &&
                avs_c::Bind(row_size, lookup, "avs_get_row_size_p");
        // Frame properties came with AviSynth+ 3.6: an older installed host
        // skips their test only.
        hasProperties = avs_c::Bind(frame_props, lookup, "avs_get_frame_props_ro") &&
                        avs_c::Bind(prop_get_int, lookup, "avs_prop_get_int");
    }

    void* library = nullptr;
    bool bound = false, hasProperties = false;
    avs_c::HostFunctions f;
    AVS_ScriptEnvironment* (*create)(int version);
    void (*destroy)(AVS_ScriptEnvironment*);
    AVS_Value (*invoke)(AVS_ScriptEnvironment*, const char* name, AVS_Value args, const char** names);
    void (*release_value)(AVS_Value);
    AVS_Clip* (*take_clip)(AVS_Value, AVS_ScriptEnvironment*);
    const AVS_VideoInfo* (*video_info)(AVS_Clip*);
    int (*row_size)(const AVS_VideoFrame*, int plane);
    const void* (*frame_props)(AVS_ScriptEnvironment*, const AVS_VideoFrame*);
    int64_t (*prop_get_int)(AVS_ScriptEnvironment*, const void* map, const char* key, int index, int* error);
};

Host& TheHost() {
    static Host host;
    return host;
}

// One script environment with ConvertStacked loaded, as a host's autoload
// folder gives it, and our plugin from the build (unless a test loads it
// itself).
class AvisynthPlus : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(TheHost().library) << AVSPLUS_LIBRARY << ": " << dlerror();
        ASSERT_TRUE(TheHost().bound);
        env = TheHost().create(6);
        ASSERT_NE(env, nullptr);
        ASSERT_EQ(Error("LoadPlugin(\"" + kConvertStacked + "\")"), "");
        if (loadsTheBuild) {
            ASSERT_EQ(Error("LoadPlugin(\"" + kPlugin + "\")"), "");
        }
    }
    void TearDown() override {
        if (env) TheHost().destroy(env);
    }

    AVS_Value Eval(const std::string& script) {
        AVS_Value text;
        text.type = 's';
        text.array_size = 0;
        text.d.string = script.c_str();
        return TheHost().invoke(env, "Eval", text, nullptr);
    }
    // The script's error message, or "" when it evaluates.
    std::string Error(const std::string& script) {
        const AVS_Value v = Eval(script);
        const std::string message = v.type == 'e' ? v.d.string : "";
        if (v.type != 'e') TheHost().release_value(v);
        return message;
    }
    // The script's clip; the caller releases it.
    AVS_Clip* ClipOf(const std::string& script) {
        const AVS_Value v = Eval(script);
        EXPECT_EQ(v.type, 'c') << script << "\n" << (v.type == 'e' ? v.d.string : "");
        if (v.type != 'c') return nullptr;
        AVS_Clip* clip = TheHost().take_clip(v, env);
        TheHost().release_value(v);
        return clip;
    }
    // The visible bytes of frame n, planes one after another.
    std::vector<uint8_t> FrameBytes(AVS_Clip* clip, int n) {
        const avs_c::HostFunctions& f = TheHost().f;
        AVS_VideoFrame* frame = f.get_frame(clip, n);
        EXPECT_NE(frame, nullptr) << f.clip_get_error(clip);
        std::vector<uint8_t> bytes;
        if (!frame) return bytes;
        for (int plane : {PLANAR_Y, PLANAR_U, PLANAR_V}) {
            const uint8_t* row = f.get_read_ptr_p(frame, plane);
            const int rowBytes = TheHost().row_size(frame, plane), pitch = f.get_pitch_p(frame, plane);
            for (int y = 0; y < f.get_height_p(frame, plane); ++y, row += pitch)
                bytes.insert(bytes.end(), row, row + rowBytes);
        }
        f.release_video_frame(frame);
        return bytes;
    }

    AVS_ScriptEnvironment* env = nullptr;
    bool loadsTheBuild = true;
};

// A YV12 source with a gradient, a hard-edged block and extreme levels at
// both sides, different in every frame.
std::string Source(int width, int height, int frames = 3) {
    return "BlankClip(width=" + std::to_string(width) + ", height=" + std::to_string(height) +
           ", length=" + std::to_string(frames) +
           ", pixel_type=\"YV12\").Expr(\"sx 20 > sx 30 < and sy 8 > and 220 sx 7 * sy 3 * + 17 / 40 + frameno + ?\", "
           "\"sx 3 < 1 sx 4 / 100 + ?\", \"sx " +
           std::to_string(width / 2 - 3) + " > 255 sy 5 / 120 + ?\")";
}

std::string Call(const Args& a) {
    return ".Bitgrade(sseopt=" + std::to_string(a.sseopt) + ", span=" + std::to_string(a.span) +
           ", ythr=" + std::to_string(a.ythr) + ", cthr=" + std::to_string(a.cthr) +
           ", debug=" + (a.debug ? "true" : "false") + ")";
}

Picture PictureOf(const std::vector<uint8_t>& bytes, int w, int h) {
    auto plane = [&](int pw, int ph, size_t offset) {
        return MakePlane(pw, ph, [&](int x, int y) { return bytes[offset + (size_t)y * pw + x]; });
    };
    return Picture{plane(w, h, 0), plane(w / 2, h / 2, (size_t)w * h), plane(w / 2, h / 2, (size_t)w * h * 5 / 4)};
}

// Little-endian 16-bit samples (or map bytes, luma only) as the native
// build's Convert gives them.
// A frame's bytes as samples of `bits`: bytes, or little-endian words.
std::vector<uint16_t> SamplesOf(const std::vector<uint8_t>& bytes, int bits) {
    std::vector<uint16_t> samples;
    for (size_t i = 0; i < bytes.size(); i += bitgrade::BytesPerSample(bits))
        samples.push_back(bits > 8 ? (uint16_t)(bytes[i] | bytes[i + 1] << 8) : bytes[i]);
    return samples;
}

std::vector<uint16_t> Samples(const std::vector<uint8_t>& bytes, bool debug, size_t lumaSamples) {
    if (debug) return std::vector<uint16_t>(bytes.begin(), bytes.begin() + (long)lumaSamples);
    return SamplesOf(bytes, 16);
}

// Every level gives the core's output on packed planes, the command's,
// whatever this host's row padding: 48 and 720 wide, chroma rows that end
// half-way through a 16-column block; 854 and 1080, widths that are no
// multiple of 16 (web 480p, vertical video), also at the default sseopt; 2,
// 10 and 14 high, windows near the height of the plane, or taller.
TEST_F(AvisynthPlus, FramesEqualTheCoresAtEveryLevelAndWidth) {
    for (auto [w, h] :
         {std::pair{64, 48}, {48, 32}, {720, 32}, {32, 2}, {16, 14}, {128, 10}, {854, 12}, {1080, 10}, {34, 18}}) {
        AVS_Clip* source = ClipOf(Source(w, h));
        ASSERT_NE(source, nullptr);
        const Picture picture = PictureOf(FrameBytes(source, 1), w, h);
        TheHost().f.release_clip(source);
        for (const Args& args :
             {Args{1, 3, 1, 1, false}, Args{2, 3, 1, 1, false}, Args{3, 3, 1, 1, false}, Args{3, 6, 4, 2, false},
              Args{2, 2, 0, 9, true}, Args{3, 3, 1, 1, true}, Args{1, 3, 1, 1, true}, Args{0, 3, 1, 1, false}}) {
            AVS_Clip* clip = ClipOf(Source(w, h) + Call(args));
            ASSERT_NE(clip, nullptr);
            EXPECT_EQ(TheHost().video_info(clip)->width, args.debug ? w : 2 * w);
            EXPECT_EQ(Samples(FrameBytes(clip, 1), args.debug, (size_t)w * h), ConvertInCore(picture, args))
                << w << "x" << h << Call(args);
            TheHost().f.release_clip(clip);
        }
    }
}

// The source's frame properties reach the filtered frames, whichever
// converter makes them.
TEST_F(AvisynthPlus, FramePropertiesPassThrough) {
    if (!TheHost().hasProperties) GTEST_SKIP() << "this host has no frame properties";
    const avs_c::HostFunctions& f = TheHost().f;
    for (const Args& args :
         {Args{1, 3, 1, 1, false}, Args{2, 3, 1, 1, false}, Args{3, 3, 1, 1, false}, Args{3, 3, 1, 1, true}}) {
        AVS_Clip* clip = ClipOf(Source(64, 16) + ".propSet(\"_Matrix\", 9).propSet(\"_ColorRange\", 0)" + Call(args));
        ASSERT_NE(clip, nullptr);
        AVS_VideoFrame* frame = f.get_frame(clip, 1);
        ASSERT_NE(frame, nullptr) << f.clip_get_error(clip);
        const void* props = TheHost().frame_props(env, frame);
        for (auto [key, value] : {std::pair{"_Matrix", 9}, {"_ColorRange", 0}}) {
            int error = -1;
            EXPECT_EQ(TheHost().prop_get_int(env, props, key, 0, &error), value) << key << Call(args);
            EXPECT_EQ(error, 0) << key << Call(args);
        }
        f.release_video_frame(frame);
        f.release_clip(clip);
    }
}

TEST_F(AvisynthPlus, PrefetchGivesTheFramesOfOneThread) {
    const std::string script = Source(320, 240, 12) + ".Bitgrade()";
    AVS_Clip* single = ClipOf(script);
    AVS_Clip* threaded = ClipOf(script + ".Prefetch(2)");
    ASSERT_TRUE(single && threaded);
    for (int n : {0, 5, 1, 11, 6, 2, 7, 3, 8, 4, 9, 10}) EXPECT_EQ(FrameBytes(threaded, n), FrameBytes(single, n)) << n;
    TheHost().f.release_clip(single);
    TheHost().f.release_clip(threaded);
}

TEST_F(AvisynthPlus, CreationErrorsArriveAsScriptErrors) {
    struct Case {
        std::string script, message;
    };
    std::vector<Case> cases = {
        {Source(64, 16) + ".Bitgrade(sseopt=4)", "levelize: \"sseopt\" should be 0 to 3.(default:0)"},
    };
    // Interleaved, RGB, with alpha, float, and 4:1:1, which the host has at 8
    // bits only.
    for (const char* type : {"YUY2", "RGB32", "RGBP16", "YUVA420P8", "YUV420PS", "Y32", "YV411"})
        cases.push_back({"BlankClip(pixel_type=\"" + std::string(type) + "\").Bitgrade()", BITGRADE_MSG_AVS_FORMAT});
    cases.push_back({"BlankClip(pixel_type=\"YUV420P10\").Bitgrade(bits=12)", BITGRADE_MSG_BAD_BITS});
    cases.push_back({Source(64, 16) + ".Bitgrade(depth=9)", BITGRADE_MSG_BAD_DEPTH});
    cases.push_back({Source(64, 16) + ".Bitgrade(dither=\"bayer\")", BITGRADE_MSG_BAD_DITHER});
    cases.push_back({Source(64, 16) + ".Bitgrade(sseopt=1, maxspan=40)", BITGRADE_MSG_MAXSPAN_PLAIN});
    cases.push_back({Source(64, 16) + ".Bitgrade(span=40, plateaus=true)", BITGRADE_MSG_PLATEAUS_SPAN});
    for (const auto& c : cases) {
        const std::string error = Error(c.script);
        EXPECT_EQ(error.rfind(c.message, 0), 0u) << c.script << ": " << error;
    }
}

// A C filter of the test's own whose frames always fail.
AVS_VideoFrame* AVSC_CC FailingFrame(AVS_FilterInfo* fi, int) {
    fi->error = "the child fails here";
    return nullptr;
}

AVS_Value AVSC_CC CreateFailing(AVS_ScriptEnvironment* env, AVS_Value args, void*) {
    AVS_FilterInfo* fi = nullptr;
    AVS_Clip* clip = TheHost().f.new_c_filter(env, &fi, args.d.array[0], 1);
    fi->get_frame = FailingFrame;
    AVS_Value v;
    TheHost().f.set_to_clip(&v, clip);
    TheHost().f.release_clip(clip);
    return v;
}

TEST_F(AvisynthPlus, AChildsFrameErrorIsPassedOn) {
    ASSERT_EQ(TheHost().f.add_function(env, "FailingFrames", "c", CreateFailing, nullptr), 0);
    AVS_Clip* clip = ClipOf(Source(64, 32) + ".FailingFrames().Bitgrade()");
    ASSERT_NE(clip, nullptr);
    EXPECT_EQ(TheHost().f.get_frame(clip, 0), nullptr);
    const char* error = TheHost().f.clip_get_error(clip);
    EXPECT_NE(std::string(error ? error : "").find("the child fails here"), std::string::npos) << error;
    TheHost().f.release_clip(clip);
}

// Every family at 8 to 16 bits, and 8-bit 4:2:0 given a newer argument, gives
// a native clip of its family at the output's bits with the core's samples;
// maxspan, depth, dither, bits and plateaus reach the core.
TEST_F(AvisynthPlus, EveryFormatGivesANativeClipWithTheCoresSamples) {
    const struct {
        const char* type;
        bitgrade::Layout layout;
        int bits;
    } types[] = {{"YV12", bitgrade::kLayout420, 8},       {"YV16", bitgrade::kLayout422, 8},
                 {"YV24", bitgrade::kLayout444, 8},       {"Y8", bitgrade::kLayoutGrey, 8},
                 {"YUV420P10", bitgrade::kLayout420, 10}, {"YUV422P12", bitgrade::kLayout422, 12},
                 {"YUV444P14", bitgrade::kLayout444, 14}, {"YUV444P16", bitgrade::kLayout444, 16},
                 {"Y16", bitgrade::kLayoutGrey, 16}};
    for (const auto& t : types) {
        const int w = 72, h = 20;
        const std::string source = "BlankClip(width=" + std::to_string(w) + ", height=" + std::to_string(h) +
                                   ", length=2, pixel_type=\"" + t.type +
                                   "\").Expr(\"sx 11 * sy 3 * + 29 / 60 + sx 30 > 150 0 ? + frameno +\")";
        AVS_Clip* in = ClipOf(source);
        ASSERT_NE(in, nullptr) << t.type;
        const DeepPicture picture = {w, h, t.layout, t.bits, SamplesOf(FrameBytes(in, 1), t.bits)};
        TheHost().f.release_clip(in);
        const struct {
            const char* call;
            Args args;
        } calls[] = {{"Bitgrade(depth=16)", Args{0, 3, 1, 1, false}},
                     {"Bitgrade(span=2, maxspan=12, depth=10, dither=\"diffusion\")",
                      Args{0, 2, 1, 1, false, 12, {10, bitgrade::Dither::kDiffusion}}},
                     {"Bitgrade(sseopt=2, debug=true, bits=8)", Args{2, 3, 1, 1, true, 0, {}, 8}},
                     {"Bitgrade(maxspan=24, plateaus=true)", Args{0, 3, 1, 1, false, 24, {}, 0, true}}};
        for (const auto& c : calls) {
            AVS_Clip* clip = ClipOf(source + "." + c.call);
            ASSERT_NE(clip, nullptr) << t.type << " " << c.call;
            const AVS_VideoInfo* vi = TheHost().video_info(clip);
            const int bits = c.args.debug ? 8 : c.args.depth.bits;
            EXPECT_EQ(vi->width, w) << t.type << " " << c.call;
            // The family kept, the bits the output's.
            const uint32_t type = (uint32_t)vi->pixel_type;
            EXPECT_EQ(avs_c::BitsOfCode(type >> avs_c::kCsSampleBitsShift), bits) << t.type << " " << c.call;
            EXPECT_EQ(type & avs_c::kCsKindMask,
                      t.layout.planes == 1 ? avs_c::kCsPlanarY : (uint32_t)avs_c::kCsPlanarYuv);
            const std::vector<uint16_t> expected = ConvertDeepInCore(picture, c.args);
            std::vector<uint16_t> got = SamplesOf(FrameBytes(clip, 1), bits);
            if (c.args.debug) got.resize(expected.size());  // the map; chroma grey
            EXPECT_EQ(got, expected) << t.type << " " << c.call;
            TheHost().f.release_clip(clip);
        }
    }
}

TEST_F(AvisynthPlus, ConvertFromDoubleWidthMakesANative16BitClip) {
    AVS_Clip* wide = ClipOf(Source(64, 32) + ".Bitgrade()");
    AVS_Clip* native = ClipOf(Source(64, 32) + ".Bitgrade().ConvertFromDoubleWidth(bits=16)");
    ASSERT_TRUE(wide && native);
    const AVS_VideoInfo* vi = TheHost().video_info(native);
    EXPECT_EQ(vi->pixel_type, (int)0xA0010008) << "YUV420P16";
    EXPECT_EQ(vi->width, 64);
    EXPECT_EQ(FrameBytes(native, 2), FrameBytes(wide, 2));
    TheHost().f.release_clip(wide);
    TheHost().f.release_clip(native);
}

// The README's example, as written but for the install prefix: the
// installed plugin, its blank source, the host's ConvertFromDoubleWidth and
// dithered ConvertBits to 10 bits, Prefetch. A constant source has no
// fraction to dither, so every sample is exact.
class AvisynthPlusInstalled : public AvisynthPlus {
protected:
    AvisynthPlusInstalled() { loadsTheBuild = false; }
};

TEST_F(AvisynthPlusInstalled, TheReadmeExampleRunsFromAnInstallPrefix) {
    const std::string example = ReadmeBlock("avs");
    ASSERT_NE(example.find("Bitgrade("), std::string::npos) << "no ```avs block in the README";
    ASSERT_NE(InstallPrefix(), "");
    AVS_Clip* clip = ClipOf(Installed(example));
    ASSERT_NE(clip, nullptr);
    const AVS_VideoInfo* vi = TheHost().video_info(clip);
    EXPECT_EQ(vi->pixel_type, (int)0xA0050008) << "YUV420P10";
    ASSERT_EQ(vi->width, 1280);
    const std::vector<uint16_t> samples = Samples(FrameBytes(clip, 47), false, 0);
    const size_t luma = (size_t)vi->width * vi->height;
    ASSERT_EQ(samples.size(), luma * 3 / 2);
    EXPECT_EQ(std::count(samples.begin(), samples.begin() + (long)luma, 0x50 << 2), (long)luma);
    EXPECT_EQ(std::count(samples.begin() + (long)luma, samples.end(), 0x80 << 2), (long)luma / 2);
    TheHost().f.release_clip(clip);
}

long ResidentKilobytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// The host's frame cache is capped, so whatever grows past it is ours.
TEST_F(AvisynthPlus, AThousandFramesInFlatMemory) {
    AVS_Clip* clip = ClipOf("SetMemoryMax(32)\n" + Source(320, 240, 1100) + ".Bitgrade()");
    ASSERT_NE(clip, nullptr);
    long before = 0;
    for (int n = 0; n < 1100; ++n) {
        AVS_VideoFrame* frame = TheHost().f.get_frame(clip, n);
        ASSERT_NE(frame, nullptr) << n;
        TheHost().f.release_video_frame(frame);
        if (n == 99) before = ResidentKilobytes();
    }
    EXPECT_LT(ResidentKilobytes() - before, 32 * 1024) << "kB grown over 1000 frames";
    TheHost().f.release_clip(clip);
}

TEST(AvisynthPlusLoading, TheHostIsNotGlobalAndThePluginExportsOnlyItsEntry) {
    ASSERT_TRUE(TheHost().library);
    EXPECT_EQ(dlsym(RTLD_DEFAULT, "avs_add_function"), nullptr) << "the host library must be local to this test";
    void* plugin = dlopen(BITGRADE_C_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(plugin, nullptr) << dlerror();
    EXPECT_NE(dlsym(plugin, "avisynth_c_plugin_init"), nullptr);
    EXPECT_EQ(dlsym(plugin, "AvisynthPluginInit2"), nullptr);
    dlclose(plugin);
}

}  // namespace
