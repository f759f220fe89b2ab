// bitgrade: 8-bit YUV4MPEG2 in, 16-bit YUV4MPEG2 out, for ffmpeg and x265
// pipelines. Frames go through the same converters as a script's, chosen
// and checked the same way.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <thread>

#include "convert/messages.h"
#include "demo.h"
#include "frame_engine.h"
#include "y4m.h"

namespace {

const char kUsage[] =
    "Usage: bitgrade [options] [INPUT] [OUTPUT]\n"
    "       bitgrade --demo OUT.png [OUT.y4m]\n"
    "\n"
    "Turns 8-bit 4:2:0 YUV4MPEG2 video into 16-bit (C420p16) without banding.\n"
    "INPUT and OUTPUT default to '-', standard input and output.\n"
    "\n"
    "Options (the script function's arguments and defaults):\n"
    "  --sseopt N    converter: 0 fastest this processor runs (streaming for widths\n"
    "                that are not a multiple of 16), 1 plain, 2 streaming, 3 vector\n"
    "                (needs a width that is a multiple of 16)                   [0]\n"
    "  --span N      radius of the averaging window for luma; chroma uses half [3]\n"
    "  --ythr N      edge pixels a luma window may hold and still be averaged  [1]\n"
    "  --cthr N      the same for chroma                                        [1]\n"
    "                Levels 2 and 3 give the same output for thresholds from -32769\n"
    "                to 255*(2r+1)-1, r being the window's radius (span for luma,\n"
    "                span/2 for chroma): up to 1784 and 764 at the default span.\n"
    "                Above, level 3 also averages the columns at the row ends.\n"
    "  --debug       output the 8-bit decision map (C420): 0 averaged, 95 flat,\n"
    "                255 edge; chroma 128\n"
    "  --threads N   frames converted at once            [number of cores]\n"
    "  --cpu ISA     the vector converter's kernels: sse41 or avx2\n"
    "                                              [the fastest this processor runs]\n"
    "  --quiet       print nothing but errors\n"
    "  --demo OUT.png [OUT.y4m]\n"
    "                convert a built-in banded gradient; write input, output and\n"
    "                map side by side as a PNG, and the 16-bit clip if asked\n"
    "  --unfiltered  for benchmarks: no filter, samples written as sample * 256\n"
    "  --help        this text\n"
    "  --version     the plugin's version\n"
    "\n"
    "Example:\n"
    "  ffmpeg -i in.mkv -f yuv4mpegpipe -pix_fmt yuv420p - | bitgrade |\n"
    "    x265 --y4m --input - --output-depth 10 -o out.hevc\n";

// The most frames converted at once that --threads takes.
const unsigned kMaxThreads = 256;

struct Options {
    cli::FilterArgs filter;
    // One thread a core, within what --threads takes even on the largest
    // machines.
    int threads = (int)std::clamp(std::thread::hardware_concurrency(), 1u, kMaxThreads);
    bool quiet = false;
    bool demo = false;
    std::vector<std::string> paths;
};

// Clears the rest of a terminal's line, where a longer progress line may
// stand.
const char* const kEraseLine = "\x1b[K";

[[noreturn]] void Fail(const std::string& message, int status = 1) {
    // On a terminal the message takes the place of an unfinished progress line.
    const bool terminal = isatty(STDERR_FILENO);
    std::fprintf(stderr, "%sbitgrade: %s%s\n", terminal ? "\r" : "", message.c_str(), terminal ? kEraseLine : "");
    std::exit(status);
}

// A whole number in lo..hi, or a usage error that names the option.
int ParseInt(const char* option, const char* text, long lo = INT32_MIN, long hi = INT32_MAX) {
    char* end = nullptr;
    errno = 0;
    const long value = text ? std::strtol(text, &end, 10) : 0;
    if (!text || *text == '\0' || *end != '\0') Fail(std::string(option) + " needs a whole number (see --help)", 2);
    if (errno == ERANGE || value < lo || value > hi)
        Fail(std::string(option) + " must be " + std::to_string(lo) + " to " + std::to_string(hi), 2);
    return (int)value;
}

// --cpu: the vector converter's instruction set, if this processor runs it.
void ForceIsa(bitgrade::Processor& processor, const char* name) {
    const std::string isa = name ? name : "";
    if (isa != "sse41" && isa != "avx2") Fail("--cpu needs sse41 or avx2 (see --help)", 2);
    if (processor.sseLevel < 3 || (isa == "avx2" && processor.vectorIsa != bitgrade::VectorIsa::kAvx2))
        Fail("--cpu " + isa + ": this processor does not run it", 2);
    processor.vectorIsa = isa == "avx2" ? bitgrade::VectorIsa::kAvx2 : bitgrade::VectorIsa::kSse41;
}

Options ParseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--sseopt") o.filter.sseopt = ParseInt("--sseopt", next), ++i;
        else if (arg == "--span") o.filter.settings.span = ParseInt("--span", next), ++i;
        else if (arg == "--ythr") o.filter.settings.ythr = ParseInt("--ythr", next), ++i;
        else if (arg == "--cthr") o.filter.settings.cthr = ParseInt("--cthr", next), ++i;
        else if (arg == "--threads") o.threads = ParseInt("--threads", next, 1, kMaxThreads), ++i;
        else if (arg == "--cpu") ForceIsa(o.filter.processor, next), ++i;
        else if (arg == "--unfiltered") o.filter.unfiltered = true;
        else if (arg == "--debug") o.filter.settings.debug = true;
        else if (arg == "--quiet") o.quiet = true;
        else if (arg == "--demo") o.demo = true;
        else if (arg == "--help") std::fputs(kUsage, stdout), std::exit(0);
        else if (arg == "--version") std::printf("bitgrade, plugin %s\n", BITGRADE_VERSION), std::exit(0);
        else if (arg.size() > 1 && arg[0] == '-') Fail("unknown option " + arg + " (see --help)", 2);
        else o.paths.push_back(arg);
    }
    if (o.paths.size() > 2) Fail("too many paths: give at most INPUT and OUTPUT (see --help)", 2);
    if (o.demo && o.paths.empty()) Fail("--demo needs the path of the PNG to write", 2);
    if (o.filter.unfiltered && (o.filter.settings.debug || o.demo)) Fail("--unfiltered writes 16-bit samples only", 2);
    return o;
}

FILE* Open(const std::string& path, bool output) {
    if (path == "-") return output ? stdout : stdin;
    FILE* f = std::fopen(path.c_str(), output ? "wb" : "rb");
    if (!f) Fail("cannot open " + std::string(output ? "output '" : "input '") + path + "': " + std::strerror(errno));
    return f;
}

// Opening the output empties it: were it the input file itself, the input
// would be gone before its first frame was read (or, appended to, would grow
// under the reader).
void RefuseOutputOverInput(FILE* in, const std::string& outPath) {
    struct stat input, output;
    const int found = outPath == "-" ? fstat(STDOUT_FILENO, &output) : stat(outPath.c_str(), &output);
    if (found != 0 || fstat(fileno(in), &input) != 0 || !S_ISREG(input.st_mode) || input.st_dev != output.st_dev ||
        input.st_ino != output.st_ino)
        return;
    Fail((outPath == "-" ? "the standard output" : "output '" + outPath + "'") +
         " is the input file; write the output to another file");
}

// Writes or ends the program: a closed pipe ends it quietly, any other
// failure with a message.
void Write(FILE* out, const void* data, size_t bytes, const std::string& path) {
    if (std::fwrite(data, 1, bytes, out) == bytes) return;
    if (errno == EPIPE) std::exit(0);
    Fail("cannot write to '" + path + "': " + std::strerror(errno));
}

const char* PluralS(int count) { return count == 1 ? "" : "s"; }

class Progress {
public:
    // `total`: the frames expected, or 0 when unknown (a pipe).
    Progress(bool show, int total) : show(show), total(total), start(Clock::now()), last(start) {}
    void Frame(int frames) {
        const auto now = Clock::now();
        if (!show || now - last < std::chrono::milliseconds(250)) return;
        last = now;
        const double fps = frames / Seconds(now);
        if (total > frames)
            std::fprintf(stderr, "\rframe %d of %d  %.1f fps  %s elapsed  %s left%s", frames, total, fps,
                         Elapsed(now).c_str(), MinutesSeconds(Seconds(now) * (total - frames) / frames).c_str(),
                         kEraseLine);
        else std::fprintf(stderr, "\rframe %d  %.1f fps  %s elapsed%s", frames, fps, Elapsed(now).c_str(), kEraseLine);
    }
    void Summary(int frames, const y4m::StreamHeader& h, const cli::FrameEngine& engine) {
        if (!show) return;
        const auto now = Clock::now();
        std::fprintf(stderr, "\rbitgrade: %d frame%s of %dx%d, level %d%s%s, %d thread%s, %.1f fps, %s elapsed%s\n",
                     frames, PluralS(frames), h.width, h.height, engine.Level(), *engine.Isa() ? " " : "", engine.Isa(),
                     engine.Threads(), PluralS(engine.Threads()), frames / Seconds(now), Elapsed(now).c_str(),
                     kEraseLine);
    }

private:
    using Clock = std::chrono::steady_clock;
    double Seconds(Clock::time_point now) const {
        return std::max(1e-6, std::chrono::duration<double>(now - start).count());
    }
    std::string Elapsed(Clock::time_point now) const { return MinutesSeconds(Seconds(now)); }
    static std::string MinutesSeconds(double seconds) {
        const int s = (int)seconds;
        char text[32];
        std::snprintf(text, sizeof text, "%d:%02d", s / 60, s % 60);
        return text;
    }
    bool show;
    int total;
    Clock::time_point start, last;
};

// The script function refuses the vector converter for widths that are not
// a multiple of 16; the command, asked for the fastest converter, takes the
// streaming one for them instead.
cli::FilterArgs FilterFor(const Options& o, int width) {
    cli::FilterArgs args = o.filter;
    if (args.sseopt == 0 && width % 16 != 0 && args.processor.sseLevel == 3) {
        args.sseopt = 2;
        if (!o.quiet)
            std::fprintf(stderr,
                         "bitgrade: width %d is not a multiple of 16, which the vector converter needs; "
                         "using the streaming converter\n",
                         width);
    }
    return args;
}

int Convert(const Options& o) {
    const std::string inPath = o.paths.size() > 0 ? o.paths[0] : "-";
    const std::string outPath = o.paths.size() > 1 ? o.paths[1] : "-";
    FILE* in = Open(inPath, false);
    y4m::Reader reader(in);
    y4m::StreamHeader header;
    try {
        header = reader.ReadHeader();
    } catch (const y4m::Error& e) {
        Fail(e.what());
    }
    std::unique_ptr<cli::FrameEngine> engine;
    try {
        engine = std::make_unique<cli::FrameEngine>(header.width, header.height, FilterFor(o, header.width), o.threads);
    } catch (const cli::CreationError& e) {
        const bool width = std::strcmp(e.what(), BITGRADE_MSG_WIDTH16) == 0;
        Fail(std::string(e.what()) + (width ? "\nhint: --sseopt 2 converts any width" : ""));
    }
    RefuseOutputOverInput(in, outPath);
    FILE* out = Open(outPath, true);
    std::setvbuf(out, nullptr, _IOFBF, 1 << 20);
    const std::string head = y4m::OutputHeader(header, o.filter.settings.debug);
    Write(out, head.data(), head.size(), outPath);

    Progress progress(!o.quiet && isatty(STDERR_FILENO), reader.ExpectedFrames());
    std::deque<std::string> frames;  // the FRAME parameters of those in the engine, in order
    int written = 0;
    std::vector<uint8_t> converted;
    auto writeOldest = [&] {
        engine->Collect(converted);
        const std::string line = "FRAME" + frames.front() + "\n";
        frames.pop_front();
        reader.FrameDone();
        Write(out, line.data(), line.size(), outPath);
        Write(out, converted.data(), converted.size(), outPath);
        progress.Frame(++written);
    };
    std::string inputError;
    try {
        std::vector<uint8_t> buffer;
        const uint8_t* samples;
        std::string frameParams;
        while (reader.NextFrame(buffer, samples, frameParams)) {
            engine->Submit(buffer, samples);
            frames.push_back(frameParams);
            while (engine->Pending() >= 2 * (size_t)engine->Threads()) writeOldest();
        }
    } catch (const y4m::Error& e) {
        inputError = e.what();  // every complete frame before it is still written
    }
    try {
        while (engine->Pending() > 0) writeOldest();
    } catch (const std::runtime_error& e) {
        Fail(e.what());
    }
    if (std::fflush(out) != 0) {
        if (errno == EPIPE) return 0;
        Fail("cannot write to '" + outPath + "': " + std::strerror(errno));
    }
    if (!inputError.empty()) Fail(inputError);
    progress.Summary(written, header, *engine);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    const Options o = ParseOptions(argc, argv);
    if (o.demo) {
        try {
            cli::RunDemo(o.paths[0], o.paths.size() > 1 ? o.paths[1] : "", o.filter, o.threads, o.quiet);
        } catch (const std::exception& e) {
            Fail(e.what());
        }
        return 0;
    }
    return Convert(o);
}
