// The same filter for today's hosts (AviSynth+ on 64-bit Windows and Linux,
// and AviSynth 2.6) through their plain-C interface. Creation runs the
// script function's own path (arguments, defaults, level choice, errors) on
// a stand-in clip that describes the child; frames go through the same
// per-plane pipeline as in the C++ interface, on views of the host's frames.
// No exception ever leaves this file: every failure becomes an error value.
#include "../convert/bitgrade_noopt.h"
#include "../convert/bitgrade_sse2.h"
#include "../convert/bitgrade_sse41.h"
#include "../host/c_api.h"
#include "messages.h"
#include "plugin.h"

#if defined(_WIN32)
extern "C" {
__declspec(dllimport) int __stdcall GetModuleHandleExA(unsigned long flags, const char* address, void** module);
__declspec(dllimport) void* __stdcall GetProcAddress(void* module, const char* name);
}
// Creation errors are thrown and caught inside this file; the thrown type's
// descriptor points at type_info's vtable, which only Microsoft's runtime
// library would define. Its contents never matter: matching compares names.
extern "C" const void* const TypeInfoVtable[2] __asm__("??_7type_info@@6B@") = {nullptr, nullptr};
#else
#include <dlfcn.h>
#endif

#if defined(_WIN32)
#define BITGRADE_C_ENTRY extern "C" __declspec(dllexport)
#else
#define BITGRADE_C_ENTRY extern "C" __attribute__((visibility("default")))
#endif

BITGRADE_C_ENTRY const char* AVSC_CC avisynth_c_plugin_init(AVS_ScriptEnvironment* env);

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

// The child as the filter classes see it: a clip that only describes itself.
class DescribedClip : public IClip {
public:
    explicit DescribedClip(const AVS_VideoInfo& info) { CopyBytes(&vi, &info, sizeof vi); }
    PVideoFrame HOST_STDCALL GetFrame(int, IScriptEnvironment*) override { return PVideoFrame(); }
    bool HOST_STDCALL GetParity(int) override { return false; }
    void HOST_STDCALL GetAudio(void*, long long, long long, IScriptEnvironment*) override {}
    void HOST_STDCALL SetCacheHints(int, int) override {}
    const VideoInfo& HOST_STDCALL GetVideoInfo() override { return vi; }

private:
    VideoInfo vi;
};

// What creation raises: one of our fixed messages.
struct CreationError {
    const char* message;
};

// The environment that creation sees: it only ever raises errors.
class CreationEnvironment : public IScriptEnvironment {
public:
    long HOST_STDCALL GetCPUFlags() override { return 0; }
    char* HOST_STDCALL SaveString(const char*, int) override { return nullptr; }
    char* Sprintf(const char*, ...) override { return nullptr; }
    char* HOST_STDCALL VSprintf(const char*, void*) override { return nullptr; }
    [[noreturn]] void ThrowError(const char* message, ...) override { throw CreationError{message}; }
    void HOST_STDCALL AddFunction(const char*, const char*, ApplyFunc, void*) override {}
    bool HOST_STDCALL FunctionExists(const char*) override { return false; }
    AVSValue HOST_STDCALL Invoke(const char*, const AVSValue, const char**) override { return AVSValue(); }
    AVSValue HOST_STDCALL GetVar(const char*) override { return AVSValue(); }
    bool HOST_STDCALL SetVar(const char*, const AVSValue&) override { return false; }
    bool HOST_STDCALL SetGlobalVar(const char*, const AVSValue&) override { return false; }
    void HOST_STDCALL PushContext(int) override {}
    void HOST_STDCALL PopContext() override {}
    PVideoFrame HOST_STDCALL NewVideoFrame(const VideoInfo&, int) override { return PVideoFrame(); }
    bool HOST_STDCALL MakeWritable(PVideoFrame*) override { return false; }
    void HOST_STDCALL BitBlt(BYTE*, int, const BYTE*, int, int, int) override {}
    void HOST_STDCALL AtExit(ShutdownFunc, void*) override {}
    void HOST_STDCALL CheckVersion(int) override {}
    PVideoFrame HOST_STDCALL Subframe(PVideoFrame, int, int, int, int) override { return PVideoFrame(); }
    int HOST_STDCALL SetMemoryMax(int) override { return 0; }
    int HOST_STDCALL SetWorkingDir(const char*) override { return -1; }
};

// A host frame seen as the converters' frame record: its planes as offsets
// from the luma plane. False when they lie too far apart for that.
struct FrameView {
    VideoFrameBuffer buffer;
    VideoFrame frame;

    bool Describe(const AVS_VideoFrame* f, bool writable) {
        const int planes[3] = {PLANAR_Y, PLANAR_U, PLANAR_V};
        BYTE* at[3];
        for (int p = 0; p < 3; ++p)
            at[p] = writable ? host.get_write_ptr_p(f, planes[p]) : (BYTE*)host.get_read_ptr_p(f, planes[p]);
        if (!at[0] || !at[1] || !at[2]) return false;
        const ptrdiff_t u = at[1] - at[0], v = at[2] - at[0];
        if (u != (int)u || v != (int)v) return false;
        FillBytes(this, 0, sizeof *this);
        buffer.data = at[0];
        buffer.refcount = 1;
        frame.vfb = &buffer;
        frame.offsetU = (int)u;
        frame.offsetV = (int)v;
        frame.pitch = host.get_pitch_p(f, PLANAR_Y);
        frame.row_size = host.get_row_size_p(f, PLANAR_Y);
        frame.height = host.get_height_p(f, PLANAR_Y);
        frame.pitchUV = host.get_pitch_p(f, PLANAR_U);
        return true;
    }
};

// One filter instance of the host's.
struct Instance {
    PClip filter;
    int level;
};

template <class Filter>
bool ConvertWith(IClip* filter, const FrameView& src, const FrameView& dst) {
    // The views live on the stack: the smart pointers only count references.
    return static_cast<Filter*>(filter)->ConvertFrame(PVideoFrame((VideoFrame*)&src.frame),
                                                      PVideoFrame((VideoFrame*)&dst.frame));
}

bool Convert(const Instance& instance, const AVS_VideoFrame* src, AVS_VideoFrame* dst) {
    FrameView in, out;
    if (!in.Describe(src, false) || !out.Describe(dst, true)) return false;
    IClip* filter = instance.filter.get();
    switch (instance.level) {
    case 1: return ConvertWith<BitgradeNoopt>(filter, in, out);
    case 2: return ConvertWith<BitgradeSSE2>(filter, in, out);
    default: return ConvertWith<BitgradeSSE41>(filter, in, out);
    }
}

AVS_VideoFrame* AVSC_CC GetFrame(AVS_FilterInfo* fi, int n) {
    try {
        AVS_VideoFrame* src = host.get_frame(fi->child, n);
        if (!src) {
            const char* reason = host.clip_get_error(fi->child);
            fi->error = reason ? reason : BITGRADE_MSG_NO_FRAME;
            return nullptr;
        }
        // The source's frame properties (matrix, range, field order, ...)
        // stay with the frame where the host keeps them.
        AVS_VideoFrame* dst = host.new_video_frame_p_a ? host.new_video_frame_p_a(fi->env, &fi->vi, src, 64)
                                                       : host.new_video_frame_a(fi->env, &fi->vi, 64);
        const bool converted = dst && Convert(*(const Instance*)fi->user_data, src, dst);
        host.release_video_frame(src);
        if (converted) return dst;
        if (dst) host.release_video_frame(dst);
    } catch (...) {
    }
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

// A host value as a script value of the C++ interface; clips are not needed
// past the first argument.
AVSValue Plain(const AVS_Value& v) {
    if (v.type == 'i') return AVSValue(v.d.integer);
    if (v.type == 'b') return AVSValue(v.d.boolean != 0);
    return AVSValue();
}

AVS_Value AVSC_CC Create(AVS_ScriptEnvironment* env, AVS_Value args, void*) {
    const AVS_Value* a = args.type == 'a' ? args.d.array : &args;
    const int count = args.type == 'a' ? args.array_size : 1;
    if (a[0].type != 'c') return ErrorValue(BITGRADE_MSG_NOT_YV12);
    AVS_FilterInfo* fi = nullptr;
    AVS_Clip* clip = host.new_c_filter(env, &fi, a[0], 1);
    if (!clip) return ErrorValue(BITGRADE_MSG_NO_MEMORY);
    const char* error = BITGRADE_MSG_NO_MEMORY;
    try {
        AVSValue ours[6];
        ours[0] = AVSValue(new DescribedClip(fi->vi));
        for (int i = 1; i < 6 && i < count; ++i) ours[i] = Plain(a[i]);
        CreationEnvironment creation;
        Instance* instance = new Instance{PClip(), 0};
        try {
            instance->filter =
                CreateBitgradeOn(AVSValue(ours, 6), &creation, DetectProcessor(), &instance->level).AsClip();
        } catch (...) {
            delete instance;
            throw;
        }
        CopyBytes(&fi->vi, &instance->filter->GetVideoInfo(), sizeof fi->vi);
        fi->user_data = instance;
        fi->get_frame = GetFrame;
        fi->set_cache_hints = SetCacheHints;
        fi->free_filter = FreeFilter;
        AVS_Value result;
        FillBytes(&result, 0, sizeof result);
        host.set_to_clip(&result, clip);
        host.release_clip(clip);
        return result;
    } catch (const CreationError& e) {
        error = e.message;
    } catch (...) {
    }
    host.release_clip(clip);
    return ErrorValue(error);
}

}  // namespace

}  // namespace bitgrade

const char* AVSC_CC avisynth_c_plugin_init(AVS_ScriptEnvironment* env) {
    if (bitgrade::BindHost(__builtin_return_address(0)))
        bitgrade::host.add_function(env, BITGRADE_FUNCTION, BITGRADE_PARAMS, bitgrade::Create, nullptr);
    return BITGRADE_VERSION;
}
