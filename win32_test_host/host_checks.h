// What the Windows test hosts share: the C runtime functions they call (no
// Microsoft headers exist here), pass/fail counting, and the native build's
// checksums of the shared conversion cases.
#pragma once

#include <stdarg.h>

#include "frame_cases.h"

extern "C" {
__declspec(dllimport) void* __stdcall LoadLibraryA(const char* name);
__declspec(dllimport) void* __stdcall GetProcAddress(void* module, const char* name);
int __cdecl printf(const char* fmt, ...) noexcept;
int __cdecl _vsnprintf(char* buffer, size_t size, const char* fmt, va_list args) noexcept;
int __cdecl strcmp(const char* a, const char* b) noexcept;
size_t __cdecl strlen(const char* s) noexcept;
void* __cdecl fopen(const char* path, const char* mode) noexcept;
char* __cdecl fgets(char* line, int size, void* file) noexcept;
int __cdecl fclose(void* file) noexcept;
__declspec(noreturn) void __cdecl exit(int status) noexcept;
}

namespace host_checks {

inline int passed = 0, failed = 0;

inline void Check(bool ok, const char* what) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        printf("FAILED: %s\n", what);
    }
}

inline unsigned long long ParseHex(const char* text) {
    unsigned long long value = 0;
    for (; *text; ++text) {
        const char c = *text;
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) break;
        value = value * 16 + (unsigned)digit;
    }
    return value;
}

// Checks each case's frame checksum from convert(case) against the native
// build's, read from native_checksums.txt in the working folder.
template <class Convert>
void CheckAgainstNativeChecksums(Convert convert) {
    void* checksums = fopen("native_checksums.txt", "r");
    Check(checksums != nullptr, "native_checksums.txt is there");
    char line[64];
    for (int i = 0; checksums && i < frame_cases::kCaseCount; ++i) {
        const bool read = fgets(line, sizeof line, checksums) != nullptr;
        const unsigned long long dll = convert(frame_cases::kCases[i]);
        const bool same = read && dll == ParseHex(line);
        if (!same) printf("case %d: DLL %08x%08x\n", i, (unsigned)(dll >> 32), (unsigned)dll);
        Check(same, "frames equal the native build's");
    }
    if (checksums) fclose(checksums);
}

// Prints "N passed, N failed"; the exit status.
inline int Finish() {
    printf("%d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}

}  // namespace host_checks
