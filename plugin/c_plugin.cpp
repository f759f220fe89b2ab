// The same filter for today's hosts (AviSynth+ on 64-bit Windows and Linux,
// and AviSynth 2.6) through their plain-C interface. Creation reads the
// host's argument values into the core's creation check; frames go from the
// host's planes straight to the core's converter. Nothing here throws: every
// failure becomes the host's error value.
#include "../convert/converter.h"
#include "../convert/creation.h"
#include "../host/c_api.h"
#include "avisynth.h"
#include "export.h"

#if defined(_WIN32)
extern "C" {
__declspec(dllimport) int __stdcall GetModuleHandleExA(unsigned long flags, const char* address, void** module);
__declspec(dllimport) void* __stdcall GetProcAddress(void* module, const char* name);
}
#else
#include <dlfcn.h>
#endif

BITGRADE_EXPORT const char* AVSC_CC avisynth_c_plugin_init(AVS_ScriptEnvironment* env);

namespace bitgrade {

namespace {

avs_c::HostFunctions host;

// The host's functions, from the module that holds `address` (the entry
// point's return address, inside the host). False when one is missing.
bool BindHost(void* address) {
#if defined(_WIN32)
    const unsigned long kFromAddress = 4, kUnchangedRefcount = 2;
    void* module = nullptr;
    if (!GetModuleHandleExA(kFromAddress | kUnchangedRefcount, (const char*)address, &module)) return false;
    auto lookup = [module](const char* name) { return (void*)GetProcAddress(module, name); };
#else
    Dl_info info;
    if (!dladdr(address, &info) || !info.dli_fname) return false;
    // The host library may have been opened local: look in it, not globally.
    void* module = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    if (!module) return false;
    auto lookup = [module](const char* name) { return dlsym(module, name); };
#endif
    const bool bound = avs_c::BindHostFunctions(host, lookup);
#if !defined(_WIN32)
    dlclose(module);  // the host keeps its own reference
#endif
    return bound;
}

// One filter instance of the host's: what creation chose, the source's
// layout and width, and the scratch memory of the one frame it converts at a
// time.
struct Instance {
    Instance(const Conversion& c, Layout layout, int width) : converter(c), layout(layout), width(width) {}
    Converter converter;
    Layout layout;
    Scratch scratch;
    int width;  // the source's
};

// The planes of src into those of dst.
Frame FrameOf(const AVS_VideoFrame* src, AVS_VideoFrame* dst, Layout layout, int width) {
    const int selectors[3] = {avs_c::kPlaneY, avs_c::kPlaneU, avs_c::kPlaneV};
    Frame frame;
    frame.count = layout.planes;
    for (int p = 0; p < frame.count; ++p) {
        const int s = selectors[p];
        const Subsampling sub = p == 0 ? Subsampling() : layout.chroma;
        frame.planes[p] = Plane{host.get_read_ptr_p(src, s),
                                host.get_pitch_p(src, s),
                                host.get_write_ptr_p(dst, s),
                                host.get_pitch_p(dst, s),
                                width >> sub.x,
                                host.get_height_p(src, s),
                                p == 0,
                                sub};
    }
    return frame;
}

// The layout and bits of a planar Y or YUV 4:2:0, 4:2:2 or 4:4:4 pixel type
// of 8 to 16 integer bits; false for any other (the host has 4:1:1 and 4:1:0
// at 8 bits only, with no deeper type for the output).
bool FormatOf(int pixelType, Layout& layout, int& bits) {
    const uint32_t t = (uint32_t)pixelType, kind = t & avs_c::kCsKindMask;
    bits = avs_c::BitsOfCode(t >> avs_c::kCsSampleBitsShift);
    if (bits == 0 || (kind != avs_c::kCsPlanarYuv && kind != avs_c::kCsPlanarY)) return false;
    if (kind == avs_c::kCsPlanarY) {
        layout = kLayoutGrey;
        return true;
    }
    const int x = avs_c::SubsamplingOfCode(t >> avs_c::kCsSubWidthShift & avs_c::kCsFieldMask);
    const int y = avs_c::SubsamplingOfCode(t >> avs_c::kCsSubHeightShift & avs_c::kCsFieldMask);
    layout = {3, {x, y}};
    return x >= 0 && x <= 1 && y >= 0 && y <= 1;
}

// The output's pixel type: the source's layout at the output's bits (the
// source's own type at 8 bits from 8).
int OutputType(int sourceType, int sourceBits, Layout layout, int bits) {
    if (bits == 8 && sourceBits == 8) return sourceType;
    if (layout.planes == 1) return (int)(avs_c::kCsPlanarY | avs_c::CodeOfBits(bits) << avs_c::kCsSampleBitsShift);
    return (int)(avs_c::kCsPlanarYuv | avs_c::kCsVPlaneFirst |
                 avs_c::CodeOfSubsampling(layout.chroma.x) << avs_c::kCsSubWidthShift |
                 avs_c::CodeOfSubsampling(layout.chroma.y) << avs_c::kCsSubHeightShift |
                 avs_c::CodeOfBits(bits) << avs_c::kCsSampleBitsShift);
}

AVS_VideoFrame* AVSC_CC GetFrame(AVS_FilterInfo* fi, int n) {
    Instance& instance = *(Instance*)fi->user_data;
    AVS_VideoFrame* src = host.get_frame(fi->child, n);
    if (!src) {
        const char* reason = host.clip_get_error(fi->child);
        fi->error = reason ? reason : BITGRADE_MSG_NO_FRAME;
        return nullptr;
    }
    // The source's frame properties (matrix, range, field order, ...) stay
    // with the frame where the host keeps them.
    AVS_VideoFrame* dst = host.new_video_frame_p_a ? host.new_video_frame_p_a(fi->env, &fi->vi, src, 64)
                                                   : host.new_video_frame_a(fi->env, &fi->vi, 64);
    const bool converted =
        dst && instance.converter.ConvertFrame(FrameOf(src, dst, instance.layout, instance.width), instance.scratch);
    host.release_video_frame(src);
    if (converted) return dst;
    if (dst) host.release_video_frame(dst);
    fi->error = BITGRADE_MSG_NO_MEMORY;
    return nullptr;
}

// Each instance serves one call at a time (its scratch is reused without
// locks), so the host makes one instance per thread.
int AVSC_CC SetCacheHints(AVS_FilterInfo*, int hint, int) {
    return hint == avs_c::kCacheGetMtMode ? avs_c::kMtMultiInstance : 0;
}

void AVSC_CC FreeFilter(AVS_FilterInfo* fi) { delete (Instance*)fi->user_data; }

AVS_Value ErrorValue(const char* message) {
    AVS_Value v;
    FillBytes(&v, 0, sizeof v);
    v.type = 'e';
    v.d.string = message;
    return v;
}

// A script argument of the right type, or the default already in `value`.
void Read(const AVS_Value& argument, int& value) {
    if (argument.type == 'i') value = argument.d.integer;
}
void Read(const AVS_Value& argument, bool& value) {
    if (argument.type == 'b') value = argument.d.boolean != 0;
}
void Read(const AVS_Value& argument, DitherName& value) {
    if (argument.type != 's' || !argument.d.string) return;
    size_t size = 0;
    while (argument.d.string[size]) ++size;
    value = {argument.d.string, size, true};
}

// The arguments after the written ones: maxspan, depth, dither, bits and
// plateaus.
const int kFirstNewer = 6, kNewerCount = 5;

Instance* NewInstance(const Conversion& c, Layout layout, int width) {
    try {
        return new Instance(c, layout, width);
    } catch (...) {
        return nullptr;
    }
}

AVS_Value AVSC_CC Create(AVS_ScriptEnvironment* env, AVS_Value args, void*) {
    const AVS_Value* a = args.type == 'a' ? args.d.array : &args;
    const int count = args.type == 'a' ? args.array_size : 1;
    if (a[0].type != 'c') return ErrorValue(BITGRADE_MSG_NOT_YV12);
    AVS_FilterInfo* fi = nullptr;
    AVS_Clip* clip = host.new_c_filter(env, &fi, a[0], 1);
    if (!clip) return ErrorValue(BITGRADE_MSG_NO_MEMORY);
    Layout layout = kLayout420;
    int bits = 8;
    if (!FormatOf(fi->vi.pixel_type, layout, bits)) {
        host.release_clip(clip);
        return ErrorValue(BITGRADE_MSG_AVS_FORMAT);
    }
    const Processor processor = DetectProcessor();
    const Creation c = CheckCreation<Arguments::kNewer>({true, fi->vi.width, Widths::kAny, bits}, processor,
                                                        [&](int index, const char*, auto& value) {
                                                            if (index < count) Read(a[index], value);
                                                        });
    Instance* instance = c.refusal != Refusal::kNone ? nullptr : NewInstance(c.conversion, layout, fi->vi.width);
    if (!instance) {
        host.release_clip(clip);
        return ErrorValue(c.refusal != Refusal::kNone ? c.Message() : BITGRADE_MSG_NO_MEMORY);
    }
    // An 8-bit 4:2:0 clip called as the written function is answered as the
    // written function answers it, its 16-bit samples in a clip of its own
    // type at twice the width; any other gets a native clip at the output's
    // bits.
    bool newer = false;
    for (int k = kFirstNewer; k < kFirstNewer + kNewerCount && k < count; ++k) newer |= a[k].type != 'v';
    const bool written = !newer && (fi->vi.pixel_type == avs_c::kCsYV12 || fi->vi.pixel_type == avs_c::kCsI420);
    if (written) fi->vi.width = DeclaredWidth(fi->vi.width, c.conversion);
    else fi->vi.pixel_type = OutputType(fi->vi.pixel_type, bits, layout, c.conversion.OutputBits());
    fi->user_data = instance;
    fi->get_frame = GetFrame;
    fi->set_cache_hints = SetCacheHints;
    fi->free_filter = FreeFilter;
    AVS_Value result;
    FillBytes(&result, 0, sizeof result);
    host.set_to_clip(&result, clip);
    host.release_clip(clip);
    return result;
}

}  // namespace

}  // namespace bitgrade

const char* AVSC_CC avisynth_c_plugin_init(AVS_ScriptEnvironment* env) {
    if (bitgrade::BindHost(__builtin_return_address(0)))
        bitgrade::host.add_function(env, BITGRADE_FUNCTION, BITGRADE_PARAMS_NEWER, bitgrade::Create, nullptr);
    return BITGRADE_VERSION;
}
