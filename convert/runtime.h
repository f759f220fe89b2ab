// The only door from the core and the plugins to the C runtime. The Windows
// DLLs link against msvcrt.dll with no Microsoft headers available, so there
// the few functions we use are declared by hand; native builds take the
// system's.
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && defined(BITGRADE_MSVCRT)
extern "C" {
void* __cdecl memcpy(void* dst, const void* src, size_t n) noexcept;
void* __cdecl memset(void* dst, int value, size_t n) noexcept;
void* __cdecl malloc(size_t n) noexcept;
void __cdecl free(void* p) noexcept;
void* __cdecl _aligned_malloc(size_t n, size_t alignment) noexcept;
void __cdecl _aligned_free(void* p) noexcept;
void __cdecl _assert(const char* condition, const char* file, unsigned line) noexcept;
__declspec(noreturn) void __cdecl abort(void) noexcept;
}
#else
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#endif

namespace bitgrade {

inline void CopyBytes(void* dst, const void* src, size_t n) { memcpy(dst, src, n); }
inline void FillBytes(void* dst, uint8_t value, size_t n) { memset(dst, value, n); }

// Scratch memory is 16-byte aligned so that vector kernels may use aligned
// loads at every row start.
inline void* AllocAligned16(size_t n) {
#if defined(_WIN32) && defined(BITGRADE_MSVCRT)
    return _aligned_malloc(n, 16);
#else
    void* p = nullptr;
    return posix_memalign(&p, 16, n) == 0 ? p : nullptr;
#endif
}

inline void FreeAligned16(void* p) {
#if defined(_WIN32) && defined(BITGRADE_MSVCRT)
    _aligned_free(p);
#else
    free(p);
#endif
}

// A broken internal invariant: report it the way the C runtime reports a
// failed assertion, and stop.
[[noreturn]] inline void ReportCheckFailure(const char* condition, const char* file, unsigned line) {
#if defined(_WIN32) && defined(BITGRADE_MSVCRT)
    _assert(condition, file, line);
#else
    fprintf(stderr, "Assertion failed: %s, file %s, line %u\n", condition, file, line);
#endif
    abort();
}

}  // namespace bitgrade
