// How a plugin's entry point is exported: the only symbol of ours that a
// host looks up.
#pragma once

#if defined(_WIN32)
#define BITGRADE_EXPORT extern "C" __declspec(dllexport)
#else
#define BITGRADE_EXPORT extern "C" __attribute__((visibility("default")))
#endif
