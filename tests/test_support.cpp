#include "test_support.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>

#include "convert/plane_common.h"

namespace testing_support {

Plane MakePlane(int width, int height, const std::function<int(int x, int y)>& sample) {
    Plane p;
    p.width = width;
    p.height = height;
    p.samples.resize((size_t)width * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) p.at(x, y) = (uint8_t)sample(x, y);
    return p;
}

Plane Gradient(int width, int height, int seed) {
    const int base = 40 + seed % 50;
    return MakePlane(width, height, [=](int x, int y) {
        const bool object = x > width / 3 && x < width / 2 && y > height / 4 && y < height / 2;
        return object ? 230 : base + (x * 24 + y * 9) / (width + height + 1);
    });
}

Plane Noise(int width, int height, int seed, int lo, int hi) {
    std::mt19937 rng((unsigned)seed);
    std::uniform_int_distribution<int> level(lo, hi);
    return MakePlane(width, height, [&](int, int) { return level(rng); });
}

Plane Steps(int width, int height, int seed) {
    std::mt19937 rng((unsigned)seed);
    const int step = 1 + (int)(rng() % 3), period = 2 + (int)(rng() % 9);
    return MakePlane(width, height, [=](int x, int y) { return 100 + step * ((x + 2 * y) / period % 4); });
}

Plane Constant(int width, int height, int level) {
    return MakePlane(width, height, [=](int, int) { return level; });
}

Plane Extremes(int width, int height, int seed) {
    static const int kLevels[4] = {0, 1, 254, 255};
    std::mt19937 rng((unsigned)seed);
    const int stripe = 2 + (int)(rng() % 3), first = (int)(rng() % 4);
    return MakePlane(width, height, [&](int, int y) {
        const int base = kLevels[(first + y / stripe) % 4];
        const unsigned pick = rng() % 24;
        if (pick == 0) return kLevels[rng() % 4];
        if (pick < 5) return std::clamp(base + (pick % 2 ? 1 : -1), 0, 255);
        return base;
    });
}

Plane Structured(int kind, int width, int height, int seed) {
    switch (kind) {
    case 0: return Gradient(width, height, seed);
    case 1: return Noise(width, height, seed);
    case 2: return Steps(width, height, seed);
    case 3: return Extremes(width, height, seed);
    default: return Constant(width, height, seed % 256);
    }
}

Picture MakePicture(int width, int height, const std::function<Plane(int w, int h)>& generator,
                    bitgrade::Layout layout) {
    if (layout.planes == 1) return Picture{generator(width, height), {}, {}, layout};
    const int cw = width >> layout.chroma.x, ch = height >> layout.chroma.y;
    return Picture{generator(width, height), generator(cw, ch), generator(cw, ch), layout};
}

void WritePlane(const PVideoFrame& frame, int plane, const Plane& samples) {
    BYTE* out = frame->GetWritePtr(plane);
    for (int y = 0; y < samples.height; ++y)
        std::memcpy(out + (size_t)y * frame->GetPitch(plane), &samples.samples[(size_t)y * samples.width],
                    (size_t)samples.width);
}

PVideoFrame FrameOf(native_host::Environment& env, const Picture& picture, int pixelType) {
    PVideoFrame frame = env.NewVideoFrame(native_host::MakeVideoInfo(picture.y.width, picture.y.height, pixelType), 16);
    WritePlane(frame, PLANAR_Y, picture.y);
    WritePlane(frame, PLANAR_U, picture.u);
    WritePlane(frame, PLANAR_V, picture.v);
    return frame;
}

PClip ClipOf(native_host::Environment& env, const Picture& picture, int pixelType) {
    const VideoInfo vi = native_host::MakeVideoInfo(picture.y.width, picture.y.height, pixelType);
    return PClip(new native_host::MemoryClip(vi, {FrameOf(env, picture, pixelType)}));
}

std::vector<uint16_t> Read16(const PVideoFrame& frame, int plane, int width, int height) {
    std::vector<uint16_t> out((size_t)width * height);
    for (int y = 0; y < height; ++y)
        std::memcpy(&out[(size_t)y * width], frame->GetReadPtr(plane) + (size_t)y * frame->GetPitch(plane),
                    (size_t)width * 2);
    return out;
}

std::vector<uint8_t> Read8(const PVideoFrame& frame, int plane, int width, int height) {
    std::vector<uint8_t> out((size_t)width * height);
    for (int y = 0; y < height; ++y)
        std::memcpy(&out[(size_t)y * width], frame->GetReadPtr(plane) + (size_t)y * frame->GetPitch(plane),
                    (size_t)width);
    return out;
}

bitgrade::Processor TestProcessor() {
    bitgrade::Processor processor = bitgrade::DetectProcessor();
    const char* forced = std::getenv("BITGRADE_ISA");
    if (forced && std::string(forced) == "sse41") processor.vectorIsa = bitgrade::VectorIsa::kSse41;
    if (forced && std::string(forced) == "avx2") processor.vectorIsa = bitgrade::VectorIsa::kAvx2;
    return processor;
}

AVSValue CallBitgrade(native_host::Environment& env, const PClip& clip, const Args& args) {
    const AVSValue values[6] = {AVSValue(clip),      AVSValue(args.sseopt), AVSValue(args.span),
                                AVSValue(args.ythr), AVSValue(args.cthr),   AVSValue(args.debug)};
    return bitgrade::CreateBitgradeOn(AVSValue(values, 6), &env, TestProcessor());
}

std::vector<uint16_t> Convert(native_host::Environment& env, const Picture& picture, const Args& args) {
    const PClip filter = CallBitgrade(env, ClipOf(env, picture), args).AsClip();
    const PVideoFrame frame = filter->GetFrame(0, &env);
    const int w = picture.y.width, h = picture.y.height;
    std::vector<uint16_t> all;
    if (args.debug) {
        const std::vector<uint8_t> map = Read8(frame, PLANAR_Y, w, h);
        return std::vector<uint16_t>(map.begin(), map.end());
    }
    for (int plane : {PLANAR_Y, PLANAR_U, PLANAR_V}) {
        const bool luma = plane == PLANAR_Y;
        const std::vector<uint16_t> p = Read16(frame, plane, luma ? w : w / 2, luma ? h : h / 2);
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

namespace {

// A packed picture of `bytes` bytes a sample through the core's Converter:
// every output sample, codes at the output's depth or the luma map.
std::vector<uint16_t> ConvertPacked(const std::vector<uint8_t>& in, int w, int h, bitgrade::Layout layout, int bits,
                                    const Args& args) {
    const bitgrade::Processor processor = TestProcessor();
    const int level = args.sseopt ? args.sseopt : processor.sseLevel;
    const bitgrade::Settings settings = {args.span, args.ythr, args.cthr, args.debug, args.maxSpan, args.plateaus};
    const bitgrade::Creation c = bitgrade::Decide({true, w, bitgrade::Widths::kAny, bits}, processor, level, settings,
                                                  args.depth.bits, bitgrade::DitherName(), args.bands);
    if (c.refusal != bitgrade::Refusal::kNone) throw std::invalid_argument(c.Message());
    bitgrade::Conversion conversion = c.conversion;
    conversion.isa = processor.vectorIsa;
    conversion.depth.dither = args.depth.dither;
    const size_t samples = bitgrade::PictureSamples(layout, w, h);
    const int outBytes = conversion.SampleBytes();
    std::vector<uint8_t> out(samples * outBytes);
    bitgrade::Scratch scratch;
    if (!bitgrade::Converter(conversion)
             .ConvertFrame(
                 bitgrade::PackedFrame(in.data(), out.data(), w, h, outBytes, layout, bitgrade::BytesPerSample(bits)),
                 scratch))
        throw std::bad_alloc();
    const size_t kept = args.debug ? (size_t)w * h : samples;
    std::vector<uint16_t> all(kept);
    for (size_t i = 0; i < kept; ++i) all[i] = outBytes == 1 ? out[i] : (uint16_t)(out[2 * i] | out[2 * i + 1] << 8);
    return all;
}

}  // namespace

std::vector<uint16_t> ConvertInCore(const Picture& picture, const Args& args) {
    std::vector<uint8_t> in;
    for (const Plane* p : {&picture.y, &picture.u, &picture.v})
        in.insert(in.end(), p->samples.begin(), p->samples.end());
    return ConvertPacked(in, picture.y.width, picture.y.height, picture.layout, 8, args);
}

DeepPicture Scaled(const Picture& picture, int bits) {
    DeepPicture deep = {picture.y.width, picture.y.height, picture.layout, bits, {}};
    for (const Plane* p : {&picture.y, &picture.u, &picture.v})
        for (uint8_t sample : p->samples) deep.samples.push_back((uint16_t)(sample << (bits - 8)));
    return deep;
}

DeepPicture MakeDeepPicture(int width, int height, bitgrade::Layout layout, int bits,
                            const std::function<int(int x, int y, int plane)>& sample) {
    DeepPicture deep = {width, height, layout, bits, {}};
    for (int p = 0; p < layout.planes; ++p) {
        const int w = p ? width >> layout.chroma.x : width, h = p ? height >> layout.chroma.y : height;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                deep.samples.push_back((uint16_t)std::clamp(sample(x, y, p), 0, (1 << bits) - 1));
    }
    return deep;
}

std::vector<uint16_t> ConvertDeepInCore(const DeepPicture& picture, const Args& args) {
    std::vector<uint8_t> in;
    for (uint16_t sample : picture.samples) {
        if (picture.bits == 8) in.push_back((uint8_t)sample);
        else in.insert(in.end(), {(uint8_t)sample, (uint8_t)(sample >> 8)});
    }
    return ConvertPacked(in, picture.width, picture.height, picture.layout, picture.bits, args);
}

std::vector<uint16_t> SmoothedByWindows(const std::vector<uint16_t>& values, const std::vector<bool>& edges, int W,
                                        int H, bitgrade::Radii r, int threshold, std::vector<bool>* averaged) {
    std::vector<uint16_t> out = values;
    if (averaged) averaged->assign(values.size(), false);
    if (!bitgrade::WindowFits(r, H, W) || threshold < 0) return out;
    const bitgrade::BoxMean mean(r);
    const int rx = (int)r.x, ry = (int)r.y;
    for (int y = ry; y < H - ry; ++y) {
        for (int x = rx; x < W - rx; ++x) {
            uint64_t sum = 0;
            int busy = 0;
            for (int wy = y - ry; wy <= y + ry; ++wy) {
                for (int wx = x - rx; wx <= x + rx; ++wx) {
                    sum += values[(size_t)wy * W + wx];
                    busy += edges[(size_t)wy * W + wx];
                }
            }
            if (busy > threshold) continue;
            out[(size_t)y * W + x] = mean(sum);
            if (averaged) (*averaged)[(size_t)y * W + x] = true;
        }
    }
    return out;
}

Classes ClassifiedByRule(const uint16_t* samples, int W, int H, int bits, int bands) {
    const double L = std::ldexp(1.0, bits - bands);
    auto at = [&](int x, int y) { return (int)samples[(size_t)y * W + x]; };
    Classes c = {std::vector<uint16_t>((size_t)W * H), std::vector<bool>((size_t)W * H, true)};
    for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W; ++x) {
            c.values[(size_t)y * W + x] = (uint16_t)(at(x, y) << (16 - bits));
            if (x == 0 || y == 0 || x == W - 1 || y == H - 1) continue;
            int up = 0, down = 0, far = 0;
            for (int dy = -1; dy <= 1; ++dy) {
                for (int dx = -1; dx <= 1; ++dx) {
                    const int d = at(x + dx, y + dy) - at(x, y);
                    const double size = std::abs(d);
                    if (size < L / 2) continue;
                    if (size < 3 * L / 2) (d > 0 ? up : down) += 1;
                    else ++far;
                }
            }
            if (far || (up && down)) continue;
            c.edges[(size_t)y * W + x] = false;
            const int fraction = bitgrade::FractionRamp[up] - bitgrade::FractionRamp[down];
            const long scaled = std::lround(std::trunc(fraction * std::ldexp(1.0, 16 - bands) / 256));
            c.values[(size_t)y * W + x] = (uint16_t)std::clamp((at(x, y) << (16 - bits)) + scaled, 0L, 65535L);
        }
    }
    return c;
}

std::vector<uint16_t> RunPlane(int level, const Plane& plane, int span, int threshold, bool debug, int srcPitch,
                               int dstSamples) {
    srcPitch = srcPitch ? srcPitch : plane.width;
    dstSamples = dstSamples ? dstSamples : plane.width;
    std::vector<uint8_t> src((size_t)srcPitch * plane.height, 0);
    for (int y = 0; y < plane.height; ++y)
        std::memcpy(&src[(size_t)y * srcPitch], &plane.samples[(size_t)y * plane.width], (size_t)plane.width);
    const int bytes = debug ? 1 : 2, dstPitch = dstSamples * bytes;
    std::vector<uint8_t> dst((size_t)dstPitch * plane.height, 0xEE);
    const bitgrade::Settings settings = {span, threshold, threshold, debug};
    bitgrade::Scratch scratch;
    const bitgrade::Plane p = {src.data(), srcPitch, dst.data(), dstPitch, plane.width, plane.height, true, {}};
    const bitgrade::Converter converter({(bitgrade::Level)level, TestProcessor().vectorIsa, settings},
                                        bitgrade::PlainRows::kHosts);
    const bool converted = converter.ConvertPlane(p, scratch);
    if (!converted) throw std::bad_alloc();
    std::vector<uint16_t> out((size_t)dstSamples * plane.height);
    for (size_t i = 0; i < out.size(); ++i) out[i] = debug ? dst[i] : (uint16_t)(dst[2 * i] | dst[2 * i + 1] << 8);
    return out;
}

void CheckScratchFollowsEveryPlaneGeometry(int level) {
    const bitgrade::Settings settings = {6, 3, 3, false};
    const bitgrade::Converter converter({(bitgrade::Level)level, TestProcessor().vectorIsa, settings});
    auto convert = [&](bitgrade::Scratch& scratch, bool luma, int height, int pitch) {
        const int width = luma ? 32 : 16;
        const Plane samples = Gradient(width, height, pitch);
        std::vector<uint8_t> src((size_t)pitch * height, 0), dst((size_t)width * 2 * height);
        for (int y = 0; y < height; ++y)
            std::memcpy(&src[(size_t)y * pitch], &samples.samples[(size_t)y * width], (size_t)width);
        const bitgrade::Plane plane = {
            src.data(), pitch,  dst.data(), width * 2,
            width,      height, luma,       luma ? bitgrade::Subsampling() : bitgrade::Subsampling(1, 1)};
        EXPECT_TRUE(converter.ConvertPlane(plane, scratch));
        return dst;
    };
    // Chroma first (half the radius), then luma of growing height and pitch,
    // then small planes again.
    const struct {
        bool luma;
        int height, pitch;
    } steps[] = {{false, 10, 16}, {true, 10, 32}, {true, 40, 32}, {true, 40, 96}, {false, 32, 32}, {true, 14, 32}};
    bitgrade::Scratch shared;
    for (const auto& step : steps) {
        bitgrade::Scratch fresh;
        EXPECT_EQ(convert(shared, step.luma, step.height, step.pitch),
                  convert(fresh, step.luma, step.height, step.pitch))
            << "level " << level << (step.luma ? " luma " : " chroma ") << step.height << " rows, pitch " << step.pitch;
    }
}

}  // namespace testing_support
