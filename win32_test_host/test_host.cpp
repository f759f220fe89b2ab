// A host built for the frame server's own ABI (Microsoft C++, 32-bit) that
// loads bitgrade.dll by name, as the real host does, and checks the plugin
// through it. Prints "N passed, N failed"; exits non-zero on a failure.
//
// It runs in the folder that holds bitgrade.dll and native_checksums.txt
// (the native build's checksums of the shared cases).
#include "frame_cases.h"
#include "host_checks.h"
#include "native_host/host_side.h"

// Throwing needs type descriptors, which point at type_info's vtable; its
// contents never matter, because catching compares type names.
extern "C" const void* const TypeInfoVtable[2] __asm__("??_7type_info@@6B@") = {nullptr, nullptr};

namespace {

using bitgrade::CopyBytes;
using bitgrade::FillBytes;
using host_checks::Check;

// What ThrowError raises.
struct HostError {
    const char* message;
};

class TestEnvironment : public IScriptEnvironment {
public:
    ~TestEnvironment() override {
        for (int i = 0; i < frameCount; ++i) {
            free(frames[i]->buffer.data);
            free(frames[i]);
        }
        for (int i = 0; i < stringCount; ++i) free(strings[i]);
    }
    long HOST_STDCALL GetCPUFlags() override { return 0; }
    char* HOST_STDCALL SaveString(const char* s, int length = -1) override {
        const size_t n = length < 0 ? strlen(s) : (size_t)length;
        char* copy = (char*)malloc(n + 1);
        CopyBytes(copy, s, n);
        copy[n] = '\0';
        if (stringCount < kMaxStrings) strings[stringCount++] = copy;
        return copy;
    }
    char* Sprintf(const char* fmt, ...) override {
        va_list args;
        va_start(args, fmt);
        char* text = Format(fmt, args);
        va_end(args);
        return text;
    }
    char* HOST_STDCALL VSprintf(const char* fmt, void* val) override { return Format(fmt, *(va_list*)val); }
    [[noreturn]] void ThrowError(const char* fmt, ...) override {
        va_list args;
        va_start(args, fmt);
        char* text = Format(fmt, args);
        va_end(args);
        throw HostError{text};
    }
    void HOST_STDCALL AddFunction(const char* name, const char* params, ApplyFunc apply, void* user) override {
        if (functionCount < kMaxFunctions) functions[functionCount++] = Function{name, params, apply, user};
    }
    bool HOST_STDCALL FunctionExists(const char* name) override { return Find(name) != nullptr; }
    AVSValue HOST_STDCALL Invoke(const char* name, const AVSValue args, const char** = nullptr) override {
        const Function* f = Find(name);
        if (!f) throw HostError{"no such function"};
        return f->apply(args, f->user, this);
    }
    AVSValue HOST_STDCALL GetVar(const char*) override { return AVSValue(); }
    bool HOST_STDCALL SetVar(const char*, const AVSValue&) override { return false; }
    bool HOST_STDCALL SetGlobalVar(const char*, const AVSValue&) override { return false; }
    void HOST_STDCALL PushContext(int) override {}
    void HOST_STDCALL PopContext() override {}
    PVideoFrame HOST_STDCALL NewVideoFrame(const VideoInfo& vi, int align) override {
        const int pitch = (vi.width + align - 1) / align * align;
        const int pitchUV = (vi.width / 2 + align - 1) / align * align;
        return NewFrame(vi.width, vi.height, pitch, pitchUV);
    }
    bool HOST_STDCALL MakeWritable(PVideoFrame* pvf) override {
        return host_side::MakeWritableCopy(pvf, [this](int width, int height, int pitch, int pitchUV) {
            return NewFrame(width, height, pitch, pitchUV);
        });
    }
    void HOST_STDCALL BitBlt(BYTE* dst, int dstPitch, const BYTE* src, int srcPitch, int rowSize, int height) override {
        for (int y = 0; y < height; ++y) CopyBytes(dst + y * dstPitch, src + y * srcPitch, (size_t)rowSize);
    }
    void HOST_STDCALL AtExit(ShutdownFunc, void*) override {}
    void HOST_STDCALL CheckVersion(int) override {}
    PVideoFrame HOST_STDCALL Subframe(PVideoFrame, int, int, int, int) override { throw HostError{"no subframes"}; }
    int HOST_STDCALL SetMemoryMax(int) override { return 0; }
    int HOST_STDCALL SetWorkingDir(const char*) override { return -1; }

    int FunctionCount() const { return functionCount; }
    const char* FunctionName(int i) const { return functions[i].name; }
    const char* FunctionParams(int i) const { return functions[i].params; }

private:
    struct Function {
        const char* name;
        const char* params;
        ApplyFunc apply;
        void* user;
    };
    struct Record {
        VideoFrame frame;
        VideoFrameBuffer buffer;
    };
    static const int kMaxFunctions = 8, kMaxFrames = 64, kMaxStrings = 64;

    char* Format(const char* fmt, va_list args) {
        char text[1024];
        _vsnprintf(text, sizeof text - 1, fmt, args);
        text[sizeof text - 1] = '\0';
        return SaveString(text);
    }
    const Function* Find(const char* name) const {
        for (int i = 0; i < functionCount; ++i)
            if (strcmp(functions[i].name, name) == 0) return &functions[i];
        return nullptr;
    }
    // Frames are the host's: freed records are handed out again.
    PVideoFrame NewFrame(int width, int height, int pitch, int pitchUV) {
        const int size = (int)host_side::PlanarFrameBytes(height, pitch, pitchUV);
        Record* record = nullptr;
        for (int i = 0; i < frameCount && !record; ++i)
            if (frames[i]->frame.refcount == 0 && frames[i]->buffer.refcount == 0 &&
                frames[i]->buffer.data_size == size)
                record = frames[i];
        if (!record) {
            if (frameCount == kMaxFrames) throw HostError{"out of frames"};
            record = frames[frameCount++] = (Record*)malloc(sizeof(Record));
            FillBytes(record, 0, sizeof *record);
            record->buffer.data = (BYTE*)malloc((size_t)size + 16);
            record->buffer.data_size = size;
        }
        FillBytes(record->buffer.data, 0, (size_t)size + 16);
        host_side::LayOutPlanarFrame(record->frame, record->buffer, width, height, pitch, pitchUV);
        return PVideoFrame(&record->frame);
    }

    Function functions[kMaxFunctions];
    int functionCount = 0;
    Record* frames[kMaxFrames];
    int frameCount = 0;
    char* strings[kMaxStrings];
    int stringCount = 0;
};

AVSValue Create(TestEnvironment& env, const PClip& clip, int sseopt) {
    const AVSValue args[2] = {AVSValue(clip), AVSValue(sseopt)};
    return env.Invoke("Bitgrade", AVSValue(args, 2));
}

// The error a creation raises, or null; the source's count must come back.
void CheckCreationError(TestEnvironment& env, int pixelType, int width, int sseopt, const char* message) {
    VideoInfo vi = host_side::PlanarVideoInfo(width, 16);
    vi.pixel_type = pixelType;
    frame_cases::GeneratedClip* source = new frame_cases::GeneratedClip(vi);
    const PClip clip(source);
    const char* raised = nullptr;
    try {
        Create(env, clip, sseopt);
    } catch (const HostError& e) {
        raised = e.message;
    }
    Check(raised && strcmp(raised, message) == 0, message);
    Check(source->References() == 1, "the source clip's count returns after a creation error");
}

#if defined(__i386__)
// Calls fn(arg) with the stack pointer `offset` bytes (0, 4, 8 or 12) past a
// 16-byte boundary at the call: 32-bit Windows promises only 4-byte alignment,
// so code that keeps 16-byte values on the stack must realign it itself.
extern "C" void __cdecl CallWithStackOffset(void(__cdecl* fn)(void*), void* arg, unsigned offset);
__asm__(
    ".globl _CallWithStackOffset\n"
    "_CallWithStackOffset:\n"
    "    pushl %ebp\n"
    "    movl %esp, %ebp\n"
    "    movl 8(%ebp), %eax\n"
    "    movl 12(%ebp), %ecx\n"
    "    andl $-16, %esp\n"
    "    subl $28, %esp\n"
    "    addl 16(%ebp), %esp\n"
    "    pushl %ecx\n"
    "    call *%eax\n"
    "    movl %ebp, %esp\n"
    "    popl %ebp\n"
    "    ret\n");

struct FrameJob {
    IClip* filter;
    IScriptEnvironment* env;
    unsigned long long hash;
};

void __cdecl HashFrameZero(void* arg) {
    FrameJob& job = *(FrameJob*)arg;
    const PVideoFrame frame = job.filter->GetFrame(0, job.env);
    job.hash = frame_cases::HashFrame(frame, job.filter->GetVideoInfo().width, job.filter->GetVideoInfo().height);
}

// The optimised levels, with the fixed-point and the exact-quotient means,
// give the same frame whatever the stack's alignment at the call.
void CheckStackAlignment(TestEnvironment& env) {
    const PClip source(new frame_cases::GeneratedClip(host_side::PlanarVideoInfo(64, 48)));
    for (int level = 2; level <= 3; ++level) {
        for (int span = 3; span <= 10; span += 7) {
            const AVSValue args[3] = {AVSValue(source), AVSValue(level), AVSValue(span)};
            const PClip filter = env.Invoke("Bitgrade", AVSValue(args, 3)).AsClip();
            FrameJob aligned = {filter.get(), &env, 0};
            CallWithStackOffset(HashFrameZero, &aligned, 0);
            for (unsigned offset = 4; offset < 16; offset += 4) {
                FrameJob job = {filter.get(), &env, 0};
                CallWithStackOffset(HashFrameZero, &job, offset);
                if (job.hash != aligned.hash) printf("level %d span %d offset %u differs\n", level, span, offset);
                Check(job.hash == aligned.hash, "frames do not depend on the stack's alignment at the call");
            }
        }
    }
}
#else
// x86_64 Windows guarantees 16-byte alignment at every call.
void CheckStackAlignment(TestEnvironment&) {}
#endif

int RunChecks() {
    void* dll = LoadLibraryA("bitgrade.dll");
    Check(dll != nullptr, "LoadLibrary(bitgrade.dll)");
    if (!dll) return 1;
    typedef const char*(__stdcall * InitFunction)(IScriptEnvironment*);
#if defined(_WIN64)
    const char* const entry = "AvisynthPluginInit2";  // x86_64 has one calling convention, undecorated
#else
    const char* const entry = "_AvisynthPluginInit2@4";
#endif
    const InitFunction init = (InitFunction)GetProcAddress(dll, entry);
    Check(init != nullptr, "GetProcAddress of the entry point");
    if (!init) return 1;

    TestEnvironment env;
    const char* version = init(&env);
    Check(version && strcmp(version, "Bitgrade ver 0.1") == 0, "the version string");
    Check(env.FunctionCount() == 1 && strcmp(env.FunctionName(0), "Bitgrade") == 0, "one function, Bitgrade");
    Check(env.FunctionCount() == 1 && strcmp(env.FunctionParams(0), "c[sseopt]i[span]i[ythr]i[cthr]i[debug]b") == 0,
          "the parameter string");

    const PClip source(new frame_cases::GeneratedClip(host_side::PlanarVideoInfo(64, 48)));
    for (int level = 0; level <= 3; ++level) {
        const PClip filter = Create(env, source, level).AsClip();
        Check(filter && filter->GetVideoInfo().width == 128, "creation at each level doubles the width");
        if (filter) Check(filter->GetFrame(0, &env)->GetReadPtr(PLANAR_Y) != nullptr, "a frame at each level");
    }
    const PClip defaults = env.Invoke("Bitgrade", AVSValue(source)).AsClip();
    Check(defaults && defaults->GetVideoInfo().width == 128, "creation from a lone clip value takes the defaults");

    host_checks::CheckAgainstNativeChecksums(
        [&](const frame_cases::Case& c) { return frame_cases::ConvertCase(&env, c); });

    CheckCreationError(env, 0x60000004, 64, 1, "levelize: Requires YV12 input");
    CheckCreationError(env, 0x60000004, 64, 4, "levelize: Requires YV12 input");
    CheckCreationError(env, VideoInfo::CS_YV12, 64, 4, "levelize: \"sseopt\" should be 0 to 3.(default:0)");
    CheckCreationError(env, VideoInfo::CS_I420, 64, -1, "levelize: \"sseopt\" should be 0 to 3.(default:0)");
    CheckCreationError(env, VideoInfo::CS_YV12, 24, 3, "levelize: Width should be a multiple of 16.");

    CheckStackAlignment(env);

    bool destroyed = false;
    {
        PClip filter;
        {
            const PClip child(new frame_cases::GeneratedClip(host_side::PlanarVideoInfo(32, 16), &destroyed));
            filter = Create(env, child, 3).AsClip();
        }
        Check(!destroyed, "the filter holds its child");
        filter->GetFrame(0, &env);
    }
    Check(destroyed, "releasing the filter's last reference destroys it and releases its child");

    return host_checks::Finish();
}

}  // namespace

extern "C" void __cdecl HostEntry() { exit(RunChecks()); }
