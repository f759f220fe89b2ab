// The bitgrade command run as a user runs it, for the tests: each test in a
// folder of its own, commands through a shell, inputs made on the spot.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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

// The whitespace-separated numbers a shell printed (an exit status, a size),
// as numbers; a word that is none fails the test that asked.
inline std::vector<long long> Numbers(const std::string& text) {
    std::istringstream words(text);
    std::vector<long long> numbers;
    for (std::string word; words >> word;) {
        size_t used = 0;
        numbers.push_back(std::stoll(word, &used));
        if (used != word.size()) throw std::invalid_argument("not a number: " + word);
    }
    return numbers;
}

inline std::string Text(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// How a Child starts: where its messages go, the file size it may write
// (RLIMIT_FSIZE; -1 for none), its process group (-1: this one's, 0: a new
// one of its own, else that group), its standard input (-1: a pipe that
// the test feeds), and whether its output pipe is non-blocking, as a parent
// may leave it.
struct ChildSetup {
    std::string messages = "/dev/null";
    int64_t fileSizeLimit = -1;
    pid_t group = -1;
    int input = -1;
    bool nonBlockingOutput = false;
};

// A program, by default the command, as a child whose input this test feeds
// through a pipe and whose output it reads through another. The child starts
// with the default disposition of every stop signal and none blocked,
// whatever this process was given.
class Child {
public:
    // The command with `args` after --quiet.
    static std::vector<std::string> Bitgrade(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {kProgram, "--quiet"};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    Child(const std::vector<std::string>& argv, const ChildSetup& setup = ChildSetup()) {
        int in[2] = {-1, -1}, out[2];
        if ((setup.input < 0 && pipe(in) != 0) || pipe(out) != 0) return;
        pid = fork();
        if (pid == 0) {
            for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ}) signal(s, SIG_DFL);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            if (setup.group >= 0) setpgid(0, setup.group);
            if (setup.fileSizeLimit >= 0) {
                const struct rlimit limit = {(rlim_t)setup.fileSizeLimit, (rlim_t)setup.fileSizeLimit};
                setrlimit(RLIMIT_FSIZE, &limit);
            }
            dup2(setup.input >= 0 ? setup.input : in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            if (setup.nonBlockingOutput) fcntl(STDOUT_FILENO, F_SETFL, O_NONBLOCK);
            if (!std::freopen(setup.messages.c_str(), "w", stderr)) _exit(126);
            for (int fd : {in[0], in[1], out[0], out[1], setup.input})
                if (fd > STDERR_FILENO) close(fd);
            std::vector<const char*> args;
            for (const std::string& arg : argv) args.push_back(arg.c_str());
            args.push_back(nullptr);
            execvp(args[0], (char* const*)args.data());
            _exit(127);
        }
        if (setup.group >= 0) setpgid(pid, setup.group);  // either side may come first
        if (in[0] >= 0) close(in[0]);
        close(out[1]);
        input = in[1];
        output = out[0];
    }
    ~Child() {
        CloseInput();
        if (output >= 0) close(output);
        if (pid > 0 && !waited) Wait();
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // All of `bytes`, or as much as the child takes before it goes away.
    void Feed(const std::string& bytes) const {
        for (size_t at = 0; at < bytes.size();) {
            const ssize_t written = write(input, bytes.data() + at, bytes.size() - at);
            if (written <= 0) return;
            at += (size_t)written;
        }
    }
    void CloseInput() {
        if (input >= 0) close(input);
        input = -1;
    }
    // The read end of the child's output, which the caller then owns.
    int TakeOutput() {
        const int fd = output;
        output = -1;
        return fd;
    }
    // Reads until `bytes` of output have come, or to its end when 0.
    std::string Read(size_t bytes = 0) const {
        std::string out;
        char buffer[1 << 16];
        while (bytes == 0 || out.size() < bytes) {
            const ssize_t got =
                read(output, buffer, bytes ? std::min(sizeof buffer, bytes - out.size()) : sizeof buffer);
            if (got <= 0) break;
            out.append(buffer, (size_t)got);
        }
        return out;
    }
    int Wait() {
        int status = 0;
        waitpid(pid, &status, 0);
        waited = true;
        return status;
    }

    pid_t pid = -1;

private:
    int input = -1, output = -1;
    bool waited = false;
};

// One frame of a YUV4MPEG2 stream, every sample `level`.
inline std::string Frame(int w, int h, uint8_t level) {
    return "FRAME\n" + std::string((size_t)w * h * 3 / 2, (char)level);
}

inline const std::string kHeader = "YUV4MPEG2 W16 H16 F25:1 Ip A1:1 C420jpeg\n";

}  // namespace command
