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
    Instance(const Conversion& c, VSNode* node, const VSVideoInfo& source) : converter(c), node(node), source(source) {}
    Converter converter;
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
    const bool converted =
        dst && instance.converter.ConvertFrame(FrameOf(src, dst, instance.source, vsapi), scratch.Get());
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

Instance* NewInstance(const Conversion& c, VSNode* node, const VSVideoInfo& source) {
    try {
        return new Instance(c, node, source);
    } catch (...) {
        return nullptr;
    }
}

// An argument the script gave, or the default already in `value`.
// VapourSynth has no booleans: debug is an int, true when it is not 0.
void Read(const VSMap* in, const char* name, int& value, const VSAPI* vsapi) {
    int missing = 0;
    const int given = vsapi->mapGetIntSaturated(in, name, 0, &missing);
    if (!missing) value = given;
}
void Read(const VSMap* in, const char* name, bool& value, const VSAPI* vsapi) {
    int given = value;
    Read(in, name, given, vsapi);
    value = given != 0;
}
void Read(const VSMap* in, const char* name, DitherName& value, const VSAPI* vsapi) {
    int missing = 0;
    const char* bytes = vsapi->mapGetData(in, name, 0, &missing);
    const int size = missing ? 0 : vsapi->mapGetDataSize(in, name, 0, &missing);
    if (!missing && size >= 0) value = {bytes, (size_t)size, true};
}

// The output format: the same family at the output's bits.
uint32_t FormatOf(const Conversion& c) {
    const int bits = c.OutputBits();
    return bits == 8 ? pfYUV420P8 : bits == 10 ? pfYUV420P10 : bits == 12 ? pfYUV420P12 : pfYUV420P16;
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
    const Creation c =
        CheckCreation<Arguments::kNewer>({IsYV12(source.format), source.width, Widths::kAny}, DetectProcessor(),
                                         [&](int, const char* name, auto& value) { Read(in, name, value, vsapi); });
    if (c.refusal != Refusal::kNone) return refuse(c.Message());
    Instance* instance = NewInstance(c.conversion, node, source);
    if (!instance) return refuse(BITGRADE_MSG_NO_MEMORY);
    if (!vsapi->getVideoFormatByID(&instance->format, FormatOf(c.conversion), core)) {
        delete instance;
        return refuse(BITGRADE_MSG_NO_MEMORY);
    }
    VSVideoInfo output = source;
    output.format = instance->format;
    const VSFilterDependency dependency = {node, rpStrictSpatial};
    vsapi->createVideoFilter(out, BITGRADE_FUNCTION, &output, GetFrame, FreeInstance, fmParallel, &dependency, 1,
                             instance, core);
}

}  // namespace

}  // namespace bitgrade

void VS_CC VapourSynthPluginInit2(VSPlugin* plugin, const VSPLUGINAPI* vspapi) {
    vspapi->configPlugin("org.bitgrade.bitgrade", "bitgrade", BITGRADE_VERSION, (0 << 16) | 1, kApiVersion, 0, plugin);
    vspapi->registerFunction(BITGRADE_FUNCTION,
                             "clip:vnode;sseopt:int:opt;span:int:opt;ythr:int:opt;cthr:int:opt;debug:int:opt;"
                             "depth:int:opt;dither:data:opt;maxspan:int:opt",
                             "clip:vnode;", bitgrade::Create, nullptr, plugin);
}
