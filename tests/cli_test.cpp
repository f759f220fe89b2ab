// The bitgrade command, end to end: real ffmpeg sources through the program
// must equal the plugin's in-process result; bad input gets its message.
#include <gtest/gtest.h>

#include <random>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "command.h"
#include "convert/processor.h"
#include "test_support.h"

using namespace command;
using namespace testing_support;

namespace {

const int kW = 320, kH = 240, kFrames = 3;

std::vector<uint16_t> InProcess(const std::string& raw8, const Args& args) {
    native_host::Environment env;
    std::vector<uint16_t> all;
    const size_t frameBytes = (size_t)kW * kH * 3 / 2;
    for (int f = 0; f < kFrames; ++f) {
        const uint8_t* at = (const uint8_t*)raw8.data() + f * frameBytes;
        auto plane = [&](int w, int h, size_t offset) {
            return MakePlane(w, h, [&](int x, int y) { return at[offset + (size_t)y * w + x]; });
        };
        const Picture picture{plane(kW, kH, 0), plane(kW / 2, kH / 2, (size_t)kW * kH),
                              plane(kW / 2, kH / 2, (size_t)kW * kH * 5 / 4)};
        const auto frame = Convert(env, picture, args);
        all.insert(all.end(), frame.begin(), frame.end());
    }
    return all;
}

std::vector<uint16_t> AsSamples(const std::string& raw16) {
    std::vector<uint16_t> samples(raw16.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = (uint16_t)((uint8_t)raw16[2 * i] | (uint8_t)raw16[2 * i + 1] << 8);
    return samples;
}

std::string Options(const Args& a, int threads) {
    return " --sseopt " + std::to_string(a.sseopt) + " --span " + std::to_string(a.span) + " --ythr " +
           std::to_string(a.ythr) + " --cthr " + std::to_string(a.cthr) + " --threads " + std::to_string(threads);
}

TEST_F(Command, FfmpegSourcesThroughThePipeEqualTheInProcessResult) {
    if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    for (const char* source :
         {"gradients=s=320x240", "testsrc2=s=320x240", "color=c=gray:s=320x240,noise=alls=40:allf=t"}) {
        const std::string file = SourceFile(source);
        const std::string raw = RawFrames(file);
        ASSERT_EQ(raw.size(), (size_t)kW * kH * 3 / 2 * kFrames);
        for (const Args& args : {Args{1, 3, 1, 1, false}, Args{2, 3, 1, 1, false}, Args{3, 3, 1, 1, false},
                                 Args{3, 6, 4, 2, false}, Args{2, 1, 0, 9, false}}) {
            const auto expected = InProcess(raw, args);
            for (int threads : {1, 4}) {
                const Result converted =
                    Shell("cat " + file + " | " + kProgram + Options(args, threads) +
                          " | ffmpeg -v error -f yuv4mpegpipe -i - -f rawvideo -pix_fmt yuv420p16le -");
                ASSERT_EQ(converted.status, 0) << converted.err;
                ASSERT_EQ(AsSamples(converted.out), expected)
                    << source << " level " << args.sseopt << " span " << args.span << " threads " << threads;
            }
        }
    }
}

// Both instruction sets of the vector converter write the same bytes.
TEST_F(Command, EveryInstructionSetGivesTheSameStream) {
    if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    const std::string file = SourceFile("testsrc2=s=320x240");
    const Result sse41 = Shell(kProgram + " --cpu sse41 --span 6 " + file);
    ASSERT_EQ(sse41.status, 0) << sse41.err;
    if (bitgrade::DetectProcessor().vectorIsa != bitgrade::VectorIsa::kAvx2) GTEST_SKIP() << "no AVX2 here";
    const Result avx2 = Shell(kProgram + " --cpu avx2 --span 6 " + file);
    ASSERT_EQ(avx2.status, 0) << avx2.err;
    EXPECT_EQ(avx2.out, sse41.out);
}

TEST_F(Command, DebugMapHasTheMapInLumaAndGreyChroma) {
    if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    const std::string file = SourceFile("testsrc2=s=320x240");
    const auto map = InProcess(RawFrames(file), Args{3, 3, 1, 1, true});
    const Result out =
        Shell(kProgram + " --debug " + file + " | ffmpeg -v error -f yuv4mpegpipe -i - -f rawvideo -pix_fmt yuv420p -");
    ASSERT_EQ(out.status, 0) << out.err;
    const size_t luma = (size_t)kW * kH, frame = luma * 3 / 2;
    ASSERT_EQ(out.out.size(), frame * kFrames);
    for (int f = 0; f < kFrames; ++f)
        for (size_t i = 0; i < frame; ++i) {
            const int expected = i < luma ? map[f * luma + i] : 128;
            ASSERT_EQ((uint8_t)out.out[f * frame + i], expected) << "frame " << f << " byte " << i;
        }
}

TEST_F(Command, X265AcceptsTheOutput) {
    if (!HaveTool("ffmpeg") || !HaveTool("x265")) GTEST_SKIP() << "ffmpeg or x265 is not installed";
    const std::string hevc = Path("out.hevc");
    const Result r = Shell(kProgram + " " + SourceFile("testsrc2=s=320x240") +
                           " | x265 --log-level error --preset ultrafast --y4m --input - --output-depth 10 -o " + hevc);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_GT(std::stol("0" + Shell("wc -c < " + hevc).out), 1000);
}

struct BadInput {
    const char* name;
    std::string input, options, message;
    int status;
};
void PrintTo(const BadInput& c, std::ostream* os) { *os << c.name << ": status " << c.status << ", " << c.message; }

class CommandErrors : public Command, public ::testing::WithParamInterface<BadInput> {};

TEST_P(CommandErrors, NameTheProblemAndExitNonZero) {
    const BadInput& c = GetParam();
    const Result r = Shell(kProgram + " --quiet " + c.options, c.input);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.err.rfind("bitgrade: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), c.message.find("hint") == std::string::npos ? 1 : 2);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandErrors,
    ::testing::Values(
        BadInput{"empty", "", "", "the input is empty", 1},
        BadInput{"not_y4m", "RIFF....WAVEfmt ", "", "not a YUV4MPEG2 stream", 1},
        BadInput{"colour_space", "YUV4MPEG2 W16 H16 C410\n", "", "unsupported colour space C410; accepted: C420", 1},
        BadInput{"odd", "YUV4MPEG2 W15 H16\n", "", "15x16 does not divide into C420's chroma", 1},
        BadInput{"width_411", "YUV4MPEG2 W18 H15 C411\n", "",
                 "18x15 does not divide into C411's chroma: the width must be a multiple of 4", 1},
        BadInput{"huge", "YUV4MPEG2 W100000 H16\n", "", "larger than the supported 16384", 1},
        BadInput{"no_size", "YUV4MPEG2 F25:1\n", "", "positive width (W) and height (H)", 1},
        BadInput{"frame_header", kHeader + "FRAMX\n", "", "malformed FRAME header of frame 1", 1},
        BadInput{"second_frame_header", kHeader + Frame(16, 16, 9) + "FRAMEX\n", "",
                 "malformed FRAME header of frame 2", 1},
        BadInput{"truncated", kHeader + Frame(16, 16, 9) + Frame(16, 16, 9).substr(0, 100), "", "frame 2 is truncated",
                 1},
        // The filter's options are checked before any input is read, in the
        // command's words.
        BadInput{"sseopt", "", "--sseopt 7", "--sseopt must be 0 to 3", 2},
        BadInput{"max_span", "", "--max-span 128", "--max-span must be at most 127", 2},
        BadInput{"max_span_plain", "", "--sseopt 1 --max-span 24",
                 "--max-span needs --sseopt 0, 2 or 3; the plain converter has one window", 2},
        BadInput{"plateaus_plain", "", "--sseopt 1 --plateaus",
                 "--plateaus needs --sseopt 0, 2 or 3; the plain converter has one window", 2},
        BadInput{"plateaus_span", "", "--plateaus --span 32", "--plateaus needs a --span of 1 to 31", 2},
        BadInput{"plateaus_debug", "", "--plateaus --debug", "--plateaus has no map; leave out --debug", 2},
        BadInput{"unfiltered_sseopt", kHeader, "--unfiltered --sseopt 9", "--sseopt must be 0 to 3", 2},
        BadInput{"unfiltered_max_span", kHeader, "--unfiltered --max-span 500", "--max-span must be at most 127", 2},
        BadInput{"subsampling_410", "YUV4MPEG2 W16 H16 F25:1 XYSCSS=410\n" + Frame(16, 16, 9), "",
                 "unsupported chroma subsampling XYSCSS=410 (the stream has no C tag)", 1},
        BadInput{"unwritable", kHeader, "- /nonexistent/dir/out.y4m", "cannot open output '/nonexistent/dir/out.y4m'",
                 1},
        BadInput{"missing_input", "", "/nonexistent/in.y4m", "cannot open input '/nonexistent/in.y4m'", 1},
        BadInput{"directory_input", "", "/", "cannot read '/': Is a directory", 1},
        BadInput{"demo_not_png", "", "--demo out.jpg", "--demo writes a PNG picture: give its path a .png name", 2},
        BadInput{"flag_with_value", "", "--debug=1", "--debug takes no value", 2},
        BadInput{"bad_inline_number", "", "--span=x", "--span needs a whole number", 2},
        BadInput{"bad_number", kHeader, "--span x", "--span needs a whole number", 2},
        BadInput{"huge_number", kHeader, "--ythr 99999999999", "--ythr must be -2147483648 to 2147483647", 2},
        BadInput{"no_threads", kHeader, "--threads 0", "--threads must be 1 to 256", 2},
        BadInput{"huge_threads", kHeader, "--threads 99999999999", "--threads must be 1 to 256", 2},
        BadInput{"unknown_option", kHeader, "--fast", "unknown option --fast", 2},
        BadInput{"depth", "", "--depth 9", "--depth must be 8, 10, 12 or 16", 2},
        BadInput{"bits", "", "--bits 7", "--bits must be 8 to 16", 2},
        BadInput{"bits_deeper_than_input", "YUV4MPEG2 W16 H16 C420p10\n", "--bits 12",
                 "--bits 12 is deeper than the input's 10 bits; give 8 to 10", 2},
        BadInput{"depth_tag", "YUV4MPEG2 W16 H16 C420p11\n", "", "unsupported colour space C420p11", 1},
        BadInput{"dither", "", "--dither bayer", "--dither needs ordered, diffusion or none", 2},
        BadInput{"dither_empty", "", "--dither ''", "--dither needs ordered, diffusion or none", 2},
        BadInput{"unfiltered_depth", kHeader, "--unfiltered --depth 10", "--unfiltered writes 16-bit samples only", 2},
        BadInput{"crlf", "YUV4MPEG2 W16 H16 F25:1\r\n", "", "malformed stream header: it ends in CR LF", 1},
        BadInput{"tabs", "YUV4MPEG2 W16\tH16\n", "", "malformed stream header: its fields are separated by tabs", 1},
        BadInput{"nul", std::string("YUV4MPEG2 W16 H16 Xa\0b\n", 23), "",
                 "malformed stream header: it holds a NUL byte", 1},
        BadInput{"frame_crlf", kHeader + "FRAME\r\n", "", "malformed FRAME header of frame 1: it ends in CR LF", 1},
        BadInput{"closed_input", kHeader, "<&-", "the standard input is closed", 1},
        BadInput{"closed_output", kHeader, ">&-", "the standard output is closed", 1},
        BadInput{"closed_output_input_path", kHeader, "/dev/stdin >&-", "the standard output is closed", 1}),
    [](const auto& info) { return std::string(info.param.name); });

// --depth: the header names the bits (at 8 the input's own tag, the map
// C420 at every depth), every frame holds the bytes they take, and each code
// is the 16-bit output's, rounded without a dither and within one of it with
// one.
TEST_F(Command, DepthsWriteTheirHeadersAndCodes) {
    const int w = 34, h = 10;
    std::string input = "YUV4MPEG2 W34 H10 F25:1 C420jpeg\n";
    std::mt19937 rng(3);
    for (int f = 0; f < 2; ++f) {
        std::string frame = "FRAME\n";
        for (int i = 0; i < w * h * 3 / 2; ++i) frame += (char)(100 + (i % w) / 4 + (rng() % 8 == 0));
        input += frame;
    }
    const Result wide = Shell(kProgram + " --quiet", input);
    ASSERT_EQ(wide.status, 0) << wide.err;
    const std::vector<uint16_t> values = AsSamples(wide.out.substr(wide.out.find("FRAME\n") + 6, (size_t)w * h * 3));
    const struct {
        const char* options;
        const char* tag;
        int bits;
    } cases[] = {{"--depth 10 --dither none", " C420p10", 10},
                 {"--depth 12", " C420p12", 12},
                 {"--depth 8 --dither diffusion", " C420jpeg", 8},
                 {"--depth 10 --debug", " C420", 0}};
    for (const auto& c : cases) {
        const Result r = Shell(kProgram + " --quiet " + c.options, input);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.substr(0, r.out.find('\n')), std::string("YUV4MPEG2 W34 H10 F25:1") + c.tag) << c.options;
        const size_t bytes = (size_t)w * h * 3 / 2 * (c.bits > 8 ? 2 : 1), header = r.out.find('\n') + 1;
        ASSERT_EQ(r.out.size(), header + 2 * (6 + bytes)) << c.options;
        if (!c.bits) continue;
        const std::string samples = r.out.substr(header + 6, bytes);
        const int shift = 16 - c.bits;
        for (size_t i = 0; i < values.size(); ++i) {
            const int code =
                c.bits > 8 ? (uint8_t)samples[2 * i] | (uint8_t)samples[2 * i + 1] << 8 : (uint8_t)samples[i];
            const int rounded = std::min((values[i] + (1 << (shift - 1))) >> shift, 65535 >> shift);
            if (std::string(c.options).find("none") != std::string::npos)
                ASSERT_EQ(code, rounded) << c.options << " " << i;
            else ASSERT_LE(std::abs(code * (1 << shift) - values[i]), 1 << shift) << c.options << " " << i;
        }
    }
}

// 4:4:4 and grey go in and come out in their own layout at every depth,
// at sizes 4:2:0 cannot have, with the core's output.
TEST_F(Command, EachLayoutComesOutInItsOwnTagWithTheCoresSamples) {
    const struct {
        const char* tag;
        bitgrade::Layout layout;
        int w, h;
        const char *wide, *ten, *map;  // the tags at 16 and 10 bits, and of the map
    } layouts[] = {{"C444", bitgrade::kLayout444, 35, 17, "C444p16", "C444p10", "C444"},
                   {"Cmono", bitgrade::kLayoutGrey, 35, 17, "Cmono16", "Cmono10", "Cmono"},
                   {"C422", bitgrade::kLayout422, 34, 17, "C422p16", "C422p10", "C422"},
                   {"C411", bitgrade::kLayout411, 36, 17, "C411p16", "C411p10", "C411"},
                   {"C420mpeg2", bitgrade::kLayout420, 34, 18, "C420p16", "C420p10", "C420"}};
    for (const auto& l : layouts) {
        const Picture picture = MakePicture(
            l.w, l.h, [](int pw, int ph) { return Structured(0, pw, ph, pw); }, l.layout);
        const std::string head = "YUV4MPEG2 W" + std::to_string(l.w) + " H" + std::to_string(l.h) + " F25:1 ";
        std::string input = head + l.tag + "\nFRAME\n";
        for (const Plane* p : {&picture.y, &picture.u, &picture.v}) input.append(p->samples.begin(), p->samples.end());
        const size_t samples = bitgrade::PictureSamples(l.layout, l.w, l.h);
        const struct {
            const char* options;
            const char* tag;
            Args args;  // for the core's output; level 0: none to compare
        } runs[] = {{"", l.wide, Args{0, 3, 1, 1, false}},
                    {"--sseopt 2 --max-span 9", l.wide, Args{2, 3, 1, 1, false, 9}},
                    {"--span 2 --max-span 16 --plateaus", l.wide, Args{0, 2, 1, 1, false, 16, {}, 0, true}},
                    {"--debug", l.map, Args{0, 3, 1, 1, true}},
                    {"--depth 10", l.ten, Args{-1}}};
        for (const auto& run : runs) {
            const Result r = Shell(kProgram + " --quiet " + run.options, input);
            ASSERT_EQ(r.status, 0) << l.tag << " " << run.options << ": " << r.err;
            const size_t header = r.out.find('\n');
            EXPECT_EQ(r.out.substr(0, header), head + run.tag) << run.options;
            const bool debug = run.args.debug;
            ASSERT_EQ(r.out.size(), header + 1 + 6 + samples * (debug ? 1 : 2)) << l.tag << " " << run.options;
            if (run.args.sseopt < 0) continue;
            std::vector<uint16_t> core = ConvertInCore(picture, run.args);
            if (debug) core.resize(samples, 128);  // the map in luma, grey chroma
            const std::string out = r.out.substr(header + 7);
            const std::vector<uint16_t> got =
                debug ? std::vector<uint16_t>((const uint8_t*)out.data(), (const uint8_t*)out.data() + out.size())
                      : AsSamples(out);
            EXPECT_EQ(got, core) << l.tag << " " << run.options;
        }
    }
}

// Deeper streams: a copy of an 8-bit stream in C420p10, C422p12, C444p16 and
// Cmono14, each sample shifted up, with --bits 8 gives the 8-bit stream's
// output at every output depth and thread count, in the same layout.
TEST_F(Command, DeeperCopiesOfAnEightBitStreamGiveItsOutput) {
    const struct {
        const char *tag, *deep;
        bitgrade::Layout layout;
        int bits;
    } cases[] = {{"C420", "C420p10", bitgrade::kLayout420, 10},
                 {"C422", "C422p12", bitgrade::kLayout422, 12},
                 {"C444", "C444p16", bitgrade::kLayout444, 16},
                 {"Cmono", "Cmono14", bitgrade::kLayoutGrey, 14}};
    for (const auto& c : cases) {
        std::string eight = "YUV4MPEG2 W90 H40 F25:1 " + std::string(c.tag) + "\n";
        std::string deep = "YUV4MPEG2 W90 H40 F25:1 " + std::string(c.deep) + "\n";
        for (int n = 0; n < 3; ++n) {
            const Picture picture = MakePicture(
                90, 40, [&](int w, int h) { return Structured(n, w, h, n + w); }, c.layout);
            eight += "FRAME\n";
            deep += "FRAME\n";
            for (const Plane* p : {&picture.y, &picture.u, &picture.v}) {
                eight.append(p->samples.begin(), p->samples.end());
                for (uint8_t sample : p->samples) {
                    const int code = sample << (c.bits - 8);
                    deep += {(char)(code & 255), (char)(code >> 8)};
                }
            }
        }
        for (const char* options :
             {" --threads 1", " --threads 4 --depth 10", " --span 2 --max-span 20 --depth 8", " --debug --threads 3"}) {
            const Result want = Shell(kProgram + " --quiet" + options, eight);
            const Result got = Shell(kProgram + " --quiet --bits 8" + options, deep);
            ASSERT_EQ(want.status, 0) << want.err;
            ASSERT_EQ(got.status, 0) << got.err;
            // The same samples; the header names the output's own layout.
            EXPECT_EQ(got.out.substr(got.out.find('\n')), want.out.substr(want.out.find('\n'))) << c.deep << options;
            const std::string header = got.out.substr(0, got.out.find('\n'));
            EXPECT_NE(header.find(" C" + std::string(c.tag).substr(1)), std::string::npos) << header;
        }
    }
}

// Every even width goes to the vector converter, asked for or chosen as the
// fastest, silently and with the streaming converter's output.
TEST_F(Command, EveryWidthRunsTheVectorConverter) {
    if (bitgrade::DetectSseLevel() < 3) GTEST_SKIP() << "no SSE4.1 here";
    for (int w : {2, 6, 18, 24, 34, 854}) {
        const std::string size = "W" + std::to_string(w) + " H16";
        const std::string input = "YUV4MPEG2 " + size + " F25:1\n" + Frame(w, 16, 9) + Frame(w, 16, 200) +
                                  Frame(w, 16, 0) + Frame(w, 16, 255);
        const Result fastest = Shell(kProgram, input), vector = Shell(kProgram + " --sseopt 3", input);
        const Result streaming = Shell(kProgram + " --quiet --sseopt 2", input);
        ASSERT_EQ(fastest.status, 0) << fastest.err;
        ASSERT_EQ(vector.status, 0) << vector.err;
        EXPECT_EQ(fastest.out, streaming.out) << size;
        EXPECT_EQ(vector.out, streaming.out) << size;
        // Only where the default window is wider than the picture, a warning.
        const std::string warning = "bitgrade: warning: the window of --span 3 fits no plane of " + std::to_string(w) +
                                    "x16, so nothing is averaged; give a span below " + std::to_string((w + 1) / 2) +
                                    "\n";
        EXPECT_EQ(fastest.err + vector.err, w < 7 ? warning + warning : "") << size;
    }
}

// Rows whose bytes are no multiple of 32 leave the host's frames padded: the
// command copies them out, and the stream still equals the in-process result.
TEST_F(Command, PaddedFramesGiveTheInProcessResult) {
    const int w = 40, h = 16;
    const Picture picture = MakePicture(w, h, [](int pw, int ph) { return Extremes(pw, ph, 7); });
    std::string frame = "FRAME\n";
    for (const Plane* p : {&picture.y, &picture.u, &picture.v}) frame.append(p->samples.begin(), p->samples.end());
    for (const Args& args : {Args{2, 3, 1, 1, false}, Args{1, 2, 0, 3, false}, Args{2, 3, 1, 1, true}}) {
        const Result r = Shell(kProgram + " --quiet" + Options(args, 1) + (args.debug ? " --debug" : ""),
                               "YUV4MPEG2 W40 H16 F25:1\n" + frame);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string samples = r.out.substr(r.out.find("FRAME\n") + 6);
        native_host::Environment env;
        const auto expected = Convert(env, picture, args);
        if (args.debug) {
            const std::vector<uint8_t> map(samples.begin(), samples.begin() + w * h);
            ASSERT_EQ(std::vector<uint16_t>(map.begin(), map.end()), expected);
        } else {
            ASSERT_EQ(AsSamples(samples), expected) << args.sseopt;
        }
    }
}

// The benchmarks' floor: the stream of 16-bit samples without a filter.
TEST_F(Command, UnfilteredWritesEverySampleTimes256) {
    const Result r = Shell(kProgram + " --quiet --unfiltered", kHeader + Frame(16, 16, 9) + Frame(16, 16, 200));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string head = "YUV4MPEG2 W16 H16 F25:1 Ip A1:1 C420p16\n";
    ASSERT_EQ(r.out.size(), head.size() + 2 * (6 + 16 * 16 * 3));
    const std::string frame2 = r.out.substr(head.size() + 6 + 16 * 16 * 3 + 6);
    for (size_t i = 0; i < frame2.size(); i += 2) ASSERT_EQ(frame2.substr(i, 2), std::string("\0\xC8", 2)) << i;
}

TEST_F(Command, TruncatedInputStillWritesEveryCompleteFrame) {
    const Result r =
        Shell(kProgram + " --quiet --sseopt 2", kHeader + Frame(16, 16, 9) + Frame(16, 16, 9) + "FRAME\nabc");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.size(), std::string("YUV4MPEG2 W16 H16 F25:1 Ip A1:1 C420p16\n").size() + 2 * (6 + 16 * 16 * 3));
    EXPECT_EQ(r.out.compare(0, 40, "YUV4MPEG2 W16 H16 F25:1 Ip A1:1 C420p16\n"), 0);
}

// A regular file, which the reader knows the size of, and a pipe: the same
// frames, the same message for a truncated frame, whichever way it comes.
TEST_F(Command, FilesAndPipesGiveTheSameStream) {
    const std::string good = kHeader + Frame(16, 16, 9) + "FRAME Ixyz\n" + std::string(16 * 16 * 3 / 2, 200);
    for (const std::string& input : {good, good + "FRAME\nabc", good + "FRAM"}) {
        const std::string file = Path("input.y4m");
        std::ofstream(file, std::ios::binary) << input;
        const Result piped = Shell("cat " + file + " | " + kProgram + " --quiet");
        for (const std::string& command : {kProgram + " --quiet " + file, kProgram + " --quiet < " + file}) {
            const Result fromFile = Shell(command);
            EXPECT_EQ(fromFile.status, piped.status) << command;
            EXPECT_EQ(fromFile.out, piped.out) << command;
            EXPECT_EQ(fromFile.err, piped.err) << command;
        }
    }
}

// Writing over the input would empty it before a frame was read: the
// command refuses, by name, through a link or appending on its standard
// output, and leaves the file as it was.
TEST_F(Command, RefusesToWriteOverItsInput) {
    const std::string file = Path("input.y4m"), link = Path("link.y4m"), input = kHeader + Frame(16, 16, 9);
    std::ofstream(file, std::ios::binary) << input;
    std::filesystem::create_symlink(file, link);
    for (const std::string& paths : {file + " " + file, file + " " + link, "- " + link, file + " >> " + link}) {
        const Result r = Shell(kProgram + " --quiet " + paths + " < " + file);
        EXPECT_EQ(r.status, 1) << paths;
        EXPECT_NE(r.err.find("is the input file; write the output to another file"), std::string::npos) << r.err;
        std::stringstream kept;
        kept << std::ifstream(file, std::ios::binary).rdbuf();
        EXPECT_EQ(kept.str(), input) << paths;
    }
}

// Without a C tag, XYSCSS names the layout: a 4:2:0 one is taken as a
// stream without either tag, 4:4:4 as C444, and nothing of another is
// written.
TEST_F(Command, XyscssWithoutACTagNamesTheLayout) {
    const std::string frames = Frame(16, 16, 9) + Frame(16, 16, 200);
    const Result plain = Shell(kProgram + " --quiet", "YUV4MPEG2 W16 H16 F25:1\n" + frames);
    ASSERT_EQ(plain.status, 0) << plain.err;
    for (const char* tag : {"420JPEG", "420MPEG2", "420PALDV", "420"}) {
        const Result r =
            Shell(kProgram + " --quiet", "YUV4MPEG2 W16 H16 F25:1 XYSCSS=" + std::string(tag) + "\n" + frames);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, plain.out) << tag;
    }
    const std::string frames444 = "FRAME\n" + std::string(16 * 16 * 3, 9) + "FRAME\n" + std::string(16 * 16 * 3, 200);
    const Result c444 = Shell(kProgram + " --quiet", "YUV4MPEG2 W16 H16 F25:1 C444\n" + frames444);
    const Result x444 = Shell(kProgram + " --quiet", "YUV4MPEG2 W16 H16 F25:1 XYSCSS=444\n" + frames444);
    ASSERT_EQ(c444.status, 0) << c444.err;
    EXPECT_EQ(x444.out.substr(x444.out.find('\n')), c444.out.substr(c444.out.find('\n')));
    for (const char* tag : {"410", "MONO"}) {
        const Result r =
            Shell(kProgram + " --quiet", "YUV4MPEG2 W16 H16 F25:1 XYSCSS=" + std::string(tag) + "\n" + frames);
        EXPECT_EQ(r.status, 1) << tag;
        EXPECT_EQ(r.out, "") << tag;
    }
}

// A negative span's window fits no plane: without --max-span nothing is
// averaged at any level (level 1 included, which has no adaptive window);
// with it, the rungs above the span average at levels 2 and 3.
TEST_F(Command, ANegativeSpanIsNoAdaptiveWindow) {
    std::string input = "YUV4MPEG2 W90 H40 F25:1\n";
    const Picture picture = MakePicture(90, 40, [](int w, int h) { return Structured(0, w, h, 7); });
    input += "FRAME\n";
    for (const Plane* p : {&picture.y, &picture.u, &picture.v}) input.append(p->samples.begin(), p->samples.end());
    for (int level : {1, 2, 3}) {
        const std::string sseopt = " --quiet --sseopt " + std::to_string(level);
        const Result unsmoothed = Shell(kProgram + sseopt + " --span 1000", input);
        ASSERT_EQ(unsmoothed.status, 0) << unsmoothed.err;
        for (const char* span : {"-1", "-2"}) {
            const Result r = Shell(kProgram + sseopt + " --span " + span, input);
            EXPECT_EQ(r.status, 0) << level << " " << span << ": " << r.err;
            EXPECT_EQ(r.out, unsmoothed.out) << level << " " << span;
            const Result adaptive = Shell(kProgram + sseopt + " --span " + span + " --max-span 6", input);
            EXPECT_EQ(adaptive.status, level == 1 ? 2 : 0) << level << " " << span << ": " << adaptive.err;
            if (level > 1) {
                EXPECT_NE(adaptive.out, unsmoothed.out) << level << " " << span;
            }
        }
    }
}

// As with ffmpeg's and x264's options: a value after '=', and -h and -V.
TEST_F(Command, TakesValuesAfterAnEqualsSignAndShortHelpAndVersion) {
    const std::string input = kHeader + Frame(16, 16, 9) + Frame(16, 16, 200);
    const Result spaced = Shell(kProgram + " --quiet --span 2 --ythr 4 --depth 10 --dither diffusion", input);
    const Result joined = Shell(kProgram + " --quiet --span=2 --ythr=4 --depth=10 --dither=diffusion", input);
    ASSERT_EQ(spaced.status, 0) << spaced.err;
    EXPECT_EQ(joined.status, 0) << joined.err;
    EXPECT_EQ(joined.out, spaced.out);
    EXPECT_EQ(Shell(kProgram + " -h").out, Shell(kProgram + " --help").out);
    EXPECT_EQ(Shell(kProgram + " -V").out, "bitgrade, plugin Bitgrade ver 0.1\n");
}

// A terminal shows no video: the command refuses to write to one before
// reading anything.
TEST_F(Command, RefusesATerminalAsItsOutput) {
    if (!HaveTool("script")) GTEST_SKIP() << "no script(1) to give the command a terminal";
    const Result r = Shell("script -qec '" + kProgram + " /nonexistent.y4m' /dev/null");
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find("bitgrade: the standard output is a terminal, which shows no video"), std::string::npos)
        << r.out;
}

// A span whose window fits no plane averages nothing, and says so once
// (unless --quiet); a negative span fits none either.
TEST_F(Command, WarnsWhereTheWindowFitsNoPlane) {
    const std::string input = "YUV4MPEG2 W32 H24 F25:1\n" + Frame(32, 24, 9);
    for (const char* span : {"12", "200", "-1"}) {
        const Result r = Shell(kProgram + " --span " + span, input);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "bitgrade: warning: the window of --span " + std::string(span) +
                             " fits no plane of 32x24, so nothing is averaged; give a span below 12\n");
        EXPECT_EQ(Shell(kProgram + " --quiet --span " + span, input).err, "");
    }
    EXPECT_EQ(Shell(kProgram + " --span 11", input).err, "");
    EXPECT_EQ(Shell(kProgram + " --span -1 --max-span 8", input).err, "") << "a rung fits";
}

// The input's chroma siting, which a deeper header cannot carry, is named
// once with the encoder flag that carries it instead.
TEST_F(Command, NamesTheSitingADeeperHeaderCannotCarry) {
    const struct {
        const char* tag;
        std::string note;  // at depth 10
    } cases[] = {
        {"C420mpeg2",
         "bitgrade: note: the C420p10 header cannot carry the input's chroma siting (C420mpeg2, left); "
         "tell the encoder: x265 or x264 --chromaloc 0, SvtAv1EncApp --chroma-sample-position left\n"},
        {"C420jpeg",
         "bitgrade: note: the C420p10 header cannot carry the input's chroma siting (C420jpeg, centre); "
         "tell the encoder: x265 or x264 --chromaloc 1 (AV1 has no flag for it)\n"},
        {"C420paldv",
         "bitgrade: note: the C420p10 header cannot carry the input's chroma siting (C420paldv, top "
         "left); tell the encoder: x265 or x264 --chromaloc 2, SvtAv1EncApp --chroma-sample-position topleft\n"},
        {"C420", ""},
    };
    for (const auto& c : cases) {
        const std::string input = "YUV4MPEG2 W16 H16 F25:1 " + std::string(c.tag) + " XCOLORRANGE=FULL\n" +
                                  Frame(16, 16, 9) + Frame(16, 16, 200);
        const Result deeper = Shell(kProgram + " --depth 10", input);
        EXPECT_EQ(deeper.status, 0);
        EXPECT_EQ(deeper.err, c.note) << c.tag;
        EXPECT_EQ(deeper.out.substr(0, deeper.out.find('\n')), "YUV4MPEG2 W16 H16 F25:1 XCOLORRANGE=FULL C420p10")
            << "every X tag is kept";
        EXPECT_EQ(Shell(kProgram + " --quiet --depth 10", input).err, "") << c.tag;
        const Result eight = Shell(kProgram + " --depth 8", input);
        EXPECT_EQ(eight.err, "") << c.tag << ": the 8-bit header keeps the tag";
        EXPECT_EQ(eight.out.substr(0, eight.out.find('\n')),
                  "YUV4MPEG2 W16 H16 F25:1 XCOLORRANGE=FULL " + std::string(c.tag));
    }
}

TEST_F(Command, ClosedOutputPipeEndsQuietly) {
    std::string input = kHeader;
    for (int f = 0; f < 2000; ++f) input += Frame(16, 16, 9);
    const Result r = Shell("(" + kProgram + " --quiet; echo $? >&2) | head -c 100 > /dev/null", input);
    EXPECT_EQ(Numbers(r.err), std::vector<long long>{0});
}

TEST_F(Command, DemoWritesThePictureAndTheClip) {
    const std::string png = Path("demo.png"), clip = Path("demo.y4m");
    const Result r = Shell(kProgram + " --demo " + png + " " + clip + " --quiet");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Shell("head -c 8 " + png + " | od -An -tx1").out, " 89 50 4e 47 0d 0a 1a 0a\n");
    EXPECT_EQ(Shell("head -c 44 " + clip).out, "YUV4MPEG2 W640 H360 F24:1 Ip A1:1 C420p16\nFR");
}

// A pipe named as the picture is written into, not replaced by a file.
TEST_F(Command, DemoWritesThePictureIntoAPipe) {
    const std::string pipe = Path("picture.fifo"), png = Path("picture.png");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    const Result r =
        Shell("timeout 20 cat " + pipe + " > " + png + " & " + kProgram + " --demo " + pipe + " --quiet; wait");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::filesystem::is_fifo(pipe));
    EXPECT_EQ(Shell("head -c 8 " + png + " | od -An -tx1").out, " 89 50 4e 47 0d 0a 1a 0a\n");
}

// A full disk fails the clip's writes, not necessarily its close.
TEST_F(Command, DemoReportsAClipItCouldNotWrite) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    const Result r = Shell(kProgram + " --demo " + Path("demo.png") + " /dev/full --quiet");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "bitgrade: cannot write to '/dev/full': No space left on device; 0 whole frames went out before it, and "
              "part of the next may follow them (only a file can be cut back)\n");
}

// The command: the same stream at every thread count, and each rung's
// output where it averages, as the core gives it.
TEST_F(Command, AdaptiveFramesAreTheSameAtEveryThreadCount) {
    std::string input = "YUV4MPEG2 W90 H40 F25:1\n";
    for (int f = 0; f < 7; ++f) {
        const Picture picture = MakePicture(90, 40, [&](int w, int h) { return Structured(f % 5, w, h, f); });
        input += "FRAME\n";
        for (const Plane* p : {&picture.y, &picture.u, &picture.v}) input.append(p->samples.begin(), p->samples.end());
    }
    const std::string options = " --quiet --span 2 --max-span 24 --ythr 3 --cthr 3";
    const Result one = Shell(kProgram + options + " --threads 1", input);
    ASSERT_EQ(one.status, 0) << one.err;
    ASSERT_NE(one.out, Shell(kProgram + " --quiet --span 2 --ythr 3 --cthr 3", input).out);
    for (int threads : {2, 3, 8}) {
        const Result many = Shell(kProgram + options + " --threads " + std::to_string(threads), input);
        ASSERT_EQ(many.status, 0) << many.err;
        EXPECT_EQ(many.out, one.out) << threads << " threads";
    }
    const Result plain = Shell(kProgram + options + " --sseopt 1", input);
    EXPECT_EQ(plain.status, 2);
    EXPECT_NE(plain.err.find("--max-span needs --sseopt 0, 2 or 3"), std::string::npos) << plain.err;
}

}  // namespace
