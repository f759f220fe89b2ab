// The frame server's version 2.5 plugin interface, as this plugin uses it.
//
// Layouts and virtual slot orders match the host's own 32-bit build, which
// uses the Microsoft C++ ABI, so the same declarations build the Windows DLL.
// Natively they compile for any target: the calling-convention keywords
// vanish and the AVSValue payload is wide enough for a pointer.
//
// Reference counting of clips and frames is inline on both sides of the
// interface, as the host expects.
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define HOST_STDCALL __stdcall
#define HOST_CDECL __cdecl
#else
#define HOST_STDCALL
#define HOST_CDECL
#endif

typedef unsigned char BYTE;

enum { PLANAR_Y = 1, PLANAR_U = 2, PLANAR_V = 4 };

namespace host_atomic {
inline long Increment(long* v) { return __atomic_add_fetch(v, 1, __ATOMIC_ACQ_REL); }
inline long Decrement(long* v) { return __atomic_sub_fetch(v, 1, __ATOMIC_ACQ_REL); }
}  // namespace host_atomic

#pragma pack(push, 8)
struct VideoInfo {
    enum : int { CS_YV12 = (int)0xA0000008, CS_I420 = (int)0xA0000010 };

    int width, height;
    unsigned fps_numerator, fps_denominator;
    int num_frames;
    int pixel_type;
    int audio_samples_per_second;
    int sample_type;
    long long num_audio_samples;
    int nchannels;
    int image_type;

    // YV12 or I420 and nothing else. The 2.5 host tests these bits only,
    // which is exact there; later hosts give their 4:2:2, 4:4:4, 4:1:1 and
    // deeper types the same bits, and those planes are no 8-bit 4:2:0 ones.
    bool IsYV12() const { return pixel_type == CS_YV12 || pixel_type == CS_I420; }
};
#pragma pack(pop)

class VideoFrameBuffer {
public:
    BYTE* data;
    int data_size;
    long sequence_number;
    long refcount;
};

class VideoFrame {
public:
    long refcount;
    VideoFrameBuffer* vfb;
    int offset, pitch, row_size, height, offsetU, offsetV, pitchUV;

    int GetPitch(int plane = 0) const { return (plane == PLANAR_U || plane == PLANAR_V) ? pitchUV : pitch; }
    int GetRowSize(int plane = 0) const {
        return (plane == PLANAR_U || plane == PLANAR_V) ? (pitchUV ? row_size >> 1 : 0) : row_size;
    }
    int GetHeight(int plane = 0) const {
        return (plane == PLANAR_U || plane == PLANAR_V) ? (pitchUV ? height >> 1 : 0) : height;
    }
    const BYTE* GetReadPtr(int plane = 0) const { return vfb->data + PlaneOffset(plane); }
    bool IsWritable() const { return refcount == 1 && vfb->refcount == 1; }
    // The luma pointer doubles as the host's writability test; chroma is
    // handed out unconditionally, as the host does.
    BYTE* GetWritePtr(int plane = 0) const {
        if (plane == PLANAR_U || plane == PLANAR_V) return vfb->data + PlaneOffset(plane);
        if (!IsWritable()) return nullptr;
        ++vfb->sequence_number;
        return vfb->data + offset;
    }

    void AddRef() { host_atomic::Increment(&refcount); }
    void Release() {
        if (host_atomic::Decrement(&refcount) == 0) host_atomic::Decrement(&vfb->refcount);
    }

private:
    int PlaneOffset(int plane) const { return plane == PLANAR_U ? offsetU : plane == PLANAR_V ? offsetV : offset; }
};

class PVideoFrame {
public:
    PVideoFrame() : p(nullptr) {}
    PVideoFrame(VideoFrame* frame) : p(frame) {
        if (p) p->AddRef();
    }
    PVideoFrame(const PVideoFrame& other) : p(other.p) {
        if (p) p->AddRef();
    }
    ~PVideoFrame() {
        if (p) p->Release();
    }
    PVideoFrame& operator=(const PVideoFrame& other) {
        if (other.p) other.p->AddRef();
        if (p) p->Release();
        p = other.p;
        return *this;
    }
    VideoFrame* operator->() const { return p; }
    VideoFrame* get() const { return p; }
    explicit operator bool() const { return p != nullptr; }

private:
    VideoFrame* p;
};

class IScriptEnvironment;

class IClip {
    friend class PClip;
    friend class AVSValue;

public:
    IClip() : refcnt(0) {}
    virtual int HOST_STDCALL GetVersion() { return 2; }
    virtual PVideoFrame HOST_STDCALL GetFrame(int n, IScriptEnvironment* env) = 0;
    virtual bool HOST_STDCALL GetParity(int n) = 0;
    virtual void HOST_STDCALL GetAudio(void* buf, long long start, long long count, IScriptEnvironment* env) = 0;
    virtual void HOST_STDCALL SetCacheHints(int cachehints, int frame_range) = 0;
    virtual const VideoInfo& HOST_STDCALL GetVideoInfo() = 0;
    virtual HOST_STDCALL ~IClip() {}

protected:
    long refcnt;

private:
    void AddRef() { host_atomic::Increment(&refcnt); }
    void Release() {
        if (host_atomic::Decrement(&refcnt) == 0) delete this;
    }
};

class PClip {
public:
    PClip() : p(nullptr) {}
    PClip(IClip* clip) : p(clip) {
        if (p) p->AddRef();
    }
    PClip(const PClip& other) : p(other.p) {
        if (p) p->AddRef();
    }
    ~PClip() {
        if (p) p->Release();
    }
    PClip& operator=(const PClip& other) {
        if (other.p) other.p->AddRef();
        if (p) p->Release();
        p = other.p;
        return *this;
    }
    IClip* operator->() const { return p; }
    IClip* get() const { return p; }
    explicit operator bool() const { return p != nullptr; }

private:
    IClip* p;
};

// A script value: 16-bit type letter, 16-bit array size, one payload.
class AVSValue {
public:
    AVSValue() : type('v'), array_size(0) { clip = nullptr; }
    AVSValue(IClip* c) : type('c'), array_size(0) {
        clip = c;
        if (c) c->AddRef();
    }
    AVSValue(const PClip& c) : AVSValue(c.get()) {}
    AVSValue(bool b) : type('b'), array_size(0) {
        clip = nullptr;
        boolean = b;
    }
    AVSValue(int i) : type('i'), array_size(0) {
        clip = nullptr;
        integer = i;
    }
    AVSValue(float f) : type('f'), array_size(0) {
        clip = nullptr;
        floating_pt = f;
    }
    AVSValue(const char* s) : type('s'), array_size(0) { string = s; }
    // An array value refers to its elements; it does not own them.
    AVSValue(const AVSValue* a, int size) : type('a'), array_size((short)size) { array = a; }
    AVSValue(const AVSValue& v) : type('v'), array_size(0) {
        clip = nullptr;
        Assign(v);
    }
    ~AVSValue() {
        if (IsClip() && clip) clip->Release();
    }
    AVSValue& operator=(const AVSValue& v) {
        Assign(v);
        return *this;
    }

    bool Defined() const { return type != 'v'; }
    bool IsClip() const { return type == 'c'; }
    bool IsBool() const { return type == 'b'; }
    bool IsInt() const { return type == 'i'; }
    bool IsFloat() const { return type == 'f' || type == 'i'; }
    bool IsString() const { return type == 's'; }
    bool IsArray() const { return type == 'a'; }

    PClip AsClip() const { return IsClip() ? PClip(clip) : PClip(); }
    bool AsBool(bool def) const { return IsBool() ? boolean : def; }
    int AsInt(int def) const { return IsInt() ? integer : def; }
    const char* AsString(const char* def) const { return IsString() ? string : def; }
    int ArraySize() const { return IsArray() ? array_size : 1; }

    // Element i of an array; any other value stands for every index.
    const AVSValue& operator[](int index) const { return (IsArray() && index < array_size) ? array[index] : *this; }

private:
    short type;
    short array_size;
    union {
        IClip* clip;
        bool boolean;
        int integer;
        float floating_pt;
        const char* string;
        const AVSValue* array;
    };

    void Assign(const AVSValue& v) {
        if (v.IsClip() && v.clip) v.clip->AddRef();
        if (IsClip() && clip) clip->Release();
        type = v.type;
        array_size = v.array_size;
        clip = v.clip;  // the widest member carries every payload
    }
};

class IScriptEnvironment {
public:
    virtual HOST_STDCALL ~IScriptEnvironment() {}
    virtual long HOST_STDCALL GetCPUFlags() = 0;
    virtual char* HOST_STDCALL SaveString(const char* s, int length = -1) = 0;
    virtual char* Sprintf(const char* fmt, ...) = 0;
    virtual char* HOST_STDCALL VSprintf(const char* fmt, void* val) = 0;
    [[noreturn]] virtual void ThrowError(const char* fmt, ...) = 0;

    typedef AVSValue(HOST_CDECL* ApplyFunc)(AVSValue args, void* user_data, IScriptEnvironment* env);
    virtual void HOST_STDCALL AddFunction(const char* name, const char* params, ApplyFunc apply, void* user_data) = 0;
    virtual bool HOST_STDCALL FunctionExists(const char* name) = 0;
    virtual AVSValue HOST_STDCALL Invoke(const char* name, const AVSValue args, const char** arg_names = nullptr) = 0;
    virtual AVSValue HOST_STDCALL GetVar(const char* name) = 0;
    virtual bool HOST_STDCALL SetVar(const char* name, const AVSValue& val) = 0;
    virtual bool HOST_STDCALL SetGlobalVar(const char* name, const AVSValue& val) = 0;
    virtual void HOST_STDCALL PushContext(int level = 0) = 0;
    virtual void HOST_STDCALL PopContext() = 0;
    virtual PVideoFrame HOST_STDCALL NewVideoFrame(const VideoInfo& vi, int align = 8) = 0;
    virtual bool HOST_STDCALL MakeWritable(PVideoFrame* pvf) = 0;
    virtual void HOST_STDCALL BitBlt(BYTE* dstp, int dst_pitch, const BYTE* srcp, int src_pitch, int row_size,
                                     int height) = 0;

    typedef void(HOST_CDECL* ShutdownFunc)(void* user_data, IScriptEnvironment* env);
    virtual void HOST_STDCALL AtExit(ShutdownFunc function, void* user_data) = 0;
    virtual void HOST_STDCALL CheckVersion(int version = 2) = 0;
    virtual PVideoFrame HOST_STDCALL Subframe(PVideoFrame src, int rel_offset, int new_pitch, int new_row_size,
                                              int new_height) = 0;
    virtual int HOST_STDCALL SetMemoryMax(int mem) = 0;
    virtual int HOST_STDCALL SetWorkingDir(const char* newdir) = 0;
};

class GenericVideoFilter : public IClip {
public:
    explicit GenericVideoFilter(PClip source) : child(source), vi(source->GetVideoInfo()) {}

    PVideoFrame HOST_STDCALL GetFrame(int n, IScriptEnvironment* env) override { return child->GetFrame(n, env); }
    bool HOST_STDCALL GetParity(int n) override { return child->GetParity(n); }
    void HOST_STDCALL GetAudio(void* buf, long long start, long long count, IScriptEnvironment* env) override {
        child->GetAudio(buf, start, count, env);
    }
    void HOST_STDCALL SetCacheHints(int, int) override {}
    const VideoInfo& HOST_STDCALL GetVideoInfo() override { return vi; }

protected:
    PClip child;
    VideoInfo vi;
};

// The real host is a 32-bit Microsoft-ABI build that reads these records
// and values directly: pin their sizes and offsets, so that a change that
// would break it fails our build instead of a user's script.
static_assert(sizeof(VideoInfo) == 48 && offsetof(VideoInfo, num_audio_samples) == 32 &&
                  offsetof(VideoInfo, image_type) == 44,
              "VideoInfo layout");
#if defined(_WIN32) && defined(__i386__)
static_assert(sizeof(AVSValue) == 8, "AVSValue: type, array size, 4-byte payload");
static_assert(sizeof(VideoFrameBuffer) == 16 && offsetof(VideoFrameBuffer, refcount) == 12, "VideoFrameBuffer layout");
static_assert(sizeof(VideoFrame) == 36 && offsetof(VideoFrame, vfb) == 4 && offsetof(VideoFrame, offset) == 8 &&
                  offsetof(VideoFrame, pitch) == 12 && offsetof(VideoFrame, height) == 20 &&
                  offsetof(VideoFrame, offsetU) == 24 && offsetof(VideoFrame, pitchUV) == 32,
              "VideoFrame layout");
static_assert(sizeof(PVideoFrame) == 4 && sizeof(PClip) == 4, "smart pointers hold one pointer");
static_assert(sizeof(IClip) == 8, "IClip: vtable pointer, reference count");
#endif
