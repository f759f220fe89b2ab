// What the Windows DLL needs in place of a C runtime's start-up code: an
// entry point that does nothing (no static constructors exist to run),
// operator new and delete on msvcrt's heap, and the marker the linker looks
// for when floating point is used.
#include "../convert/runtime.h"

extern "C" int _fltused = 0;

extern "C" int __stdcall DllEntry(void*, unsigned long, void*) { return 1; }

void* operator new(size_t size) {
    void* p = malloc(size ? size : 1);
    if (!p) abort();
    return p;
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }
