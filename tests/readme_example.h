// The README's plugin examples, as the plugin tests run them: its fenced
// blocks, and the files they load from an install prefix of this build.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace testing_support {

// The first block of the README fenced as ```fence, or "" when there is none.
inline std::string ReadmeBlock(const std::string& fence) {
    std::ifstream readme(BITGRADE_SOURCE_DIR "/README.md");
    std::string line, block;
    bool inside = false;
    while (std::getline(readme, line)) {
        if (!inside) inside = line == "```" + fence;
        else if (line == "```") return block;
        else block += line + "\n";
    }
    return "";
}

// This build installed (`cmake --install`) into a prefix of its own, once
// per test program and removed at its end; the prefix, or "" when the
// install failed.
inline const std::string& InstallPrefix() {
    struct Prefix {
        Prefix() {
            char pattern[] = "/tmp/bitgrade-prefix-XXXXXX";
            if (!mkdtemp(pattern)) return;
            dir = pattern;
            const std::string command = "cmake --install '" BITGRADE_BINARY_DIR "' --prefix '" + dir + "' >/dev/null";
            if (std::system(command.c_str()) == 0) path = dir;
        }
        ~Prefix() {
            if (!dir.empty()) std::filesystem::remove_all(dir);
        }
        std::string dir, path;
    };
    static const Prefix prefix;
    return prefix.path;
}

// The example with the prefix it names, /usr/local, made the test's prefix.
inline std::string Installed(std::string example) {
    const std::string from = "/usr/local";
    for (size_t at = example.find(from); at != std::string::npos; at = example.find(from, at))
        example.replace(at, from.size(), InstallPrefix()), at += InstallPrefix().size();
    return example;
}

}  // namespace testing_support
