// The native build's checksums of the shared conversion cases, one per line,
// for the Windows test host to hold the DLL's frames against.
#include <cstdio>

#include "frame_cases.h"
#include "native_host/native_host.h"
#include "plugin/cpp_plugin.h"

int main() {
    native_host::Environment env;
    AvisynthPluginInit2(&env);
    for (const frame_cases::Case& c : frame_cases::kCases) std::printf("%016llx\n", frame_cases::ConvertCase(&env, c));
    return 0;
}
