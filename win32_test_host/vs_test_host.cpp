// A stand-in VapourSynth core, built for Windows x64 as VapourSynth is. It
// loads bitgrade64.dll by name, calls its API 4 entry point and checks the
// registration, frames against the native build's checksums (sources laid
// out as the native host lays them out: rows 16-byte aligned, zero padding),
// a creation error, a frame that cannot be made, and that freeing the filter
// frees its source. Prints "N passed, N failed".
#include "host/vs_api.h"
#include "host_checks.h"

extern "C" {
void* __cdecl calloc(size_t count, size_t n) noexcept;
}

using host_checks::Check;
using namespace vs_api;

// The core's objects; the plugin sees them only as pointers.
struct vs_api::VSFrame {
    VSVideoFormat format;
    BYTE* planes[3];
    int strides[3];
};

struct vs_api::VSNode {
    int refs;
    VSVideoInfo vi;
    // A filter's; a source has none and makes frames from the shared pattern.
    VSFilterGetFrame getFrame;
    VSFilterFree free;
    void* instance;
    VSNode* source;
};

struct vs_api::VSFrameContext {
    VSNode* requested;
    const char* error;
};

// A map holds at most one clip, the script arguments and an error.
struct vs_api::VSMap {
    VSNode* clip;
    const char* names[8];
    int values[8], count;
    const char* error;
};

namespace {

const VSAPI* Api();

int Align16(int bytes) { return (bytes + 15) / 16 * 16; }

VSFrame* AllocateFrame(const VSVideoFormat* format, int width, int height) {
    VSFrame* f = (VSFrame*)calloc(1, sizeof(VSFrame));
    f->format = *format;
    for (int p = 0; p < 3; ++p) {
        const int w = p ? width >> format->subSamplingW : width, h = p ? height >> format->subSamplingH : height;
        f->strides[p] = Align16(w * format->bytesPerSample);
        f->planes[p] = (BYTE*)calloc((size_t)f->strides[p] * h, 1);
    }
    return f;
}

// The core runs out of memory for the filter's new frames.
bool outOfMemory = false;

VSFrame* VS_CC NewVideoFrame(const VSVideoFormat* format, int width, int height, const VSFrame*, VSCore*) {
    return outOfMemory ? nullptr : AllocateFrame(format, width, height);
}

void VS_CC FreeFrame(const VSFrame* f) {
    for (BYTE* plane : f->planes) free(plane);
    free((void*)f);
}

void VS_CC FreeNode(VSNode* node) {
    if (--node->refs > 0) return;
    if (node->free) node->free(node->instance, nullptr, Api());
    free(node);
}

const VSVideoInfo* VS_CC GetVideoInfo(VSNode* node) { return &node->vi; }
ptrdiff_t VS_CC GetStride(const VSFrame* f, int plane) { return f->strides[plane]; }
const uint8_t* VS_CC GetReadPtr(const VSFrame* f, int plane) { return f->planes[plane]; }
uint8_t* VS_CC GetWritePtr(VSFrame* f, int plane) { return f->planes[plane]; }

int VS_CC GetVideoFormatByID(VSVideoFormat* format, uint32_t id, VSCore*) {
    const int bits = (int)(id >> 16 & 0xFF);
    *format = VSVideoFormat{(int)(id >> 28),       (int)(id >> 24 & 0xF), bits, bits <= 8 ? 1 : 2,
                            (int)(id >> 8 & 0xFF), (int)(id & 0xFF),      3};
    return 1;
}

// A source's frame: the shared pattern, planes of the source's size.
const VSFrame* SourceFrame(const VSNode* source) {
    VSFrame* f = AllocateFrame(&source->vi.format, source->vi.width, source->vi.height);
    for (int p = 0; p < 3; ++p) {
        const int w = p ? source->vi.width / 2 : source->vi.width, h = p ? source->vi.height / 2 : source->vi.height;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) f->planes[p][y * f->strides[p] + x] = frame_cases::Sample(x, y, p, w);
    }
    return f;
}

const VSFrame* VS_CC GetFrameFilter(int, VSNode* node, VSFrameContext* ctx) {
    return node == ctx->requested ? SourceFrame(node) : nullptr;
}
void VS_CC RequestFrameFilter(int, VSNode* node, VSFrameContext* ctx) { ctx->requested = node; }
void VS_CC SetFilterError(const char* message, VSFrameContext* ctx) { ctx->error = message; }
void VS_CC MapSetError(VSMap* map, const char* message) { map->error = message; }

int VS_CC MapGetIntSaturated(const VSMap* map, const char* key, int, int* error) {
    for (int i = 0; i < map->count; ++i)
        if (strcmp(map->names[i], key) == 0) {
            *error = 0;
            return map->values[i];
        }
    *error = 1;
    return 0;
}

// The stand-in's maps hold ints only: no data argument is given.
const char* VS_CC MapGetData(const VSMap*, const char*, int, int* error) {
    *error = 1;
    return nullptr;
}

VSNode* VS_CC MapGetNode(const VSMap* map, const char*, int, int*) {
    ++map->clip->refs;
    return map->clip;
}

void VS_CC CreateVideoFilter(VSMap* out, const char*, const VSVideoInfo* vi, VSFilterGetFrame getFrame,
                             VSFilterFree free, int filterMode, const VSFilterDependency* dependencies, int numDeps,
                             void* instance, VSCore*) {
    Check(filterMode == fmParallel && numDeps == 1 && dependencies[0].requestPattern == rpStrictSpatial,
          "parallel, frame n from source frame n");
    VSNode* node = (VSNode*)calloc(1, sizeof(VSNode));
    *node = VSNode{1, *vi, getFrame, free, instance, dependencies[0].source};
    out->clip = node;
}

const VSAPI* Api() {
    static VSAPI api = [] {
        VSAPI a = {};
        a.createVideoFilter = CreateVideoFilter;
        a.freeNode = FreeNode;
        a.getVideoInfo = GetVideoInfo;
        a.newVideoFrame = NewVideoFrame;
        a.freeFrame = FreeFrame;
        a.getStride = GetStride;
        a.getReadPtr = GetReadPtr;
        a.getWritePtr = GetWritePtr;
        a.getVideoFormatByID = GetVideoFormatByID;
        a.getFrameFilter = GetFrameFilter;
        a.requestFrameFilter = RequestFrameFilter;
        a.setFilterError = SetFilterError;
        a.mapSetError = MapSetError;
        a.mapGetIntSaturated = MapGetIntSaturated;
        a.mapGetData = MapGetData;
        a.mapGetNode = MapGetNode;
        return a;
    }();
    return &api;
}

// What the plugin registers.
struct Registration {
    const char *id, *ns, *name, *args, *returnType;
    VSPublicFunction create;
    int functions;
} registration;

int VS_CC ConfigPlugin(const char* id, const char* ns, const char*, int, int apiVersion, int, VSPlugin*) {
    registration.id = id;
    registration.ns = ns;
    Check(apiVersion >> 16 == 4, "API major version 4");
    return 1;
}

int VS_CC RegisterFunction(const char* name, const char* args, const char* returnType, VSPublicFunction create, void*,
                           VSPlugin*) {
    registration.name = name;
    registration.args = args;
    registration.returnType = returnType;
    registration.create = create;
    ++registration.functions;
    return 1;
}

VSNode* NewSource(int width, int height) {
    VSNode* source = (VSNode*)calloc(1, sizeof(VSNode));
    source->refs = 1;
    GetVideoFormatByID(&source->vi.format, pfYUV420P8, nullptr);
    source->vi.width = width;
    source->vi.height = height;
    source->vi.numFrames = 1;
    return source;
}

// Frame 0 of a filter, asked for as the core asks: the frame, and the
// error it set.
const VSFrame* FilterFrame(VSNode* filter, VSNode* source, const char** error) {
    VSFrameContext ctx = {nullptr, nullptr};
    void* frameData = nullptr;
    Check(
        !filter->getFrame(0, arInitial, filter->instance, &frameData, &ctx, nullptr, Api()) && ctx.requested == source,
        "frame 0 asks for source frame 0 first");
    const VSFrame* frame = filter->getFrame(0, arAllFramesReady, filter->instance, &frameData, &ctx, nullptr, Api());
    *error = ctx.error;
    return frame;
}

// Bitgrade(source, sseopt, span, ythr, cthr, debug) as the core calls it.
VSMap Create(VSNode* source, const frame_cases::Case& c) {
    VSMap in = {
        source, {"sseopt", "span", "ythr", "cthr", "debug"}, {c.sseopt, c.span, c.ythr, c.cthr, c.debug}, 5, nullptr};
    VSMap out = {};
    registration.create(&in, &out, nullptr, nullptr, Api());
    return out;
}

unsigned long long ConvertCase(const frame_cases::Case& c) {
    VSNode* source = NewSource(c.width, c.height);
    const VSMap made = Create(source, c);
    unsigned long long hash = 0;
    if (made.clip) {
        VSNode* filter = made.clip;
        const char* error = nullptr;
        const VSFrame* frame = FilterFrame(filter, source, &error);
        Check(frame && !error, "a frame, no error");
        if (frame) {
            const BYTE* const planes[3] = {frame->planes[0], frame->planes[1], frame->planes[2]};
            hash = frame_cases::HashPlanes(planes, frame->strides, c.width * frame->format.bytesPerSample, c.height);
            FreeFrame(frame);
        }
        FreeNode(filter);
    }
    Check(source->refs == 1, "freeing the filter frees its source");
    FreeNode(source);
    return hash;
}

int RunChecks() {
    void* dll = LoadLibraryA("bitgrade64.dll");
    Check(dll != nullptr, "LoadLibrary(bitgrade64.dll)");
    if (!dll) return host_checks::Finish();
    typedef void (*InitFunction)(VSPlugin*, const VSPLUGINAPI*);
    const InitFunction init = (InitFunction)GetProcAddress(dll, "VapourSynthPluginInit2");
    Check(init != nullptr, "GetProcAddress of the entry point");
    if (!init) return host_checks::Finish();

    const VSPLUGINAPI pluginApi = {nullptr, ConfigPlugin, RegisterFunction};
    init(nullptr, &pluginApi);
    Check(registration.ns && strcmp(registration.ns, "bitgrade") == 0, "the namespace bitgrade");
    Check(registration.functions == 1 && strcmp(registration.name, "Bitgrade") == 0, "one function, Bitgrade");
    Check(registration.functions == 1 &&
              strcmp(registration.args,
                     "clip:vnode;sseopt:int:opt;span:int:opt;ythr:int:opt;cthr:int:opt;debug:int:opt;depth:int:opt;"
                     "dither:data:opt;maxspan:int:opt;bits:int:opt;plateaus:int:opt") == 0 &&
              strcmp(registration.returnType, "clip:vnode;") == 0,
          "the argument string and the return type");
    if (registration.functions != 1) return host_checks::Finish();

    host_checks::CheckAgainstNativeChecksums(ConvertCase);

    VSNode* narrow = NewSource(24, 16);
    const VSMap refused = Create(narrow, frame_cases::Case{24, 16, 4, 3, 1, 1, false});
    Check(!refused.clip && refused.error &&
              strcmp(refused.error, "levelize: \"sseopt\" should be 0 to 3.(default:0)") == 0,
          "a creation error arrives as the map's error");
    Check(narrow->refs == 1, "the source's count returns after a creation error");
    const VSMap vector = Create(narrow, frame_cases::Case{24, 16, 3, 3, 1, 1, false});
    Check(vector.clip != nullptr, "the vector converter takes a width that is no multiple of 16");
    if (vector.clip) FreeNode(vector.clip);
    FreeNode(narrow);

    VSNode* source = NewSource(64, 16);
    const VSMap made = Create(source, frame_cases::Case{64, 16, 3, 3, 1, 1, false});
    outOfMemory = true;
    const char* error = nullptr;
    Check(
        made.clip && !FilterFrame(made.clip, source, &error) && error &&
            strcmp(error, "levelize: Not enough memory for the conversion buffers; use a smaller frame or span.") == 0,
        "a frame that cannot be made is a frame error");
    outOfMemory = false;
    if (made.clip) FreeNode(made.clip);
    FreeNode(source);
    return host_checks::Finish();
}

}  // namespace

extern "C" void __cdecl HostEntry() { exit(RunChecks()); }
