// The real VapourSynth's function table, from the library that the build
// made (VAPOURSYNTH_LIBRARY), opened local to this process; null where it
// cannot be loaded. For the tests and the benchmark in it.
#pragma once

#include <VapourSynth4.h>
#include <dlfcn.h>

inline const VSAPI* VapourSynthApi() {
    static const VSAPI* api = [] {
        void* library = dlopen(VAPOURSYNTH_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        auto get = library ? (VSGetVapourSynthAPI)dlsym(library, "getVapourSynthAPI") : nullptr;
        return get ? get(VAPOURSYNTH_API_VERSION) : nullptr;
    }();
    return api;
}
