// The command over long streams, as a child process whose use of the
// machine is measured: memory and page faults that do not grow with the
// stream, no allocation per frame, memory in flight bounded by bytes, and a
// shrinking input that still ends at a frame boundary.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "command.h"

using namespace command;

namespace {

// A stream of `frames` frames of `width`x`height`, each a different level,
// written through one reused frame so that this process, whose memory a
// child starts with, stays as it is.
void WriteStream(const std::string& file, int frames, int width = 320, int height = 240) {
    std::ofstream out(file, std::ios::binary);
    out << "YUV4MPEG2 W" << width << " H" << height << " F25:1 Ip A1:1 C420jpeg\n";
    std::string frame((size_t)width * height * 3 / 2, 0);
    for (int f = 0; f < frames; ++f) {
        std::fill(frame.begin(), frame.end(), (char)(f % 200));
        out << "FRAME\n" << frame;
    }
}

struct ChildUse {
    int status = -1;
    long maxKiB = 0, minorFaults = 0;
};

// The command with `options`, its input `file` given as its path or written
// into a pipe on its standard input, its output thrown away.
ChildUse RunOn(const std::string& file, bool piped, const std::vector<std::string>& options = {}) {
    int pipeFds[2];
    if (piped && pipe(pipeFds) != 0) return {};
    const pid_t child = fork();
    if (child == 0) {
        if (piped && (dup2(pipeFds[0], STDIN_FILENO) < 0 || close(pipeFds[0]) != 0 || close(pipeFds[1]) != 0))
            _exit(126);
        if (!std::freopen("/dev/null", "w", stdout)) _exit(126);
        std::vector<const char*> argv = {kProgram.c_str(), "--quiet"};
        for (const std::string& option : options) argv.push_back(option.c_str());
        argv.push_back(piped ? "-" : file.c_str());
        argv.push_back(nullptr);
        execv(kProgram.c_str(), (char* const*)argv.data());
        _exit(127);
    }
    if (piped) {
        close(pipeFds[0]);
        std::ifstream in(file, std::ios::binary);
        char buffer[1 << 16];
        while (in.read(buffer, sizeof buffer) || in.gcount() > 0)
            if (write(pipeFds[1], buffer, (size_t)in.gcount()) != in.gcount()) break;
        close(pipeFds[1]);
    }
    int status = 0;
    struct rusage usage = {};
    if (wait4(child, &status, 0, &usage) != child) return {};
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, usage.ru_maxrss, usage.ru_minflt};
}

#if defined(__SANITIZE_ADDRESS__)
const bool kSanitized = true;
#elif defined(__has_feature)
const bool kSanitized = __has_feature(address_sanitizer);
#else
const bool kSanitized = false;
#endif

// Every frame passes through the same few buffers: 600 frames (69 MB) take
// no more memory and no more page faults than 6, from a file and through a
// pipe. A buffer allocated or touched anew for each frame would cost a frame
// (345 KiB, 84 pages) each. (A sanitized build's own bookkeeping pages in
// memory on a schedule of its own, so there only the memory is held.)
TEST_F(Command, LongStreamsKeepMemoryAndPagesFlat) {
    WriteStream(Path("short.y4m"), 6);
    WriteStream(Path("long.y4m"), 600);
    for (bool piped : {false, true}) {
        const ChildUse shortRun = RunOn(Path("short.y4m"), piped), longRun = RunOn(Path("long.y4m"), piped);
        ASSERT_EQ(shortRun.status, 0);
        ASSERT_EQ(longRun.status, 0);
        const char* way = piped ? "piped" : "from a file";
        EXPECT_LT(longRun.maxKiB - shortRun.maxKiB, 2 * 1024) << "KiB more for 600 frames than for 6, " << way;
        if (!kSanitized) {
            EXPECT_LT(longRun.minorFaults - shortRun.minorFaults, 100) << "page faults more for 600 frames, " << way;
        }
    }
}

// Counted by valgrind, whose report ends "total heap usage: N allocs": about
// the same for 106 frames as for 6. A worker's scratch memory is allocated
// when it first converts a frame, so on a busy machine a short run may have
// left a worker idle and made a few fewer; an allocation a frame would make
// a hundred more.
TEST_F(Command, LongStreamsAllocateNothingPerFrame) {
    if (kSanitized) GTEST_SKIP() << "valgrind cannot run a sanitized build";
    if (Shell("command -v valgrind").status != 0) GTEST_SKIP() << "valgrind is not installed";
    WriteStream(Path("short.y4m"), 6);
    WriteStream(Path("long.y4m"), 106);
    auto allocations = [&](const std::string& file) {
        const Result r = Shell("valgrind --tool=memcheck --leak-check=no " + kProgram + " --quiet --threads 2 " + file +
                               " > /dev/null");
        std::smatch found;
        EXPECT_TRUE(std::regex_search(r.err, found, std::regex("total heap usage: ([0-9,]+) allocs"))) << r.err;
        return std::stol(std::regex_replace(found[1].str(), std::regex(","), ""));
    };
    const long more = allocations(Path("long.y4m")) - allocations(Path("short.y4m"));
    EXPECT_LE(more, 4) << "allocations more for 106 frames than for 6";
}

// Frames of 1024x1024 take 4.5 MiB from reading to writing: 256 threads
// would hold 1.2 GB in flight, the budget holds them to 512 MiB.
TEST_F(Command, MemoryInFlightIsBoundedByBytes) {
    WriteStream(Path("big.y4m"), 140, 1024, 1024);
    const ChildUse use = RunOn(Path("big.y4m"), false, {"--threads", "256"});
    ASSERT_EQ(use.status, 0);
    EXPECT_LT(use.maxKiB, (512 + 128) * 1024);
}

const int kW = 640, kH = 480;
const size_t kOutHeader = std::string("YUV4MPEG2 W640 H480 F25:1 C420p16\n").size();
const size_t kOutFrame = 6 + (size_t)kW * kH * 3;

// A file that shrinks while it is read: the frames before its new end are
// written whole, then the message.
TEST_F(Command, AShrinkingInputEndsAtAFrameBoundaryWithItsMessage) {
    const std::string file = Path("shrinking.y4m");
    WriteStream(file, 60, kW, kH);
    ChildSetup setup;
    setup.messages = Path("messages");
    Child child(Child::Bitgrade({"--threads", "1", file}), setup);
    ASSERT_GT(child.pid, 0);
    // The child waits on its full output pipe, a few frames into the file.
    const std::string first = child.Read(kOutHeader + kOutFrame);
    const size_t frameBytes = 6 + (size_t)kW * kH * 3 / 2;
    ASSERT_EQ(truncate(file.c_str(), (off_t)(std::string("YUV4MPEG2 W640 H480 F25:1 Ip A1:1 C420jpeg\n").size() +
                                             30 * frameBytes + 100)),
              0);
    const std::string rest = child.Read();
    const int status = child.Wait();
    EXPECT_EQ(first.size() + rest.size(), kOutHeader + std::string(" Ip A1:1").size() + 30 * kOutFrame);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(Text(Path("messages")), "bitgrade: error: the input file became shorter while it was being read\n");
}

}  // namespace
