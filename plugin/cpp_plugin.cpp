// The version 2.5 C++ interface: the three filter classes, one a level, each
// a GenericVideoFilter whose GetFrame runs the core's converter of its level
// on its frames.
#include "cpp_plugin.h"

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
                                p == 0,
                                p == 0 ? Subsampling() : Subsampling(1, 1)};
    }
    return frame;
}

// What the three classes share: frame n of the child, converted by the
// level creation chose into a new frame of the filter's output description.
// Level 1 works on the host's own rows, padding and all, as written.
class BitgradeFilter : public GenericVideoFilter {
public:
    BitgradeFilter(PClip child, const Conversion& c) : GenericVideoFilter(child), converter(c, PlainRows::kHosts) {
        vi.width = DeclaredWidth(vi.width, c);
    }
    PVideoFrame HOST_STDCALL GetFrame(int n, IScriptEnvironment* env) override {
        PVideoFrame src = child->GetFrame(n, env);
        PVideoFrame dst = env->NewVideoFrame(vi, 16);
        env->MakeWritable(&dst);
        if (!converter.ConvertFrame(FrameOf(src, dst, child->GetVideoInfo().width), scratch))
            env->ThrowError(BITGRADE_MSG_NO_MEMORY);
        return dst;
    }

private:
    Converter converter;
    Scratch scratch;
};

// The written classes, one a level.
class BitgradeNoopt : public BitgradeFilter {
public:
    using BitgradeFilter::BitgradeFilter;
};

class BitgradeSSE2 : public BitgradeFilter {
public:
    using BitgradeFilter::BitgradeFilter;
};

// Its kernels are those of the conversion's instruction set, which the
// processor runs; the width it needs was checked at creation.
class BitgradeSSE41 : public BitgradeFilter {
public:
    using BitgradeFilter::BitgradeFilter;
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
    case Level::kPlain: return AVSValue(new BitgradeNoopt(clip, c.conversion));
    case Level::kStreaming: return AVSValue(new BitgradeSSE2(clip, c.conversion));
    case Level::kVector: break;
    }
    return AVSValue(new BitgradeSSE41(clip, c.conversion));
}

AVSValue HOST_CDECL CreateBitgrade(AVSValue args, void*, IScriptEnvironment* env) {
    return CreateBitgradeOn(args, env, DetectProcessor());
}

}  // namespace bitgrade

const char* HOST_STDCALL AvisynthPluginInit2(IScriptEnvironment* env) {
    env->AddFunction(BITGRADE_FUNCTION, BITGRADE_PARAMS, bitgrade::CreateBitgrade, nullptr);
    return BITGRADE_VERSION;
}
