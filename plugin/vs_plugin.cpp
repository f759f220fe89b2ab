// The filter for VapourSynth (API 4): bitgrade.Bitgrade(clip, sseopt, span,
// ythr, cthr, debug, depth, dither, maxspan) turns a YUV420P8 clip into a native
// YUV420P16 one (or P12, P10, P8, dithered, by depth), or into its decision
// map (YUV420P8, chroma grey) with debug set. Frames of one
// filter are made on several threads at once, each with scratch memory
// leased from the filter's pool. Nothing here throws: failures become the
// host's errors.
#include "../convert/converter.h"
#include "../convert/creation.h"
#include "../convert/scratch_pool.h"
#include "../host/vs_api.h"
#include "export.h"

using namespace vs_api;

BITGRADE_EXPORT void VS_CC VapourSynthPluginInit2(VSPlugin* plugin, const VSPLUGINAPI* vspapi);

namespace bitgrade {

namespace {

// One filter: what creation chose, its source, and the scratch memory of
// the frames it makes at once.
struct Instance {
    Instance(const Creation& c, const Processor& processor, const OutputDepth& depth, VSNode* node,
             const VSVideoInfo& source)
        : converter(c.level, processor.vectorIsa, depth), settings(c.settings), node(node), source(source) {}
    Converter converter;
    Settings settings;
    VSNode* node;
    VSVideoInfo source;
    VSVideoFormat format;  // the output's
    ScratchPool pool;
};

// The three planes of src into those of dst.
Frame FrameOf(const VSFrame* src, VSFrame* dst, const VSVideoInfo& source, const VSAPI* vsapi) {
    Frame frame;
    for (int p = 0; p < 3; ++p) {
        const bool luma = p == 0;
        frame.planes[p] = Plane{vsapi->getReadPtr(src, p),
                                (int)vsapi->getStride(src, p),
                                vsapi->getWritePtr(dst, p),
                                (int)vsapi->getStride(dst, p),
                                luma ? source.width : source.width / 2,
                                luma ? source.height : source.height / 2,
                                luma};
    }
    return frame;
}

const VSFrame* VS_CC GetFrame(int n, int activationReason, void* instanceData, void**, VSFrameContext* frameCtx,
                              VSCore* core, const VSAPI* vsapi) {
    Instance& instance = *(Instance*)instanceData;
    if (activationReason == arInitial) vsapi->requestFrameFilter(n, instance.node, frameCtx);
    if (activationReason != arAllFramesReady) return nullptr;
    const VSFrame* src = vsapi->getFrameFilter(n, instance.node, frameCtx);
    // The output keeps every property of its source frame.
    VSFrame* dst = vsapi->newVideoFrame(&instance.format, instance.source.width, instance.source.height, src, core);
    ScratchPool::Lease scratch(instance.pool);
    const bool converted = dst && instance.converter.ConvertFrame(FrameOf(src, dst, instance.source, vsapi),
                                                                  instance.settings, scratch.Get());
    vsapi->freeFrame(src);
    if (converted) return dst;
    if (dst) vsapi->freeFrame(dst);
    vsapi->setFilterError(BITGRADE_MSG_NO_MEMORY, frameCtx);
    return nullptr;
}

void VS_CC FreeInstance(void* instanceData, VSCore*, const VSAPI* vsapi) {
    Instance* instance = (Instance*)instanceData;
    vsapi->freeNode(instance->node);
    delete instance;
}

bool IsYV12(const VSVideoFormat& f) {
    return f.colorFamily == cfYUV && f.sampleType == stInteger && f.bitsPerSample == 8 && f.subSamplingW == 1 &&
           f.subSamplingH == 1;
}

Instance* NewInstance(const Creation& c, const Processor& processor, const OutputDepth& depth, VSNode* node,
                      const VSVideoInfo& source) {
    try {
        return new Instance(c, processor, depth, node, source);
    } catch (...) {
        return nullptr;
    }
}

// The output's bits and dither, from `depth` and `dither`; null, or the
// message that refuses them.
const char* ReadDepth(const VSMap* in, const VSAPI* vsapi, OutputDepth& depth) {
    int missing = 0;
    const int bits = vsapi->mapGetIntSaturated(in, "depth", 0, &missing);
    if (!missing) depth.bits = bits;
    if (depth.bits != 8 && depth.bits != 10 && depth.bits != 12 && depth.bits != 16) return BITGRADE_MSG_BAD_DEPTH;
    const char* name = vsapi->mapGetData(in, "dither", 0, &missing);
    if (missing) return nullptr;
    const int length = vsapi->mapGetDataSize(in, "dither", 0, &missing);
    if (length >= 0 && DitherNamed(name, (size_t)length, depth.dither)) return nullptr;
    return BITGRADE_MSG_BAD_DITHER;
}

// The output format of a depth: the map is 8-bit at every depth.
uint32_t FormatOf(const OutputDepth& depth, bool debug) {
    if (debug || depth.bits == 8) return pfYUV420P8;
    return depth.bits == 10 ? pfYUV420P10 : depth.bits == 12 ? pfYUV420P12 : pfYUV420P16;
}

// The arguments by name; VapourSynth has no booleans, so debug is an int
// that is true when it is not 0.
void VS_CC Create(const VSMap* in, VSMap* out, void*, VSCore* core, const VSAPI* vsapi) {
    VSNode* node = vsapi->mapGetNode(in, "clip", 0, nullptr);
    const VSVideoInfo source = *vsapi->getVideoInfo(node);
    auto refuse = [&](const char* message) {
        vsapi->mapSetError(out, message);
        vsapi->freeNode(node);
    };
    if (source.format.colorFamily == cfUndefined || source.width == 0 || source.height == 0)
        return refuse(BITGRADE_MSG_VARYING);
    const Processor processor = DetectProcessor();
    const Creation c = CheckCreation(
        {IsYV12(source.format), source.width, Widths::kAny}, processor,
        [&](int, const char* name, auto& value) {
            int missing = 0;
            const int given = vsapi->mapGetIntSaturated(in, name, 0, &missing);
            if (!missing) value = given;
        },
        Arguments::kWithMaxSpan);
    if (c.refusal != Refusal::kNone) return refuse(c.Message());
    OutputDepth depth;
    if (const char* refusal = ReadDepth(in, vsapi, depth)) return refuse(refusal);
    Instance* instance = NewInstance(c, processor, depth, node, source);
    if (!instance) return refuse(BITGRADE_MSG_NO_MEMORY);
    if (!vsapi->getVideoFormatByID(&instance->format, FormatOf(depth, c.settings.debug), core)) {
        delete instance;
        return refuse(BITGRADE_MSG_NO_MEMORY);
    }
    VSVideoInfo output = source;
    output.format = instance->format;
    const VSFilterDependency dependency = {node, rpStrictSpatial};
    vsapi->createVideoFilter(out, "Bitgrade", &output, GetFrame, FreeInstance, fmParallel, &dependency, 1, instance,
                             core);
}

}  // namespace

}  // namespace bitgrade

void VS_CC VapourSynthPluginInit2(VSPlugin* plugin, const VSPLUGINAPI* vspapi) {
    vspapi->configPlugin("org.bitgrade.bitgrade", "bitgrade", BITGRADE_VERSION, (0 << 16) | 1, kApiVersion, 0, plugin);
    vspapi->registerFunction("Bitgrade",
                             "clip:vnode;sseopt:int:opt;span:int:opt;ythr:int:opt;cthr:int:opt;debug:int:opt;"
                             "depth:int:opt;dither:data:opt;maxspan:int:opt",
                             "clip:vnode;", bitgrade::Create, nullptr, plugin);
}
