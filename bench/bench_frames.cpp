// Whole frames through the plugin's own path, per level, with the defaults.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>

#include "native_host/native_host.h"
#include "plugin/plugin.h"

namespace {

// A banded gradient with some grain: the kind of frame the filter is for.
PClip GradientClip(native_host::Environment& env, int width, int height) {
    const VideoInfo vi = native_host::MakeVideoInfo(width, height);
    PVideoFrame frame = env.NewVideoFrame(vi, 16);
    std::mt19937 rng(7);
    for (int plane : {PLANAR_Y, PLANAR_U, PLANAR_V}) {
        const int w = plane == PLANAR_Y ? width : width / 2, h = frame->GetHeight(plane);
        BYTE* row = frame->GetWritePtr(plane);
        for (int y = 0; y < h; ++y, row += frame->GetPitch(plane))
            for (int x = 0; x < w; ++x) row[x] = (BYTE)(60 + (x + y) * 40 / (w + h) + (rng() % 16 == 0));
    }
    return PClip(new native_host::MemoryClip(vi, {frame}));
}

// Level, instruction set of level 3 (0 SSE4.1, 1 AVX2), width, height.
void Frame(benchmark::State& state) {
    const int level = (int)state.range(0), width = (int)state.range(2), height = (int)state.range(3);
    bitgrade::Processor processor = bitgrade::DetectProcessor();
    if (state.range(1) == 1 && processor.vectorIsa != bitgrade::VectorIsa::kAvx2) {
        state.SkipWithError("this processor does not run AVX2");
        return;
    }
    processor.vectorIsa = state.range(1) == 1 ? bitgrade::VectorIsa::kAvx2 : bitgrade::VectorIsa::kSse41;
    native_host::Environment env;
    const AVSValue args[2] = {AVSValue(GradientClip(env, width, height)), AVSValue(level)};
    const PClip filter = bitgrade::CreateBitgradeOn(AVSValue(args, 2), &env, processor).AsClip();
    if (level == 3) state.SetLabel(bitgrade::KernelsFor(processor.vectorIsa).isa);
    for (auto _ : state) {
        PVideoFrame frame = filter->GetFrame(0, &env);
        benchmark::DoNotOptimize(frame->GetReadPtr(PLANAR_Y));
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["fps"] = benchmark::Counter((double)state.iterations(), benchmark::Counter::kIsRate);
}

BENCHMARK(Frame)
    ->ArgNames({"level", "avx2", "width", "height"})
    ->ArgsProduct({{1, 2}, {0}, {1920}, {1080}})
    ->ArgsProduct({{3}, {0, 1}, {1920}, {1080}})
    ->ArgsProduct({{1, 2}, {0}, {1280}, {720}})
    ->ArgsProduct({{3}, {0, 1}, {1280}, {720}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
