// The bitgrade command run as a user runs it, for the tests: each test in a
// folder of its own, commands through a shell, inputs made on the spot.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace command {

struct Result {
    int status;
    std::string out, err;
};

inline const std::string kProgram = BITGRADE_CLI;

// Each test works in a folder of its own, removed afterwards, pass or fail.
class Command : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "bitgrade_XXXXXX";
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        if (!dir.empty()) std::filesystem::remove_all(dir);
    }

    std::string Path(const std::string& name) const { return dir + "/" + name; }

    // Runs a shell command, with `input` on its standard input.
    Result Shell(const std::string& command, const std::string& input = "") const {
        const std::string in = Path("stdin"), err = Path("stderr");
        std::ofstream(in, std::ios::binary) << input;
        FILE* pipe = popen(("(" + command + ") < " + in + " 2> " + err).c_str(), "r");
        Result r;
        char buffer[65536];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) r.out.append(buffer, n);
        const int status = pclose(pipe);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::stringstream text;
        text << std::ifstream(err).rdbuf();
        r.err = text.str();
        return r;
    }

    bool HaveTool(const char* name) const { return Shell(std::string("command -v ") + name).status == 0; }

    // A lavfi source rendered once into a file, so that every run sees the
    // same frames (some sources are random).
    std::string SourceFile(const std::string& source) const {
        const std::string path = Path("source.y4m");
        const Result r = Shell("ffmpeg -v error -y -f lavfi -i '" + source +
                               "' -frames:v 3 -s 320x240 -f yuv4mpegpipe -pix_fmt yuv420p " + path);
        EXPECT_EQ(r.status, 0) << r.err;
        return path;
    }

    std::string RawFrames(const std::string& y4mFile) const {
        return Shell("ffmpeg -v error -i " + y4mFile + " -f rawvideo -pix_fmt yuv420p -").out;
    }

    std::string dir;
};

// One frame of a YUV4MPEG2 stream, every sample `level`.
inline std::string Frame(int w, int h, uint8_t level) {
    return "FRAME\n" + std::string((size_t)w * h * 3 / 2, (char)level);
}

inline const std::string kHeader = "YUV4MPEG2 W16 H16 F25:1 Ip A1:1 C420jpeg\n";

}  // namespace command
