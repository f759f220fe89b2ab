// The version 2.5 C++ interface: the three filter classes, one a level, each
// a GenericVideoFilter whose GetFrame takes its frames and runs its level's
// plane function on them.
#include "cpp_plugin.h"

#include "../convert/bitgrade_noopt.h"
#include "../convert/bitgrade_sse2.h"
#include "../convert/bitgrade_sse41.h"
#include "../convert/converter.h"
#include "../convert/creation.h"

namespace bitgrade {

namespace {

// The three planes of src into those of dst; the planes' widths are the
// source clip's.
Frame FrameOf(const PVideoFrame& src, const PVideoFrame& dst, int width) {
    const int selectors[3] = {PLANAR_Y, PLANAR_U, PLANAR_V};
    Frame frame;
    for (int p = 0; p < 3; ++p) {
        const int s = selectors[p];
        frame.planes[p] = Plane{src->GetReadPtr(s),
                                src->GetPitch(s),
                                dst->GetWritePtr(s),
                                dst->GetPitch(s),
                                p ? width / 2 : width,
                                src->GetHeight(s),
                                p == 0};
    }
    return frame;
}

// What every class's GetFrame does: frame n of the child, converted plane by
// plane into a new frame of the filter's output description.
template <class ProcessPlane>
PVideoFrame ConvertedFrame(const PClip& child, const VideoInfo& vi, bool debug, int n, IScriptEnvironment* env,
                           ProcessPlane processPlane) {
    PVideoFrame src = child->GetFrame(n, env);
    PVideoFrame dst = env->NewVideoFrame(vi, 16);
    env->MakeWritable(&dst);
    if (!ConvertFrame(FrameOf(src, dst, child->GetVideoInfo().width), debug, processPlane))
        env->ThrowError(BITGRADE_MSG_NO_MEMORY);
    return dst;
}

class BitgradeNoopt : public GenericVideoFilter {
public:
    BitgradeNoopt(PClip child, IScriptEnvironment*, const Conversion& c)
        : GenericVideoFilter(child), settings(c.settings) {
        vi.width = DeclaredWidth(vi.width, c);
    }
    PVideoFrame HOST_STDCALL GetFrame(int n, IScriptEnvironment* env) override {
        return ConvertedFrame(child, vi, settings.debug, n, env,
                              [this](const Plane& plane) { return ProcessPlaneNoopt(plane, settings, scratch); });
    }

private:
    Scratch scratch;
    Settings settings;
};

class BitgradeSSE2 : public GenericVideoFilter {
public:
    BitgradeSSE2(PClip child, IScriptEnvironment*, const Conversion& c)
        : GenericVideoFilter(child), settings(c.settings) {
        vi.width = DeclaredWidth(vi.width, c);
    }
    PVideoFrame HOST_STDCALL GetFrame(int n, IScriptEnvironment* env) override {
        return ConvertedFrame(child, vi, settings.debug, n, env,
                              [this](const Plane& plane) { return ProcessPlaneSSE2(plane, settings, scratch); });
    }

private:
    Scratch scratch;
    Settings settings;
};

// Its kernels are those of `isa`, which the processor must run. The width
// it needs was checked at creation.
class BitgradeSSE41 : public GenericVideoFilter {
public:
    BitgradeSSE41(PClip child, IScriptEnvironment*, const Conversion& c)
        : GenericVideoFilter(child), settings(c.settings), kernels(KernelsFor(c.isa)) {
        vi.width = DeclaredWidth(vi.width, c);
    }
    PVideoFrame HOST_STDCALL GetFrame(int n, IScriptEnvironment* env) override {
        return ConvertedFrame(child, vi, settings.debug, n, env, [this](const Plane& plane) {
            return ProcessPlaneSSE41(plane, settings, scratch, kernels);
        });
    }

private:
    Scratch scratch;
    Settings settings;
    const RowKernels& kernels;
};

// A script argument of the right type, or the default already in `value`.
void Read(const AVSValue& argument, int& value) { value = argument.AsInt(value); }
void Read(const AVSValue& argument, bool& value) { value = argument.AsBool(value); }

}  // namespace

AVSValue CreateBitgradeOn(const AVSValue& args, IScriptEnvironment* env, const Processor& processor) {
    const PClip clip = args[0].AsClip();
    const SourceFormat source = {clip && clip->GetVideoInfo().IsYV12(), clip ? clip->GetVideoInfo().width : 0,
                                 Widths::kMultipleOf16};
    const Creation c =
        CheckCreation(source, processor, [&](int index, const char*, auto& value) { Read(args[index], value); });
    if (c.refusal != Refusal::kNone) env->ThrowError(c.Message());
    switch (c.conversion.level) {
    case Level::kPlain: return AVSValue(new BitgradeNoopt(clip, env, c.conversion));
    case Level::kStreaming: return AVSValue(new BitgradeSSE2(clip, env, c.conversion));
    case Level::kVector: break;
    }
    return AVSValue(new BitgradeSSE41(clip, env, c.conversion));
}

AVSValue HOST_CDECL CreateBitgrade(AVSValue args, void*, IScriptEnvironment* env) {
    return CreateBitgradeOn(args, env, DetectProcessor());
}

}  // namespace bitgrade

const char* HOST_STDCALL AvisynthPluginInit2(IScriptEnvironment* env) {
    env->AddFunction(BITGRADE_FUNCTION, BITGRADE_PARAMS, bitgrade::CreateBitgrade, nullptr);
    return BITGRADE_VERSION;
}
