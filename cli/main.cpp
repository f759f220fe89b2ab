// Placeholder until the command-line program lands: converts a built-in
// gradient through the plugin and prints a summary.
#include <cstdio>

#include "native_host/native_host.h"
#include "plugin/plugin.h"

int main() {
    native_host::Environment env;
    std::printf("%s\n", AvisynthPluginInit2(&env));
    return 0;
}
