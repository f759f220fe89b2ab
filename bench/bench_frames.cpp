// Whole frames through the core, per level, with the defaults: the time a
// frame costs in process, without any host around it.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <vector>

#include "cli/y4m.h"
#include "convert/converter.h"
#include "convert/creation.h"

namespace {

// A banded gradient with some grain: the kind of frame the filter is for.
std::vector<uint8_t> GradientFrame(int width, int height) {
    std::vector<uint8_t> frame((size_t)width * height * 3 / 2);
    std::mt19937 rng(7);
    uint8_t* at = frame.data();
    for (int plane = 0; plane < 3; ++plane) {
        const int w = plane ? width / 2 : width, h = plane ? height / 2 : height;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) *at++ = (uint8_t)(60 + (x + y) * 40 / (w + h) + (rng() % 16 == 0));
    }
    return frame;
}

// Level, instruction set of level 3 (0 SSE4.1, 1 AVX2), width, height.
void Frame(benchmark::State& state) {
    const int level = (int)state.range(0), width = (int)state.range(2), height = (int)state.range(3);
    const bool avx2 = state.range(1) == 1;
    if (avx2 && bitgrade::DetectProcessor().vectorIsa != bitgrade::VectorIsa::kAvx2) {
        state.SkipWithError("this processor does not run AVX2");
        return;
    }
    const bitgrade::Converter converter(
        {(bitgrade::Level)level, avx2 ? bitgrade::VectorIsa::kAvx2 : bitgrade::VectorIsa::kSse41});
    bitgrade::Scratch scratch;
    const std::vector<uint8_t> in = GradientFrame(width, height);
    std::vector<uint8_t> out(in.size() * 2);
    const bitgrade::Frame frame = bitgrade::PackedFrame(in.data(), out.data(), width, height, 2);
    if (level == 3) state.SetLabel(converter.Isa());
    for (auto _ : state) {
        converter.ConvertFrame(frame, scratch);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["fps"] = benchmark::Counter((double)state.iterations(), benchmark::Counter::kIsRate);
    // Seconds per megapixel, shown as ms: sizes of every width side by side.
    state.counters["ms/MP"] = benchmark::Counter((double)state.iterations() * width * height / 1e9,
                                                 benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Level 3 at widths that are common and no multiple of 16 (1366, 854, 1080,
// 1912) beside the nearest that is, at the same height.
void VectorSizes(benchmark::internal::Benchmark* b) {
    const int sizes[][2] = {{1920, 1080}, {1912, 1080}, {1366, 768},  {1360, 768},
                            {854, 480},   {848, 480},   {1080, 1920}, {1088, 1920}};
    for (int avx2 : {0, 1})
        for (const auto& size : sizes) b->Args({3, avx2, size[0], size[1]});
}

BENCHMARK(Frame)
    ->ArgNames({"level", "avx2", "width", "height"})
    ->ArgsProduct({{1, 2}, {0}, {1920}, {1080}})
    ->ArgsProduct({{1, 2}, {0}, {1280}, {720}})
    ->ArgsProduct({{3}, {0, 1}, {1280}, {720}})
    ->Apply(VectorSizes)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The frames of the YUV4MPEG2 file that BITGRADE_BENCH_Y4M names (at most
// 100), each converted in turn at level 3 with the defaults: the in-process
// time of the content that whole runs of the command are timed on.
void FileFrames(benchmark::State& state) {
    const char* path = std::getenv("BITGRADE_BENCH_Y4M");
    const int fd = path ? open(path, O_RDONLY) : -1;
    if (fd < 0) return state.SkipWithError("BITGRADE_BENCH_Y4M names no readable file");
    y4m::Reader reader(fd);
    const y4m::StreamHeader header = reader.ReadHeader();
    std::vector<std::vector<uint8_t>> frames;
    std::string params;
    for (std::vector<uint8_t> frame(header.FrameBytes());
         frames.size() < 100 && reader.NextFrame(frame.data(), params);)
        frames.push_back(frame);
    close(fd);
    const bitgrade::Processor processor = bitgrade::DetectProcessor();
    const bitgrade::SampleDepth depth = {header.bits, bitgrade::DefaultBands(header.bits)};
    const bitgrade::Converter converter({bitgrade::Level::kVector, processor.vectorIsa, {}, {}, depth});
    bitgrade::Scratch scratch;
    std::vector<uint8_t> out(bitgrade::PictureSamples(header.layout, header.width, header.height) * 2);
    state.SetLabel(converter.Isa());
    size_t next = 0;
    for (auto _ : state) {
        const std::vector<uint8_t>& in = frames[next++ % frames.size()];
        converter.ConvertFrame(
            bitgrade::PackedFrame(in.data(), out.data(), header.width, header.height, 2, header.layout, depth.Bytes()),
            scratch);
        benchmark::ClobberMemory();
    }
    state.counters["fps"] = benchmark::Counter((double)state.iterations(), benchmark::Counter::kIsRate);
}

BENCHMARK(FileFrames)->Unit(benchmark::kMillisecond)->UseRealTime();

// Level 3 at 1080p with the defaults, its output at each depth and dither
// (bits, then 0 none, 1 ordered, 2 diffusion): what bringing it down costs.
void Depth(benchmark::State& state) {
    const bitgrade::OutputDepth depth = {(int)state.range(0), (bitgrade::Dither)state.range(1)};
    const bitgrade::Converter converter({bitgrade::Level::kVector, bitgrade::DetectProcessor().vectorIsa, {}, depth});
    bitgrade::Scratch scratch;
    const std::vector<uint8_t> in = GradientFrame(1920, 1080);
    std::vector<uint8_t> out(in.size() * 2);
    const int bytes = converter.Chosen().SampleBytes();
    for (auto _ : state) {
        converter.ConvertFrame(bitgrade::PackedFrame(in.data(), out.data(), 1920, 1080, bytes), scratch);
        benchmark::ClobberMemory();
    }
}

BENCHMARK(Depth)
    ->ArgNames({"bits", "dither"})
    ->Args({16, 1})
    ->ArgsProduct({{10}, {0, 1, 2}})
    ->Args({8, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Level 3 at 1080p, span and max-span (0: off): the adaptive mode's rungs
// against the single spans they hold.
void Spans(benchmark::State& state) {
    bitgrade::Settings settings;
    settings.span = (int)state.range(0);
    settings.maxSpan = (int)state.range(1);
    const bitgrade::Converter converter({bitgrade::Level::kVector, bitgrade::DetectProcessor().vectorIsa, settings});
    bitgrade::Scratch scratch;
    const std::vector<uint8_t> in = GradientFrame(1920, 1080);
    std::vector<uint8_t> out(in.size() * 2);
    for (auto _ : state) {
        converter.ConvertFrame(bitgrade::PackedFrame(in.data(), out.data(), 1920, 1080, 2), scratch);
        benchmark::ClobberMemory();
    }
}

BENCHMARK(Spans)
    ->ArgNames({"span", "max"})
    ->ArgsProduct({{3, 6, 12, 24}, {0}})
    ->Args({3, 24})
    ->Args({3, 48})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The gradient of GradientFrame at 1080p in a layout and at a depth, its
// samples a level apart (bytes, or 16-bit words deeper than 8 bits), with
// grain of a level.
std::vector<uint8_t> GradientPicture(bitgrade::Layout layout, int bits) {
    const int width = 1920, height = 1080, level = 1 << (bits - bitgrade::DefaultBands(bits));
    std::vector<uint8_t> picture;
    std::mt19937 rng(7);
    for (int plane = 0; plane < layout.planes; ++plane) {
        const int w = plane ? width >> layout.chroma.x : width, h = plane ? height >> layout.chroma.y : height;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const int sample = (60 + (x + y) * 40 / (w + h) + (rng() % 16 == 0)) * level;
                picture.push_back((uint8_t)sample);
                if (bits > 8) picture.push_back((uint8_t)(sample >> 8));
            }
        }
    }
    return picture;
}

// Level 3 at 1080p in each layout (0 4:2:0, 1 4:2:2, 2 4:4:4) and input depth,
// with the max-span given (0: off): the cost of other clips beside 8-bit
// 4:2:0's.
void Formats(benchmark::State& state) {
    const bitgrade::Layout layouts[] = {bitgrade::kLayout420, bitgrade::kLayout422, bitgrade::kLayout444};
    const bitgrade::Layout layout = layouts[state.range(0)];
    const int bits = (int)state.range(1);
    bitgrade::Settings settings;
    settings.maxSpan = (int)state.range(2);
    const bitgrade::Converter converter({bitgrade::Level::kVector,
                                         bitgrade::DetectProcessor().vectorIsa,
                                         settings,
                                         {},
                                         {bits, bitgrade::DefaultBands(bits)}});
    bitgrade::Scratch scratch;
    const std::vector<uint8_t> in = GradientPicture(layout, bits);
    std::vector<uint8_t> out(bitgrade::PictureSamples(layout, 1920, 1080) * 2);
    const bitgrade::Frame frame =
        bitgrade::PackedFrame(in.data(), out.data(), 1920, 1080, 2, layout, bitgrade::BytesPerSample(bits));
    for (auto _ : state) {
        converter.ConvertFrame(frame, scratch);
        benchmark::ClobberMemory();
    }
}

BENCHMARK(Formats)
    ->ArgNames({"layout", "bits", "max"})
    ->ArgsProduct({{0}, {8, 10, 16}, {0, 24}})
    ->ArgsProduct({{1, 2}, {8}, {0}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
