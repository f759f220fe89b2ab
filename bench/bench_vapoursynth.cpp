// Whole frames through libbitgrade.so inside the real VapourSynth, on one
// and on two of the core's threads: how frames of one filter scale when the
// host makes them at the same time. The source hands out one prepared frame,
// so that the time is the filter's and the host's.
#include <VSHelper4.h>
#include <VapourSynth4.h>
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>

#include "tests/vapoursynth_api.h"

namespace {

// A banded gradient with some grain, the same frame every time.
const VSFrame* VS_CC OneFrame(int, int reason, void* frame, void**, VSFrameContext*, VSCore*, const VSAPI* vsapi) {
    return reason == arInitial ? vsapi->addFrameRef((const VSFrame*)frame) : nullptr;
}
void VS_CC FreeOneFrame(void* frame, VSCore*, const VSAPI* vsapi) { vsapi->freeFrame((const VSFrame*)frame); }

VSNode* GradientSource(const VSAPI* vsapi, VSCore* core, int width, int height, int frames) {
    VSVideoFormat format;
    vsapi->getVideoFormatByID(&format, pfYUV420P8, core);
    VSFrame* frame = vsapi->newVideoFrame(&format, width, height, nullptr, core);
    std::mt19937 rng(7);
    for (int p = 0; p < 3; ++p) {
        const int w = vsapi->getFrameWidth(frame, p), h = vsapi->getFrameHeight(frame, p);
        uint8_t* row = vsapi->getWritePtr(frame, p);
        for (int y = 0; y < h; ++y, row += vsapi->getStride(frame, p))
            for (int x = 0; x < w; ++x) row[x] = (uint8_t)(60 + (x + y) * 40 / (w + h) + (rng() % 16 == 0));
    }
    const VSVideoInfo vi = {format, 25, 1, width, height, frames};
    return vsapi->createVideoFilter2("Gradient", &vi, OneFrame, FreeOneFrame, fmParallel, nullptr, 0, frame, core);
}

// Threads; each iteration makes 100 frames of 1920x1080 at level 3.
void FramesOnThreads(benchmark::State& state) {
    const VSAPI* vsapi = VapourSynthApi();
    if (!vsapi) return state.SkipWithError("no VapourSynth");
    const int kFrames = 100;
    VSCore* core = vsapi->createCore(ccfDisableAutoLoading);
    vsapi->setThreadCount((int)state.range(0), core);
    VSMap* args = vsapi->createMap();
    vsapi->mapSetData(args, "path", BITGRADE_PLUGIN, -1, dtUtf8, maReplace);
    vsapi->freeMap(vsapi->invoke(vsapi->getPluginByID(VSH_STD_PLUGIN_ID, core), "LoadPlugin", args));
    vsapi->clearMap(args);
    vsapi->mapConsumeNode(args, "clip", GradientSource(vsapi, core, 1920, 1080, 1 << 30), maReplace);
    vsapi->mapSetInt(args, "sseopt", 3, maReplace);
    VSMap* made = vsapi->invoke(vsapi->getPluginByNamespace("bitgrade", core), "Bitgrade", args);
    VSNode* node = vsapi->mapGetNode(made, "clip", 0, nullptr);
    vsapi->freeMap(made);
    vsapi->freeMap(args);

    struct Waiting {
        std::mutex mutex;
        std::condition_variable done;
        int left;
    } waiting;
    int next = 0;
    for (auto _ : state) {
        waiting.left = kFrames;
        for (int k = 0; k < kFrames; ++k)
            vsapi->getFrameAsync(
                next++, node,
                [](void* data, const VSFrame* f, int, VSNode*, const char*) {
                    VapourSynthApi()->freeFrame(f);
                    Waiting& w = *(Waiting*)data;
                    std::lock_guard<std::mutex> lock(w.mutex);
                    if (--w.left == 0) w.done.notify_one();
                },
                &waiting);
        std::unique_lock<std::mutex> lock(waiting.mutex);
        waiting.done.wait(lock, [&] { return waiting.left == 0; });
    }
    state.SetItemsProcessed(state.iterations() * kFrames);
    state.counters["fps"] = benchmark::Counter((double)state.iterations() * kFrames, benchmark::Counter::kIsRate);
    vsapi->freeNode(node);
    vsapi->freeCore(core);
}

BENCHMARK(FramesOnThreads)->ArgName("threads")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
