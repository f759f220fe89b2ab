#include "native_host.h"

#include "host_side.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace native_host {

namespace {

int AlignUp(int value, int align) { return (value + align - 1) / align * align; }

std::string FormatV(const char* fmt, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string text(length > 0 ? (size_t)length : 0, '\0');
    if (length > 0) std::vsnprintf(&text[0], text.size() + 1, fmt, args);
    return text;
}

}  // namespace

VideoInfo MakeVideoInfo(int width, int height, int pixelType, int numFrames) {
    return host_side::PlanarVideoInfo(width, height, pixelType, numFrames);
}

// The host owns frames and their buffers: the plugin only counts references.
// A record whose counts are both 0 is free and is handed out again.
struct Environment::FrameRecord {
    VideoFrame frame;
    VideoFrameBuffer buffer;
    int width, height;

    FrameRecord() { std::memset(this, 0, sizeof *this); }
    ~FrameRecord() { std::free(buffer.data); }
    bool Free() const { return frame.refcount == 0 && buffer.refcount == 0; }
};

Environment::Environment() = default;

Environment::~Environment() {
    for (auto& [function, data] : atExit) function(data, this);
}

AVSValue Environment::Call(const std::string& name, const std::vector<AVSValue>& args) {
    auto found = functions.find(name);
    if (found == functions.end()) throw ScriptError("There is no function named '" + name + "'");
    return found->second.apply(AVSValue(args.data(), (int)args.size()), found->second.userData, this);
}

const char* Environment::ParamsOf(const std::string& name) const {
    auto found = functions.find(name);
    return found == functions.end() ? nullptr : found->second.params.c_str();
}

PVideoFrame Environment::NewPlanarFrame(int width, int height, int pitch, int pitchUV) {
    const size_t size = host_side::PlanarFrameBytes(height, pitch, pitchUV);
    FrameRecord* record = nullptr;
    for (auto& candidate : frames) {
        const VideoFrame& f = candidate->frame;
        if (candidate->Free() && f.pitch == pitch && f.pitchUV == pitchUV && f.height == height &&
            candidate->width == width) {
            record = candidate.get();
            break;
        }
    }
    const bool reused = record != nullptr;
    if (!reused) {
        frames.push_back(std::make_unique<FrameRecord>());
        record = frames.back().get();
        // Room for whole 16-byte blocks past the last row, as hosts allow.
        record->buffer.data = (BYTE*)std::aligned_alloc(64, (size + 16 + 63) / 64 * 64);
        if (!record->buffer.data) throw std::bad_alloc();
        record->buffer.data_size = (int)size;
        std::memset(record->buffer.data, 0, size + 16);
    }
    record->width = width;
    host_side::LayOutPlanarFrame(record->frame, record->buffer, width, height, pitch, pitchUV);
    // Whoever takes a frame writes its visible samples; the padding past them
    // must not carry what an earlier frame left there, because some readers
    // look past the visible width.
    if (reused) {
        for (int plane : {PLANAR_Y, PLANAR_U, PLANAR_V}) {
            const VideoFrame& f = record->frame;
            const int visible = plane == PLANAR_Y ? width : width / 2, padding = f.GetPitch(plane) - visible;
            BYTE* row = record->buffer.data + (plane == PLANAR_Y   ? f.offset
                                               : plane == PLANAR_U ? f.offsetU
                                                                   : f.offsetV);
            for (int y = 0; y < f.GetHeight(plane) && padding > 0; ++y)
                std::memset(row + (size_t)y * f.GetPitch(plane) + visible, 0, (size_t)padding);
        }
        std::memset(record->buffer.data + size, 0, 16);
    }
    return PVideoFrame(&record->frame);
}

int Environment::LiveFrames() const {
    return (int)std::count_if(frames.begin(), frames.end(), [](const auto& record) { return !record->Free(); });
}

PVideoFrame Environment::NewVideoFrame(const VideoInfo& vi, int align) {
    if (align < 1) align = 1;
    return NewPlanarFrame(vi.width, vi.height, AlignUp(vi.width, align), AlignUp(vi.width / 2, align));
}

bool Environment::MakeWritable(PVideoFrame* pvf) {
    return host_side::MakeWritableCopy(pvf, [this](int width, int height, int pitch, int pitchUV) {
        return NewPlanarFrame(width, height, pitch, pitchUV);
    });
}

char* Environment::SaveString(const char* s, int length) {
    strings.push_back(std::make_unique<std::string>(length < 0 ? std::string(s) : std::string(s, length)));
    return &(*strings.back())[0];
}

char* Environment::Sprintf(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string text = FormatV(fmt, args);
    va_end(args);
    return SaveString(text.c_str());
}

char* Environment::VSprintf(const char* fmt, void* val) { return SaveString(FormatV(fmt, *(va_list*)val).c_str()); }

void Environment::ThrowError(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string text = FormatV(fmt, args);
    va_end(args);
    throw ScriptError(text);
}

void Environment::AddFunction(const char* name, const char* params, ApplyFunc apply, void* user_data) {
    functions[name] = Function{params, apply, user_data};
}

bool Environment::FunctionExists(const char* name) { return functions.count(name) != 0; }

AVSValue Environment::Invoke(const char* name, const AVSValue args, const char**) {
    std::vector<AVSValue> list;
    for (int i = 0; i < args.ArraySize(); ++i) list.push_back(args[i]);
    return Call(name, list);
}

void Environment::BitBlt(BYTE* dstp, int dst_pitch, const BYTE* srcp, int src_pitch, int row_size, int height) {
    for (int y = 0; y < height; ++y)
        std::memcpy(dstp + (size_t)y * dst_pitch, srcp + (size_t)y * src_pitch, (size_t)row_size);
}

void Environment::AtExit(ShutdownFunc function, void* user_data) { atExit.emplace_back(function, user_data); }

void Environment::CheckVersion(int version) {
    if (version > 2) throw ScriptError("This host supports interface version 2, not " + std::to_string(version));
}

PVideoFrame Environment::Subframe(PVideoFrame, int, int, int, int) {
    throw ScriptError("Subframe is not supported by this host");
}

MemoryClip::MemoryClip(const VideoInfo& vi, std::vector<PVideoFrame> frames) : vi(vi), frames(std::move(frames)) {}

PVideoFrame MemoryClip::GetFrame(int n, IScriptEnvironment*) {
    if (frames.empty()) return PVideoFrame();
    return frames[(size_t)std::clamp(n, 0, (int)frames.size() - 1)];
}

void MemoryClip::GetAudio(void* buf, long long, long long count, IScriptEnvironment*) {
    std::memset(buf, 0, (size_t)(count * vi.nchannels * 2));
}

}  // namespace native_host
