// Stopping the command as users do, and writes that fail: every stop signal,
// sent at a random moment into a long run from a file, a ready pipe or a
// stalled pipe, into a file or a slow reader, ends the command by that
// signal within a second, its output ending at a frame boundary; a second
// signal ends it at once; Ctrl-C reaches a whole pipeline; a full disk or a
// file size limit leaves whole frames and says how many.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "command.h"

using namespace command;

namespace {

const int kW = 640, kH = 480;
const std::string kStreamHeader = "YUV4MPEG2 W640 H480 F25:1\n";
const std::string kOutHeader = "YUV4MPEG2 W640 H480 F25:1 C420p16\n";
const size_t kOutFrame = 6 + (size_t)kW * kH * 3;

using Clock = std::chrono::steady_clock;

// Frames of different levels, so that no two neighbours are alike.
std::string Frames(int count, int from = 0) {
    std::string frames;
    for (int f = from; f < from + count; ++f) frames += Frame(kW, kH, (uint8_t)(f * 37 % 256));
    return frames;
}

const char* SignalName(int signal) { return signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "SIGHUP"; }

// What an ended run left: how it ended, how long after the signal, and its
// output.
struct Ended {
    int status;
    double seconds;
    std::string output;
};

// The output holds the header and whole frames only.
void ExpectWholeFrames(const std::string& output, const std::string& header = kOutHeader) {
    ASSERT_GE(output.size(), header.size());
    EXPECT_EQ(output.compare(0, header.size(), header), 0);
    EXPECT_EQ((output.size() - header.size()) % kOutFrame, 0u)
        << (output.size() - header.size()) % kOutFrame << " bytes past the last whole frame";
}

void ExpectEndedBy(int status, int signal) {
    ASSERT_TRUE(WIFSIGNALED(status)) << "exited with " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), signal);
}

enum class Source { kFile, kReadyPipe, kStalledPipe };
enum class Sink { kFile, kSlowReader };

struct StopCase {
    int signal, level;
    Source source;
    Sink sink;
};

void PrintTo(const StopCase& c, std::ostream* os) {
    const char* sources[] = {"file", "ready pipe", "stalled pipe"};
    *os << SignalName(c.signal) << " level " << c.level << " from a " << sources[(int)c.source] << " into a "
        << (c.sink == Sink::kFile ? "file" : "slow reader");
}

class Stop : public Command, public ::testing::WithParamInterface<StopCase> {
protected:
    void SetUp() override {
        Command::SetUp();
        std::signal(SIGPIPE, SIG_IGN);  // feeding a child that has ended fails, it does not end the test
    }
};

// The run is long at every level: 120 frames from a file at level 2 (about
// half a second), an endless pipe, or a reader that takes 64 KiB a
// millisecond. The signal comes up to 230 ms after the header is out.
TEST_P(Stop, EndsByTheSignalWithinASecondWithWholeFrames) {
    const StopCase c = GetParam();
    std::vector<std::string> args = {"--threads", "1", "--sseopt", std::to_string(c.level)};
    const std::string in = Path("in.y4m"), out = Path("out.y4m");
    if (c.source == Source::kFile) {
        std::ofstream(in, std::ios::binary) << kStreamHeader << Frames(120);
        args.push_back(in);
    } else if (c.sink == Sink::kFile) {
        args.push_back("-");
    }
    if (c.sink == Sink::kFile) args.push_back(out);
    ChildSetup setup;
    setup.messages = Path("messages");
    Child child(Child::Bitgrade(args), setup);
    ASSERT_GT(child.pid, 0);

    const std::string frames = Frames(8);
    std::thread feeder([&] {
        if (c.source == Source::kFile) return child.CloseInput();
        child.Feed(kStreamHeader);
        if (c.source == Source::kStalledPipe) return child.Feed(frames + frames.substr(0, 5000));
        for (int round = 0; round < 10000; ++round) child.Feed(frames);  // until the child goes
    });
    std::string piped;
    std::atomic<size_t> pipedBytes{0};
    std::thread reader([&, fd = child.TakeOutput()] {
        char buffer[1 << 16];
        for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) {
            piped.append(buffer, (size_t)got);
            pipedBytes = piped.size();
            if (c.sink == Sink::kSlowReader) usleep(1000);
        }
        close(fd);
    });

    // The run is under way once the header is out, however slowly the
    // command starts (a sanitized build on a busy machine).
    auto written = [&] {
        struct stat st;
        return c.sink == Sink::kFile ? (stat(out.c_str(), &st) == 0 ? (size_t)st.st_size : 0) : pipedBytes.load();
    };
    for (int wait = 0; wait < 2000 && written() < kOutHeader.size(); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    const int delay = std::uniform_int_distribution<int>(0, 230)(random);
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    const Clock::time_point sent = Clock::now();
    kill(child.pid, c.signal);
    const int status = child.Wait();
    const double seconds = std::chrono::duration<double>(Clock::now() - sent).count();
    reader.join();
    child.CloseInput();
    feeder.join();

    SCOPED_TRACE("signal sent " + std::to_string(delay) + " ms after the header (seed " + std::to_string(seed) + ")");
    ExpectEndedBy(status, c.signal);
    EXPECT_LT(seconds, 1.0);
    ExpectWholeFrames(c.sink == Sink::kFile ? Text(out) : piped);
    EXPECT_EQ(Text(Path("messages")), "");
}

std::vector<StopCase> StopCases() {
    std::vector<StopCase> cases;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        cases.push_back({signal, 2, Source::kFile, Sink::kFile});
        cases.push_back({signal, 2, Source::kReadyPipe, Sink::kFile});
        cases.push_back({signal, 3, Source::kReadyPipe, Sink::kFile});
        cases.push_back({signal, 3, Source::kFile, Sink::kSlowReader});
        cases.push_back({signal, 2, Source::kStalledPipe, Sink::kSlowReader});
        cases.push_back({signal, 3, Source::kStalledPipe, Sink::kSlowReader});
    }
    return cases;
}

std::string StopCaseName(const ::testing::TestParamInfo<StopCase>& info) {
    const StopCase& c = info.param;
    const char* sources[] = {"File", "ReadyPipe", "StalledPipe"};
    return std::string(SignalName(c.signal)) + "_Level" + std::to_string(c.level) + "_" + sources[(int)c.source] +
           "To" + (c.sink == Sink::kFile ? "File" : "SlowReader");
}

INSTANTIATE_TEST_SUITE_P(AtRandomMoments, Stop, ::testing::ValuesIn(StopCases()), StopCaseName);

void PrintTo(Sink sink, std::ostream* os) { *os << (sink == Sink::kFile ? "into a file" : "into a stalled pipe"); }

class SecondStop : public Command, public ::testing::WithParamInterface<Sink> {};

// The first signal leaves frames to finish: level 1 into a file (with
// windows of 33 by 33 pixels, summed pixel by pixel, a frame takes most of a
// second), or a writer held up by a reader that reads nothing. The second ends the command at once by its own signal,
// and a file holds whole frames.
TEST_P(SecondStop, EndsTheCommandAtOnce) {
    const bool file = GetParam() == Sink::kFile;
    const std::string out = Path("out.y4m");
    std::vector<std::string> args = {"--threads", "1"};
    if (file) args.insert(args.end(), {"--sseopt", "1", "--span", "16", "-", out});
    Child child(Child::Bitgrade(args));
    ASSERT_GT(child.pid, 0);
    std::signal(SIGPIPE, SIG_IGN);
    child.Feed(kStreamHeader + Frames(4));
    // The header out, and the first frame read: frames are under way.
    if (file) {
        struct stat st = {};
        for (int wait = 0; wait < 2000 && (stat(out.c_str(), &st) != 0 || (size_t)st.st_size < kOutHeader.size());
             ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } else {
        ASSERT_EQ(child.Read(kOutHeader.size()), kOutHeader);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    kill(child.pid, SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    int status = 0;
    ASSERT_EQ(waitpid(child.pid, &status, WNOHANG), 0) << "the first signal should leave frames to finish";
    const Clock::time_point sent = Clock::now();
    kill(child.pid, SIGTERM);
    status = child.Wait();
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - sent).count(), 0.5);
    ExpectEndedBy(status, SIGTERM);
    if (file) ExpectWholeFrames(Text(out));
}

INSTANTIATE_TEST_SUITE_P(WhileTheLastFramesAreWritten, SecondStop, ::testing::Values(Sink::kFile, Sink::kSlowReader),
                         [](const auto& info) { return info.param == Sink::kFile ? "IntoAFile" : "IntoAStalledPipe"; });

// Ctrl-C in a terminal reaches every process of the pipeline at once: ffmpeg
// ends its stream, and the command still ends by the signal, not as if the
// stream had simply ended.
TEST_F(Command, CtrlCToAPipelineWithFfmpegInFrontEndsItByTheSignal) {
    if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    ChildSetup group;
    group.group = 0;
    Child ffmpeg({"ffmpeg", "-v", "error", "-nostdin", "-f", "lavfi", "-i", "testsrc2=size=640x480:rate=25", "-f",
                  "yuv4mpegpipe", "-pix_fmt", "yuv420p", "-"},
                 group);
    ASSERT_GT(ffmpeg.pid, 0);
    ChildSetup joined;
    joined.group = ffmpeg.pid;
    joined.input = ffmpeg.TakeOutput();
    const std::string out = Path("out.y4m");
    Child bitgrade(Child::Bitgrade({"-", out}), joined);
    close(joined.input);
    ASSERT_GT(bitgrade.pid, 0);
    // The stream is under way once a frame is out, however slowly the two
    // start; Ctrl-C comes at a random moment after that.
    struct stat written = {};
    for (int wait = 0; wait < 1000 && (stat(out.c_str(), &written) != 0 || (size_t)written.st_size < kOutFrame); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GE((size_t)written.st_size, kOutFrame) << "no frame came through within 10 s";
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    const int delay = std::uniform_int_distribution<int>(0, 300)(random);
    SCOPED_TRACE("Ctrl-C " + std::to_string(delay) + " ms after the first frame (seed " + std::to_string(seed) + ")");
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    kill(-ffmpeg.pid, SIGINT);
    ExpectEndedBy(bitgrade.Wait(), SIGINT);
    ffmpeg.Wait();
    const std::string output = Text(out);
    const size_t headerEnd = output.find('\n') + 1;
    ASSERT_GT(headerEnd, 0u);
    EXPECT_EQ(output.compare(headerEnd - 9, 9, " C420p16\n"), 0) << output.substr(0, headerEnd);
    ExpectWholeFrames(output, output.substr(0, headerEnd));
}

// A stop, and then the reader of the output goes away while the last frames
// wait to be written: the command still ends by the signal, not as a
// pipeline whose reader simply closed.
TEST_F(Command, AStopThenAClosedOutputPipeEndsByTheSignal) {
    const std::string in = Path("in.y4m");
    std::ofstream(in, std::ios::binary) << kStreamHeader << Frames(40);
    Child child(Child::Bitgrade({"--threads", "1", in}));
    ASSERT_GT(child.pid, 0);
    ASSERT_EQ(child.Read(kOutHeader.size()), kOutHeader);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the pipe fills up, the writer waits
    kill(child.pid, SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    close(child.TakeOutput());
    ExpectEndedBy(child.Wait(), SIGTERM);
}

// A stop, and the input ends part-way through a frame (an upstream that the
// same stop ended): the stop is what the status tells, after the frames
// read whole. The reader meets the end first, while the writer waits for a
// full pipe; the signal comes then.
TEST_F(Command, AStopThenATruncatedInputEndsByTheSignal) {
    Child child(Child::Bitgrade({"--threads", "1"}));
    ASSERT_GT(child.pid, 0);
    std::signal(SIGPIPE, SIG_IGN);
    child.Feed(kStreamHeader + Frames(2) + Frames(1).substr(0, 5000));
    child.CloseInput();
    ASSERT_EQ(child.Read(kOutHeader.size()), kOutHeader);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(child.pid, SIGTERM);
    const std::string frames = child.Read();
    ExpectEndedBy(child.Wait(), SIGTERM);
    EXPECT_EQ(frames.size(), 2 * kOutFrame);
}

// Without --quiet a stop says how many frames went out, the frames that the
// output holds.
TEST_F(Command, AStopSaysHowManyFramesWentOut) {
    const std::string in = Path("in.y4m"), out = Path("out.y4m");
    std::ofstream(in, std::ios::binary) << kStreamHeader << Frames(120);
    ChildSetup setup;
    setup.messages = Path("messages");
    Child child({kProgram, "--threads", "1", "--sseopt", "2", in, out}, setup);
    ASSERT_GT(child.pid, 0);
    struct stat st = {};
    for (int wait = 0; wait < 2000 && (stat(out.c_str(), &st) != 0 || (size_t)st.st_size < kOutHeader.size()); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    kill(child.pid, SIGINT);
    ExpectEndedBy(child.Wait(), SIGINT);
    const std::string output = Text(out);
    ExpectWholeFrames(output);
    const size_t frames = (output.size() - kOutHeader.size()) / kOutFrame;
    EXPECT_EQ(Text(Path("messages")),
              "bitgrade: stopped after " + std::to_string(frames) + (frames == 1 ? " frame\n" : " frames\n"));
}

// A parent may hand over a non-blocking output pipe: a full pipe is waited
// for, not a failed write.
TEST_F(Command, ANonBlockingOutputPipeIsWaitedFor) {
    const std::string in = Path("in.y4m");
    std::ofstream(in, std::ios::binary) << kStreamHeader << Frames(5);
    ChildSetup setup;
    setup.messages = Path("messages");
    setup.nonBlockingOutput = true;
    Child child(Child::Bitgrade({in}), setup);
    ASSERT_GT(child.pid, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the pipe fills up
    const std::string output = child.Read();
    const int status = child.Wait();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << Text(Path("messages"));
    EXPECT_EQ(output.size(), kOutHeader.size() + 5 * kOutFrame);
}

// A write that fails part-way through a frame: the file size limit
// (RLIMIT_FSIZE) gives the same EFBIG on any machine that a file system's
// own limit gives. The output is cut back to the frames it held whole, and
// the message, where OUT stands for the output's name, says how many.
struct WriteLimit {
    const char* name;
    int64_t limit;  // bytes
    bool standardOutput;
    const char* message;
    size_t frames;  // left in the file
};

void PrintTo(const WriteLimit& c, std::ostream* os) { *os << c.name; }

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

class WriteErrors : public Command, public ::testing::WithParamInterface<WriteLimit> {};

TEST_P(WriteErrors, LeaveWholeFramesAndSayHowMany) {
    const WriteLimit c = GetParam();
    const std::string in = Path("in.y4m"), out = Path("out.y4m");
    std::ofstream(in, std::ios::binary) << kStreamHeader << Frames(5);
    ChildSetup setup;
    setup.messages = Path("messages");
    setup.fileSizeLimit = c.limit;
    Child child({"sh", "-c", "exec " + kProgram + " " + in + (c.standardOutput ? " > " : " ") + out}, setup);
    ASSERT_GT(child.pid, 0);
    const int status = child.Wait();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(Text(Path("messages")), Replaced(c.message, "OUT", "'" + out + "'"));
    const std::string output = Text(out);
    EXPECT_EQ(output.size(), kOutHeader.size() + c.frames * kOutFrame);
}

INSTANTIATE_TEST_SUITE_P(
    FileSizeLimit, WriteErrors,
    ::testing::Values(WriteLimit{"InsideTheThirdFrame", 2500 * 1024, false,
                                 "bitgrade: cannot write to OUT: File too large; it was cut back to its last whole "
                                 "frame and holds 2 frames\n",
                                 2},
                      WriteLimit{"InsideTheSecondFrameOfTheStandardOutput", 1200 * 1024, true,
                                 "bitgrade: cannot write to the standard output: File too large; it was cut back to "
                                 "its last whole frame and holds 1 frame\n",
                                 1}),
    [](const auto& info) { return std::string(info.param.name); });

// An output that cannot be cut back says how many whole frames went out.
TEST_F(Command, AFailedWriteToADeviceSaysWhatWentOut) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    const Result r = Shell(kProgram + " > /dev/full", kStreamHeader + Frames(2));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "bitgrade: cannot write to the standard output: No space left on device; 0 whole frames went out before "
              "it, and part of the next may follow them (only a file can be cut back)\n");
}

// A real full disk, where this machine lets the test mount a small one in a
// mount namespace of its own.
TEST_F(Command, AFullDiskLeavesWholeFramesAndSaysHowMany) {
    const std::string in = Path("in.y4m"), disk = Path("disk"), out = disk + "/out.y4m";
    std::ofstream(in, std::ios::binary) << kStreamHeader << Frames(5);
    ASSERT_EQ(mkdir(disk.c_str(), 0700), 0);
    const Result r = Shell("unshare -m sh -c 'mount -t tmpfs -o size=2m tmpfs " + disk + " || exit 99; " + kProgram +
                           " " + in + " " + out + " 2> " + Path("messages") + "; echo $?; stat -c %s " + out + "'");
    if (r.status != 0) GTEST_SKIP() << "no tmpfs can be mounted here: " << r.err;
    EXPECT_EQ(Numbers(r.out), (std::vector<long long>{1, (long long)(kOutHeader.size() + 2 * kOutFrame)}));
    EXPECT_EQ(Text(Path("messages")), "bitgrade: cannot write to '" + out +
                                          "': No space left on device; it was cut back to its last whole frame and "
                                          "holds 2 frames\n");
}

}  // namespace
