// The frame server VapourSynth's plugin interface, API 4, as this plugin
// uses it: the plugin-side function table and the core's function table up
// to the last function the plugin calls, in the core's order. Functions the
// plugin does not call keep their place as untyped slots. Everything is in
// namespace vs_api, so that a test can hold these layouts against the
// core's own header in one file.
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define VS_CC __stdcall
#else
#define VS_CC
#endif

namespace vs_api {

// API 4.0: the core takes any plugin of major version 4 and a minor version
// up to its own, and 4.0 is what every core of API 4 runs.
const int kApiVersion = 4 << 16;

struct VSFrame;
struct VSNode;
struct VSCore;
struct VSPlugin;
struct VSMap;
struct VSFrameContext;

enum : int { cfUndefined = 0, cfGray = 1, cfRGB = 2, cfYUV = 3 };
enum : int { stInteger = 0, stFloat = 1 };
enum : int { fmParallel = 0 };
enum : int { arInitial = 0, arAllFramesReady = 1 };
enum : int { rpStrictSpatial = 2 };
// Preset format identifiers: colour family, sample type, bits and the two
// subsamplings, packed.
constexpr uint32_t VideoFormatId(int family, int sampleType, int bits, int subSamplingW, int subSamplingH) {
    return (uint32_t)family << 28 | (uint32_t)sampleType << 24 | (uint32_t)bits << 16 | (uint32_t)subSamplingW << 8 |
           (uint32_t)subSamplingH;
}
const uint32_t pfYUV420P8 = VideoFormatId(cfYUV, stInteger, 8, 1, 1);
const uint32_t pfYUV420P16 = VideoFormatId(cfYUV, stInteger, 16, 1, 1);

struct VSVideoFormat {
    int colorFamily, sampleType, bitsPerSample, bytesPerSample;
    int subSamplingW, subSamplingH;  // log2 of the chroma planes' subsampling
    int numPlanes;
};

// A clip of varying format has colour family cfUndefined; of varying size,
// width and height 0.
struct VSVideoInfo {
    VSVideoFormat format;
    int64_t fpsNum, fpsDen;
    int width, height;
    int numFrames;
};

struct VSFilterDependency {
    VSNode* source;
    int requestPattern;
};

struct VSAPI;

typedef void(VS_CC* VSPublicFunction)(const VSMap* in, VSMap* out, void* userData, VSCore* core, const VSAPI* vsapi);
typedef const VSFrame*(VS_CC* VSFilterGetFrame)(int n, int activationReason, void* instanceData, void** frameData,
                                                VSFrameContext* frameCtx, VSCore* core, const VSAPI* vsapi);
typedef void(VS_CC* VSFilterFree)(void* instanceData, VSCore* core, const VSAPI* vsapi);
typedef void(VS_CC* VSUnused)(void);

struct VSPLUGINAPI {
    int(VS_CC* getAPIVersion)(void);
    int(VS_CC* configPlugin)(const char* identifier, const char* pluginNamespace, const char* name, int pluginVersion,
                             int apiVersion, int flags, VSPlugin* plugin);
    int(VS_CC* registerFunction)(const char* name, const char* args, const char* returnType, VSPublicFunction argsFunc,
                                 void* functionData, VSPlugin* plugin);
};

struct VSAPI {
    void(VS_CC* createVideoFilter)(VSMap* out, const char* name, const VSVideoInfo* vi, VSFilterGetFrame getFrame,
                                   VSFilterFree free, int filterMode, const VSFilterDependency* dependencies,
                                   int numDeps, void* instanceData, VSCore* core);
    VSUnused createVideoFilter2, createAudioFilter, createAudioFilter2, setLinearFilter, setCacheMode, setCacheOptions;
    void(VS_CC* freeNode)(VSNode* node);
    VSUnused addNodeRef, getNodeType;
    const VSVideoInfo*(VS_CC* getVideoInfo)(VSNode* node);
    VSUnused getAudioInfo;
    VSFrame*(VS_CC* newVideoFrame)(const VSVideoFormat* format, int width, int height, const VSFrame* propSrc,
                                   VSCore* core);
    VSUnused newVideoFrame2, newAudioFrame, newAudioFrame2;
    void(VS_CC* freeFrame)(const VSFrame* f);
    VSUnused addFrameRef, copyFrame, getFramePropertiesRO, getFramePropertiesRW;
    ptrdiff_t(VS_CC* getStride)(const VSFrame* f, int plane);
    const uint8_t*(VS_CC* getReadPtr)(const VSFrame* f, int plane);
    uint8_t*(VS_CC* getWritePtr)(VSFrame* f, int plane);
    VSUnused getVideoFrameFormat, getAudioFrameFormat, getFrameType, getFrameWidth, getFrameHeight, getFrameLength,
        getVideoFormatName, getAudioFormatName, queryVideoFormat, queryAudioFormat, queryVideoFormatID;
    int(VS_CC* getVideoFormatByID)(VSVideoFormat* format, uint32_t id, VSCore* core);
    VSUnused getFrame, getFrameAsync;
    const VSFrame*(VS_CC* getFrameFilter)(int n, VSNode* node, VSFrameContext* frameCtx);
    void(VS_CC* requestFrameFilter)(int n, VSNode* node, VSFrameContext* frameCtx);
    VSUnused releaseFrameEarly, cacheFrame;
    void(VS_CC* setFilterError)(const char* errorMessage, VSFrameContext* frameCtx);
    VSUnused createFunction, freeFunction, addFunctionRef, callFunction, createMap, freeMap, clearMap, copyMap;
    void(VS_CC* mapSetError)(VSMap* map, const char* errorMessage);
    VSUnused mapGetError, mapNumKeys, mapGetKey, mapDeleteKey, mapNumElements, mapGetType, mapSetEmpty, mapGetInt;
    int(VS_CC* mapGetIntSaturated)(const VSMap* map, const char* key, int index, int* error);
    VSUnused mapGetIntArray, mapSetInt, mapSetIntArray, mapGetFloat, mapGetFloatSaturated, mapGetFloatArray,
        mapSetFloat, mapSetFloatArray;
    const char*(VS_CC* mapGetData)(const VSMap* map, const char* key, int index, int* error);
    int(VS_CC* mapGetDataSize)(const VSMap* map, const char* key, int index, int* error);
    VSUnused mapGetDataTypeHint, mapSetData;
    VSNode*(VS_CC* mapGetNode)(const VSMap* map, const char* key, int index, int* error);
};

}  // namespace vs_api
