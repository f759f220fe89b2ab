// A small host of our own that runs the plugin natively: a script
// environment with a function registry, frames laid out as the frame server
// lays them out, and a clip that serves frames from memory.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "../host/host_interface.h"

namespace native_host {

// What ThrowError raises: the script call fails with this message.
class ScriptError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

VideoInfo MakeVideoInfo(int width, int height, int pixelType = VideoInfo::CS_YV12, int numFrames = 1);

class Environment : public IScriptEnvironment {
public:
    Environment();
    ~Environment() override;
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;

    // Calls a registered function with positional arguments, as a script does.
    AVSValue Call(const std::string& name, const std::vector<AVSValue>& args);
    // The parameter string a function was registered with, or null.
    const char* ParamsOf(const std::string& name) const;

    // A planar 4:2:0 frame with the given pitches. A new frame is all zeros; a
    // recycled one keeps its old visible samples (every taker overwrites
    // them) but has its padding zeroed again.
    PVideoFrame NewPlanarFrame(int width, int height, int pitch, int pitchUV);
    // Frames still referenced by someone.
    int LiveFrames() const;

    long HOST_STDCALL GetCPUFlags() override { return 0; }
    char* HOST_STDCALL SaveString(const char* s, int length = -1) override;
    char* Sprintf(const char* fmt, ...) override;
    char* HOST_STDCALL VSprintf(const char* fmt, void* val) override;
    [[noreturn]] void ThrowError(const char* fmt, ...) override;
    void HOST_STDCALL AddFunction(const char* name, const char* params, ApplyFunc apply, void* user_data) override;
    bool HOST_STDCALL FunctionExists(const char* name) override;
    AVSValue HOST_STDCALL Invoke(const char* name, const AVSValue args, const char** arg_names = nullptr) override;
    AVSValue HOST_STDCALL GetVar(const char*) override { return AVSValue(); }
    bool HOST_STDCALL SetVar(const char*, const AVSValue&) override { return false; }
    bool HOST_STDCALL SetGlobalVar(const char*, const AVSValue&) override { return false; }
    void HOST_STDCALL PushContext(int = 0) override {}
    void HOST_STDCALL PopContext() override {}
    PVideoFrame HOST_STDCALL NewVideoFrame(const VideoInfo& vi, int align = 8) override;
    bool HOST_STDCALL MakeWritable(PVideoFrame* pvf) override;
    void HOST_STDCALL BitBlt(BYTE* dstp, int dst_pitch, const BYTE* srcp, int src_pitch, int row_size,
                             int height) override;
    void HOST_STDCALL AtExit(ShutdownFunc function, void* user_data) override;
    void HOST_STDCALL CheckVersion(int version = 2) override;
    PVideoFrame HOST_STDCALL Subframe(PVideoFrame, int, int, int, int) override;
    int HOST_STDCALL SetMemoryMax(int) override { return 0; }
    int HOST_STDCALL SetWorkingDir(const char*) override { return -1; }

private:
    struct Function {
        std::string params;
        ApplyFunc apply;
        void* userData;
    };
    struct FrameRecord;

    std::map<std::string, Function> functions;
    std::vector<std::unique_ptr<FrameRecord>> frames;
    std::vector<std::unique_ptr<std::string>> strings;
    std::vector<std::pair<ShutdownFunc, void*>> atExit;
};

// A clip whose frames are held in memory; frame numbers past either end are
// clamped, as a script's source filters do.
class MemoryClip : public IClip {
public:
    MemoryClip(const VideoInfo& vi, std::vector<PVideoFrame> frames);
    PVideoFrame HOST_STDCALL GetFrame(int n, IScriptEnvironment* env) override;
    bool HOST_STDCALL GetParity(int n) override { return n % 2 != 0; }
    void HOST_STDCALL GetAudio(void* buf, long long start, long long count, IScriptEnvironment* env) override;
    void HOST_STDCALL SetCacheHints(int, int) override {}
    const VideoInfo& HOST_STDCALL GetVideoInfo() override { return vi; }

    long References() const { return refcnt; }
    // Replaces the frame that every request returns from now on.
    void SetFrames(std::vector<PVideoFrame> replacement) { frames = std::move(replacement); }

private:
    VideoInfo vi;
    std::vector<PVideoFrame> frames;
};

}  // namespace native_host
