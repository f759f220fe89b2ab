// The filter for VapourSynth (API 4): bitgrade.Bitgrade(clip, sseopt, span,
// ythr, cthr, debug, depth, dither, maxspan, bits, plateaus) turns a YUV clip of any
// subsampling, or GRAY, of 8 to 16 bits into a native 16-bit one of the same
// family and subsampling (or 12, 10, 8 bits, dithered, by depth), or into its decision
// map (8 bits, chroma grey) with debug set. Frames of one
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
    Layout layout;
    VSVideoFormat format;  // the output's
    ScratchPool pool;
};

// The planes of src into those of dst.
Frame FrameOf(const VSFrame* src, VSFrame* dst, const VSVideoInfo& source, Layout layout, const VSAPI* vsapi) {
    Frame frame;
    frame.count = layout.planes;
    for (int p = 0; p < frame.count; ++p) {
        const bool luma = p == 0;
        const Subsampling sub = luma ? Subsampling() : layout.chroma;
        frame.planes[p] = Plane{vsapi->getReadPtr(src, p),
                                (int)vsapi->getStride(src, p),
                                vsapi->getWritePtr(dst, p),
                                (int)vsapi->getStride(dst, p),
                                source.width >> sub.x,
                                source.height >> sub.y,
                                luma,
                                sub};
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
    const bool converted = dst && instance.converter.ConvertFrame(
                                      FrameOf(src, dst, instance.source, instance.layout, vsapi), scratch.Get());
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

// The layout of an integer clip of 8 to 16 bits, which the core converts, or
// the message that refuses any other.
const char* LayoutOf(const VSVideoFormat& f, Layout& layout) {
    if (f.colorFamily == cfRGB) return BITGRADE_MSG_VS_RGB;
    if (f.sampleType != stInteger || f.bitsPerSample < 8 || f.bitsPerSample > 16) return BITGRADE_MSG_VS_FORMAT;
    if (f.colorFamily == cfGray) layout = kLayoutGrey;
    else if (f.colorFamily == cfYUV) layout = {3, {f.subSamplingW, f.subSamplingH}};
    else return BITGRADE_MSG_VS_FORMAT;
    return nullptr;
}

Instance* NewInstance(const Conversion& c, VSNode* node, const VSVideoInfo& source, Layout layout) {
    try {
        Instance* instance = new Instance(c, node, source);
        instance->layout = layout;
        return instance;
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

// The output format: the source's family and subsampling at the output's bits.
uint32_t FormatOf(const Conversion& c, const VSVideoFormat& source) {
    return VideoFormatId(source.colorFamily, stInteger, c.OutputBits(), source.subSamplingW, source.subSamplingH);
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
    Layout layout = kLayout420;
    if (const char* message = LayoutOf(source.format, layout)) return refuse(message);
    const Creation c = CheckCreation<Arguments::kNewer>(
        {true, source.width, Widths::kAny, source.format.bitsPerSample}, DetectProcessor(),
        [&](int, const char* name, auto& value) { Read(in, name, value, vsapi); });
    if (c.refusal != Refusal::kNone) return refuse(c.Message());
    Instance* instance = NewInstance(c.conversion, node, source, layout);
    if (!instance) return refuse(BITGRADE_MSG_NO_MEMORY);
    if (!vsapi->getVideoFormatByID(&instance->format, FormatOf(c.conversion, source.format), core)) {
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
                             "depth:int:opt;dither:data:opt;maxspan:int:opt;bits:int:opt;plateaus:int:opt",
                             "clip:vnode;", bitgrade::Create, nullptr, plugin);
}
