// A host of the plain-C interface, built for Windows x64 as AviSynth+ x64 is.
// Like the real host it exports the avs_* functions from its own module, so
// the plugin finds them from the return address of its entry point. It loads
// bitgrade64.dll by name and checks registration, the threading answer,
// frames against the native build's checksums, a creation error, and that
// freeing the filter releases its child. Prints "N passed, N failed".
#include "host/c_api.h"
#include "host_checks.h"
#include "native_host/host_side.h"

extern "C" {
void* __cdecl malloc(size_t n) noexcept;
void* __cdecl calloc(size_t count, size_t n) noexcept;
void __cdecl free(void* p) noexcept;
}

using host_checks::Check;

// The host's objects; the plugin sees them only as pointers.
struct AVS_ScriptEnvironment {
    const char* name;
    const char* params;
    AVS_ApplyFunc apply;
    void* userData;
    int functions;
};

struct AVS_Clip {
    long refs;
    AVS_VideoInfo vi;
    AVS_FilterInfo fi;  // a filter's; a source clip has none
    bool filter;
    const char* error;
};

struct AVS_VideoFrame {
    long refs;
    BYTE* data;
    int pitch, pitchUV, height;

    int PlaneOffset(int plane) const {
        return plane == PLANAR_U ? pitch * height : plane == PLANAR_V ? pitch * height + pitchUV * (height / 2) : 0;
    }
};

namespace {

AVS_VideoFrame* NewFrame(const AVS_VideoInfo* vi, int align) {
    AVS_VideoFrame* f = (AVS_VideoFrame*)calloc(1, sizeof(AVS_VideoFrame));
    f->refs = 1;
    f->height = vi->height;
    f->pitch = (vi->width + align - 1) / align * align;
    f->pitchUV = (vi->width / 2 + align - 1) / align * align;
    f->data = (BYTE*)malloc(host_side::PlanarFrameBytes(f->height, f->pitch, f->pitchUV));
    return f;
}

// A source clip's frames come from the shared sample pattern.
AVS_VideoFrame* SourceFrame(const AVS_VideoInfo* vi) {
    AVS_VideoFrame* f = NewFrame(vi, 16);
    for (int p = 0; p < 3; ++p) {
        const int plane = p == 0 ? PLANAR_Y : p == 1 ? PLANAR_U : PLANAR_V;
        const int w = p ? vi->width / 2 : vi->width, h = p ? vi->height / 2 : vi->height;
        const int pitch = p ? f->pitchUV : f->pitch;
        BYTE* row = f->data + f->PlaneOffset(plane);
        for (int y = 0; y < h; ++y, row += pitch)
            for (int x = 0; x < w; ++x) row[x] = frame_cases::Sample(x, y, p, w);
    }
    return f;
}

}  // namespace

#define HOST_EXPORT extern "C" __declspec(dllexport)

HOST_EXPORT int avs_add_function(AVS_ScriptEnvironment* env, const char* name, const char* params, AVS_ApplyFunc apply,
                                 void* userData) {
    *env = AVS_ScriptEnvironment{name, params, apply, userData, env->functions + 1};
    return 0;
}

HOST_EXPORT AVS_Clip* avs_new_c_filter(AVS_ScriptEnvironment* env, AVS_FilterInfo** fi, AVS_Value child, int) {
    AVS_Clip* clip = (AVS_Clip*)calloc(1, sizeof(AVS_Clip));
    AVS_Clip* source = (AVS_Clip*)child.d.clip;
    ++source->refs;
    clip->refs = 1;
    clip->filter = true;
    clip->fi.child = source;
    clip->fi.vi = source->vi;
    clip->fi.env = env;
    clip->vi = source->vi;
    *fi = &clip->fi;
    return clip;
}

HOST_EXPORT void avs_release_clip(AVS_Clip* clip) {
    if (--clip->refs > 0) return;
    if (clip->filter) {
        if (clip->fi.free_filter) clip->fi.free_filter(&clip->fi);
        avs_release_clip(clip->fi.child);
    }
    free(clip);
}

HOST_EXPORT void avs_set_to_clip(AVS_Value* out, AVS_Clip* clip) {
    out->type = 'c';
    out->array_size = 0;
    out->d.clip = clip;
    ++clip->refs;
}

HOST_EXPORT AVS_VideoFrame* avs_get_frame(AVS_Clip* clip, int n) {
    if (!clip->filter) return SourceFrame(&clip->vi);
    clip->fi.error = nullptr;
    AVS_VideoFrame* frame = clip->fi.get_frame(&clip->fi, n);
    clip->error = frame ? nullptr : clip->fi.error;
    return frame;
}

HOST_EXPORT const char* avs_clip_get_error(AVS_Clip* clip) { return clip->error; }

HOST_EXPORT void avs_release_video_frame(AVS_VideoFrame* frame) {
    if (--frame->refs > 0) return;
    free(frame->data);
    free(frame);
}

HOST_EXPORT AVS_VideoFrame* avs_new_video_frame_a(AVS_ScriptEnvironment*, const AVS_VideoInfo* vi, int align) {
    return NewFrame(vi, align);
}

HOST_EXPORT int avs_get_pitch_p(const AVS_VideoFrame* f, int plane) {
    return plane == PLANAR_Y ? f->pitch : f->pitchUV;
}
HOST_EXPORT int avs_get_height_p(const AVS_VideoFrame* f, int plane) {
    return plane == PLANAR_Y ? f->height : f->height / 2;
}
HOST_EXPORT const BYTE* avs_get_read_ptr_p(const AVS_VideoFrame* f, int plane) {
    return f->data + f->PlaneOffset(plane);
}
HOST_EXPORT BYTE* avs_get_write_ptr_p(const AVS_VideoFrame* f, int plane) {
    return plane == PLANAR_Y && f->refs != 1 ? nullptr : f->data + f->PlaneOffset(plane);
}

namespace {

AVS_Clip* NewSource(int width, int height) {
    AVS_Clip* clip = (AVS_Clip*)calloc(1, sizeof(AVS_Clip));
    clip->refs = 1;
    const VideoInfo vi = host_side::PlanarVideoInfo(width, height);
    bitgrade::CopyBytes(&clip->vi, &vi, sizeof vi);
    return clip;
}

// Bitgrade(source, sseopt, span, ythr, cthr, debug) as the host calls it.
AVS_Value Create(AVS_ScriptEnvironment& env, AVS_Clip* source, const frame_cases::Case& c) {
    AVS_Value args[6];
    bitgrade::FillBytes(args, 0, sizeof args);
    args[0].type = 'c';
    args[0].d.clip = source;
    const int ints[4] = {c.sseopt, c.span, c.ythr, c.cthr};
    for (int i = 0; i < 4; ++i) {
        args[1 + i].type = 'i';
        args[1 + i].d.integer = ints[i];
    }
    args[5].type = 'b';
    args[5].d.boolean = c.debug;
    AVS_Value array;
    array.type = 'a';
    array.array_size = 6;
    array.d.array = args;
    return env.apply(&env, array, env.userData);
}

unsigned long long ConvertCase(AVS_ScriptEnvironment& env, const frame_cases::Case& c) {
    AVS_Clip* source = NewSource(c.width, c.height);
    const AVS_Value made = Create(env, source, c);
    unsigned long long hash = 0;
    if (made.type == 'c') {
        AVS_Clip* filter = (AVS_Clip*)made.d.clip;
        AVS_VideoFrame* frame = avs_get_frame(filter, 0);
        if (frame) {
            const BYTE* const planes[3] = {avs_get_read_ptr_p(frame, PLANAR_Y), avs_get_read_ptr_p(frame, PLANAR_U),
                                           avs_get_read_ptr_p(frame, PLANAR_V)};
            const int pitches[3] = {frame->pitch, frame->pitchUV, frame->pitchUV};
            hash = frame_cases::HashPlanes(planes, pitches, filter->fi.vi.width, c.height);
            avs_release_video_frame(frame);
        }
        Check(filter->fi.set_cache_hints &&
                  filter->fi.set_cache_hints(&filter->fi, avs_c::kCacheGetMtMode, 0) == avs_c::kMtMultiInstance,
              "one instance per thread");
        avs_release_clip(filter);
    }
    Check(source->refs == 1, "releasing the filter releases its child");
    avs_release_clip(source);
    return hash;
}

int RunChecks() {
    void* dll = LoadLibraryA("bitgrade64.dll");
    Check(dll != nullptr, "LoadLibrary(bitgrade64.dll)");
    if (!dll) return host_checks::Finish();
    typedef const char* (*InitFunction)(AVS_ScriptEnvironment*);
    const InitFunction init = (InitFunction)GetProcAddress(dll, "avisynth_c_plugin_init");
    Check(init != nullptr, "GetProcAddress of the entry point");
    if (!init) return host_checks::Finish();

    AVS_ScriptEnvironment env = {};
    const char* version = init(&env);
    Check(version && strcmp(version, "Bitgrade ver 0.1") == 0, "the version string");
    Check(env.functions == 1 && strcmp(env.name, "Bitgrade") == 0, "one function, Bitgrade");
    Check(env.functions == 1 &&
              strcmp(env.params,
                     "c[sseopt]i[span]i[ythr]i[cthr]i[debug]b[maxspan]i[depth]i[dither]s[bits]i[plateaus]b") == 0,
          "the parameter string");
    if (env.functions != 1) return host_checks::Finish();

    host_checks::CheckAgainstNativeChecksums([&](const frame_cases::Case& c) { return ConvertCase(env, c); });

    AVS_Clip* narrow = NewSource(24, 16);
    const AVS_Value refused = Create(env, narrow, frame_cases::Case{24, 16, 4, 3, 1, 1, false});
    Check(refused.type == 'e' && strcmp(refused.d.string, "levelize: \"sseopt\" should be 0 to 3.(default:0)") == 0,
          "a creation error arrives as an error value");
    Check(narrow->refs == 1, "the source's count returns after a creation error");
    const AVS_Value vector = Create(env, narrow, frame_cases::Case{24, 16, 3, 3, 1, 1, false});
    Check(vector.type == 'c', "the vector converter takes a width that is no multiple of 16");
    if (vector.type == 'c') avs_release_clip((AVS_Clip*)vector.d.clip);
    avs_release_clip(narrow);
    return host_checks::Finish();
}

}  // namespace

extern "C" void __cdecl HostEntry() { exit(RunChecks()); }
