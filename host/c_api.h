// The frame server's plain-C plugin interface (AviSynth 2.6 and every
// AviSynth+), as this plugin uses it. One binary serves every version: the
// plugin looks the host's functions up at run time in the module that called
// its entry point, so it neither links against the host library nor relies
// on the host's symbols being global.
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define AVSC_CC __stdcall
#else
#define AVSC_CC
#endif

extern "C" {

struct AVS_Clip;
struct AVS_ScriptEnvironment;
struct AVS_VideoFrame;

// A script value: type letter, array size, one payload.
struct AVS_Value {
    short type;
    short array_size;
    union {
        void* clip;
        char boolean;
        int integer;
        float floating_pt;
        const char* string;
        const AVS_Value* array;
    } d;
};

struct AVS_VideoInfo {
    int width, height;
    unsigned fps_numerator, fps_denominator;
    int num_frames;
    int pixel_type;
    int audio_samples_per_second;
    int sample_type;
    int64_t num_audio_samples;
    int nchannels;
    int image_type;
};

struct AVS_FilterInfo;
typedef AVS_VideoFrame*(AVSC_CC* AVS_GetFrameFunc)(AVS_FilterInfo* fi, int n);
typedef int(AVSC_CC* AVS_GetParityFunc)(AVS_FilterInfo* fi, int n);
typedef int(AVSC_CC* AVS_GetAudioFunc)(AVS_FilterInfo* fi, void* buf, int64_t start, int64_t count);
typedef int(AVSC_CC* AVS_SetCacheHintsFunc)(AVS_FilterInfo* fi, int hints, int range);
typedef void(AVSC_CC* AVS_FreeFilterFunc)(AVS_FilterInfo* fi);

// Lives inside the host's filter object; the host fills child, vi and env.
struct AVS_FilterInfo {
    AVS_Clip* child;
    AVS_VideoInfo vi;
    AVS_ScriptEnvironment* env;
    AVS_GetFrameFunc get_frame;
    AVS_GetParityFunc get_parity;
    AVS_GetAudioFunc get_audio;
    AVS_SetCacheHintsFunc set_cache_hints;
    AVS_FreeFilterFunc free_filter;
    const char* error;
    void* user_data;
};

typedef AVS_Value(AVSC_CC* AVS_ApplyFunc)(AVS_ScriptEnvironment* env, AVS_Value args, void* user_data);

}  // extern "C"

// What the host reads directly: a layout change here breaks every host.
static_assert(sizeof(AVS_VideoInfo) == 48 && offsetof(AVS_VideoInfo, num_audio_samples) == 32, "AVS_VideoInfo layout");
static_assert(sizeof(AVS_Value) == 2 * sizeof(void*), "AVS_Value: 8 bytes on x86, 16 on x64");
static_assert(offsetof(AVS_FilterInfo, vi) == 8 && offsetof(AVS_FilterInfo, env) == 56 &&
                  offsetof(AVS_FilterInfo, get_frame) == (sizeof(void*) == 8 ? 64 : 60) &&
                  offsetof(AVS_FilterInfo, free_filter) == (sizeof(void*) == 8 ? 96 : 76) &&
                  offsetof(AVS_FilterInfo, user_data) == (sizeof(void*) == 8 ? 112 : 84),
              "AVS_FilterInfo layout");

namespace avs_c {

enum : int {
    kCacheGetMtMode = 509,  // the host's threading question
    kMtMultiInstance = 2,   // one filter instance per thread, one call at a time each
};

// Plane selectors and the pixel types of 8-bit planar 4:2:0.
enum : int { kPlaneY = 1, kPlaneU = 2, kPlaneV = 4 };
enum : int { kCsYV12 = (int)0xA0000008, kCsI420 = (int)0xA0000010 };

// A pixel type's fields: its kind (planar YUV, planar Y alone, or another),
// the order of its chroma planes, the chroma subsampling across and down and
// the bits of a sample, each a small code.
enum : uint32_t {
    kCsKindMask = 0xF8000000u,  // planar, interleaved, YUV, BGR, YUVA
    kCsPlanarYuv = 0xA0000000u,
    kCsPlanarY = 0xE0000000u,  // planar, interleaved and YUV together mean Y alone
    kCsVPlaneFirst = 1u << 3,
    kCsUPlaneFirst = 1u << 4,
    kCsSubWidthShift = 0,
    kCsSubHeightShift = 8,
    kCsSampleBitsShift = 16,
    kCsFieldMask = 7,
};
// Subsampling codes: 3 for none, 0 for half, 1 for a quarter.
inline int SubsamplingOfCode(uint32_t code) { return code == 3 ? 0 : code == 0 ? 1 : code == 1 ? 2 : -1; }
inline uint32_t CodeOfSubsampling(int log2) { return log2 == 0 ? 3 : log2 == 1 ? 0 : 1; }
// Sample bits codes: 0 for 8, 5, 6 and 7 for 10, 12 and 14, 1 for 16 (2, for
// float, is none of them).
inline int BitsOfCode(uint32_t code) {
    const int bits[8] = {8, 16, 0, 0, 0, 10, 12, 14};
    return bits[code & 7];
}
inline uint32_t CodeOfBits(int bits) { return bits == 8 ? 0 : bits == 16 ? 1 : bits == 10 ? 5 : bits == 12 ? 6 : 7; }

// The host functions the plugin calls, looked up by name when the host
// calls the entry point.
struct HostFunctions {
    int(AVSC_CC* add_function)(AVS_ScriptEnvironment*, const char* name, const char* params, AVS_ApplyFunc apply,
                               void* user_data);
    AVS_Clip*(AVSC_CC* new_c_filter)(AVS_ScriptEnvironment*, AVS_FilterInfo** fi, AVS_Value child, int store_child);
    void(AVSC_CC* release_clip)(AVS_Clip*);
    void(AVSC_CC* set_to_clip)(AVS_Value* out, AVS_Clip*);
    AVS_VideoFrame*(AVSC_CC* get_frame)(AVS_Clip*, int n);
    const char*(AVSC_CC* clip_get_error)(AVS_Clip*);
    void(AVSC_CC* release_video_frame)(AVS_VideoFrame*);
    AVS_VideoFrame*(AVSC_CC* new_video_frame_a)(AVS_ScriptEnvironment*, const AVS_VideoInfo*, int align);
    int(AVSC_CC* get_pitch_p)(const AVS_VideoFrame*, int plane);
    int(AVSC_CC* get_height_p)(const AVS_VideoFrame*, int plane);
    const unsigned char*(AVSC_CC* get_read_ptr_p)(const AVS_VideoFrame*, int plane);
    unsigned char*(AVSC_CC* get_write_ptr_p)(const AVS_VideoFrame*, int plane);
    // Optional (hosts of interface 8 on; null before): a new frame that also
    // takes prop_src's frame properties.
    AVS_VideoFrame*(AVSC_CC* new_video_frame_p_a)(AVS_ScriptEnvironment*, const AVS_VideoInfo*,
                                                  const AVS_VideoFrame* prop_src, int align);
};

template <class F, class Lookup>
bool Bind(F& function, Lookup& lookup, const char* name) {
    function = (F)lookup(name);
    return function != nullptr;
}

// Fills `h` through lookup(name), which gives the address of a host
// function or null. False when any but the optional ones is missing.
template <class Lookup>
bool BindHostFunctions(HostFunctions& h, Lookup lookup) {
    Bind(h.new_video_frame_p_a, lookup, "avs_new_video_frame_p_a");
    return Bind(h.add_function, lookup, "avs_add_function") && Bind(h.new_c_filter, lookup, "avs_new_c_filter") &&
           Bind(h.release_clip, lookup, "avs_release_clip") && Bind(h.set_to_clip, lookup, "avs_set_to_clip") &&
           Bind(h.get_frame, lookup, "avs_get_frame") && Bind(h.clip_get_error, lookup, "avs_clip_get_error") &&
           Bind(h.release_video_frame, lookup, "avs_release_video_frame") &&
           Bind(h.new_video_frame_a, lookup, "avs_new_video_frame_a") &&
           Bind(h.get_pitch_p, lookup, "avs_get_pitch_p") && Bind(h.get_height_p, lookup, "avs_get_height_p") &&
           Bind(h.get_read_ptr_p, lookup, "avs_get_read_ptr_p") &&
           Bind(h.get_write_ptr_p, lookup, "avs_get_write_ptr_p");
}

}  // namespace avs_c
