// bitgrade: 8-bit YUV4MPEG2 in, YUV4MPEG2 at the encoder's depth out, for
// ffmpeg, x265, SVT-AV1 and x264 pipelines. Frames go through the same
// converters as a script's, decided and checked the same way.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "convert/messages.h"
#include "convert/plane_common.h"
#include "demo.h"
#include "frame_filter.h"
#include "output.h"
#include "pipeline.h"
#include "report.h"
#include "stop_signals.h"
#include "y4m.h"

namespace {

const char kUsage[] =
    "Usage: bitgrade [options] [INPUT] [OUTPUT]\n"
    "       bitgrade --demo OUT.png [OUT.y4m]\n"
    "\n"
    "Turns YUV4MPEG2 video of 8 to 16 bits (C420, C422, C444, C411, Cmono;\n"
    "C420p10, ..., Cmono16) into 16-bit (C420p16, ...) without banding, or into\n"
    "the 12, 10 or 8 bits an encoder takes, dithered (--depth).\n"
    "INPUT and OUTPUT default to '-', standard input and output.\n"
    "\n"
    "Options (the script function's arguments and defaults):\n"
    "  --sseopt N    converter: 0 fastest this processor runs, 1 plain,\n"
    "                2 streaming, 3 vector                                      [0]\n"
    "  --span N      radius of the averaging window for luma; chroma's covers the\n"
    "                same area (4:2:0: half the span across and down)          [3]\n"
    "  --ythr N      edge pixels a luma window may hold and still be averaged  [1]\n"
    "  --cthr N      the same for chroma                                        [1]\n"
    "                Levels 2 and 3 give the same output for thresholds from -32769\n"
    "                to 255*(2r+1)-1, r being the radius down of the narrowest\n"
    "                window that fits the plane: span (chroma's shortened), or with a\n"
    "                negative span the narrowest --max-span rung. Above, level 3\n"
    "                also averages the columns at the row ends.\n"
    "  --max-span N  adaptive window: at each sample the widest of the windows N,\n"
    "                N/2, N/4, ... (while above --span), then --span, that\n"
    "                averages it; at most 127, levels 2 and 3 [off: --span]\n"
    "  --plateaus    for the plateaus an encoder leaves: each sample that no\n"
    "                window wider than --span averages takes the mean of the\n"
    "                samples within a level of it at a half, one, two and four\n"
    "                spans on eight rays, kept within its level; --span 1 to\n"
    "                31, levels 2 and 3                                   [off]\n"
    "  --bits B      the depth the input's bands were made at, 8 to its own:\n"
    "                a level is 2^(input bits - B) codes. Pass 8 for a 10-bit\n"
    "                copy of an 8-bit source, 10 for a 16-bit copy of a 10-bit\n"
    "                one             [the input's bits up to 12; 8 for 14 and 16]\n"
    "  --depth N     output bits: 16 (C420p16), 12 (C420p12), 10 (C420p10), or 8\n"
    "                (the input's own C tag), for encoders that take them       [16]\n"
    "  --dither D    how fewer bits keep the smooth gradients: ordered (a fixed\n"
    "                64x64 threshold matrix), diffusion (errors carried along\n"
    "                rows) or none (rounding)                             [ordered]\n"
    "  --debug       output the 8-bit decision map (C420): 0 averaged, 95 flat,\n"
    "                255 edge; chroma 128\n"
    "  --threads N   frames converted at once            [number of cores]\n"
    "  --cpu ISA     the vector converter's kernels: sse41 or avx2\n"
    "                                              [the fastest this processor runs]\n"
    "  --quiet       print nothing but errors\n"
    "  --demo OUT.png [OUT.y4m]\n"
    "                convert a built-in banded gradient; write input, output and\n"
    "                map side by side as a PNG, and the 16-bit clip if asked\n"
    "  --unfiltered  for benchmarks: no filter, samples shifted to 16 bits\n"
    "  --help, -h    this text\n"
    "  --version, -V the plugin's version\n"
    "Options take their value after a space or an '=' (--span=4).\n"
    "\n"
    "Example, for a bt709 limited-range source (the README's colour table gives\n"
    "the encoder flags of others; YUV4MPEG2 cannot carry them):\n"
    "  ffmpeg -i in.mkv -f yuv4mpegpipe -pix_fmt yuv420p - |\n"
    "    bitgrade --quiet --span 4 --max-span 40 --plateaus --depth 10 |\n"
    "    x265 --y4m --input - --output-depth 10 -o out.hevc --colormatrix bt709 \\\n"
    "      --colorprim bt709 --transfer bt709 --range limited --chromaloc 0\n";

// The most frames converted at once that --threads takes.
const unsigned kMaxThreads = 256;

struct Options {
    cli::FilterArgs filter;
    int bands = 0;  // --bits: the depth the input's bands were made at; 0 for the input's default
    // One thread a core, within what --threads takes even on the largest
    // machines.
    int threads = (int)std::clamp(std::thread::hardware_concurrency(), 1u, kMaxThreads);
    bool quiet = false;
    bool demo = false;
    std::vector<std::string> paths;
};

using cli::Fail;

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

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// A path that names no file to be made, whose name then says nothing of
// its content (a pipe, /dev/stdout).
bool IsPipeOrDevice(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

// A refusal of creation in the command's own words and option names.
[[noreturn]] void FailOption(bitgrade::Refusal refusal) {
    switch (refusal) {
    case bitgrade::Refusal::kBadSseopt: Fail("--sseopt must be 0 to 3 (see --help)", 2);
    case bitgrade::Refusal::kNoSse2: Fail("--sseopt 2 needs SSE2, which this processor lacks; use --sseopt 0 or 1", 2);
    case bitgrade::Refusal::kNoSse41:
        Fail("--sseopt 3 needs SSE4.1 and SSE3, which this processor lacks; use --sseopt 0, 1 or 2", 2);
    case bitgrade::Refusal::kMaxSpanWide: Fail("--max-span must be at most 127", 2);
    case bitgrade::Refusal::kMaxSpanPlain:
        Fail("--max-span needs --sseopt 0, 2 or 3; the plain converter has one window", 2);
    case bitgrade::Refusal::kPlateausPlain:
        Fail("--plateaus needs --sseopt 0, 2 or 3; the plain converter has one window", 2);
    case bitgrade::Refusal::kPlateausSpan: Fail("--plateaus needs a --span of 1 to 31", 2);
    case bitgrade::Refusal::kPlateausDebug: Fail("--plateaus has no map; leave out --debug", 2);
    case bitgrade::Refusal::kBadDepth: Fail("--depth must be 8, 10, 12 or 16", 2);
    case bitgrade::Refusal::kBadDither: Fail("--dither needs ordered, diffusion or none (see --help)", 2);
    default: Fail(bitgrade::MessageOf(refusal), 2);
    }
}

// --cpu: the vector converter's instruction set, if this processor runs it.
void ForceIsa(bitgrade::Processor& processor, const char* name) {
    const std::string isa = name ? name : "";
    if (isa != "sse41" && isa != "avx2") Fail("--cpu needs sse41 or avx2 (see --help)", 2);
    if (processor.sseLevel < (int)bitgrade::Level::kVector ||
        (isa == "avx2" && processor.vectorIsa != bitgrade::VectorIsa::kAvx2))
        Fail("--cpu " + isa + ": this processor does not run it", 2);
    processor.vectorIsa = isa == "avx2" ? bitgrade::VectorIsa::kAvx2 : bitgrade::VectorIsa::kSse41;
}

Options ParseOptions(int argc, char** argv) {
    Options o;
    int sseopt = 0, bits = 16;
    bitgrade::Settings settings;
    bitgrade::DitherName dither;
    bitgrade::Processor processor = bitgrade::DetectProcessor();
    for (int i = 1; i < argc; ++i) {
        // An option's value follows it, or its '=' (--span=4), as with
        // ffmpeg's and x264's long options.
        // Values point into argv, which outlives them (a dither's name is
        // kept as a pointer).
        std::string arg = argv[i];
        const size_t equals = arg.rfind("--", 0) == 0 ? arg.find('=') : std::string::npos;
        const char* inlineValue = equals == std::string::npos ? nullptr : argv[i] + equals + 1;
        if (equals != std::string::npos) arg.resize(equals);
        bool valueTaken = false;
        auto value = [&]() -> const char* {
            valueTaken = true;
            if (inlineValue) return inlineValue;
            return i + 1 < argc ? argv[++i] : nullptr;
        };
        if (arg == "--sseopt") sseopt = ParseInt("--sseopt", value());
        else if (arg == "--span") settings.span = ParseInt("--span", value());
        else if (arg == "--ythr") settings.ythr = ParseInt("--ythr", value());
        else if (arg == "--cthr") settings.cthr = ParseInt("--cthr", value());
        else if (arg == "--max-span") settings.maxSpan = ParseInt("--max-span", value());
        else if (arg == "--depth") bits = ParseInt("--depth", value());
        else if (arg == "--bits") o.bands = ParseInt("--bits", value(), 8, 16);
        else if (arg == "--dither") {
            const char* name = value();
            dither = {name ? name : "", name ? std::strlen(name) : 0, true};
        } else if (arg == "--threads") o.threads = ParseInt("--threads", value(), 1, kMaxThreads);
        else if (arg == "--cpu") ForceIsa(processor, value());
        else if (arg == "--unfiltered") o.filter.unfiltered = true;
        else if (arg == "--debug") settings.debug = true;
        else if (arg == "--plateaus") settings.plateaus = true;
        else if (arg == "--quiet") o.quiet = true;
        else if (arg == "--demo") o.demo = true;
        else if (arg == "--help" || arg == "-h") std::fputs(kUsage, stdout), std::exit(0);
        else if (arg == "--version" || arg == "-V")
            std::printf("bitgrade, plugin %s\n", BITGRADE_VERSION), std::exit(0);
        else if (arg.size() > 1 && arg[0] == '-') Fail("unknown option " + arg + " (see --help)", 2);
        else o.paths.push_back(arg);
        if (equals != std::string::npos && !valueTaken) Fail(arg + " takes no value (see --help)", 2);
    }
    if (o.paths.size() > 2) Fail("too many paths: give at most INPUT and OUTPUT (see --help)", 2);
    if (o.demo && o.paths.empty()) Fail("--demo needs the path of the PNG to write", 2);
    if (o.demo && !EndsWith(o.paths[0], ".png") && !IsPipeOrDevice(o.paths[0]))
        Fail("--demo writes a PNG picture: give its path a .png name (not '" + o.paths[0] + "')", 2);
    // Every option is checked before any input is read (a frame's width
    // matters to no check of the command's).
    // The input's depth is not known yet: --bits is held against it once its
    // header is read. Until then, and for the demo, samples are 8-bit.
    const bitgrade::Creation c =
        bitgrade::Decide({true, 0, bitgrade::Widths::kAny}, processor, sseopt, settings, bits, dither);
    if (c.refusal != bitgrade::Refusal::kNone) FailOption(c.refusal);
    o.filter.conversion = c.conversion;
    const bool reduced = c.conversion.depth.Reduced();
    if (o.filter.unfiltered && (settings.debug || o.demo || reduced))
        Fail("--unfiltered writes 16-bit samples only", 2);
    if (o.demo && reduced) Fail("--demo shows and writes 16-bit output; leave --depth out", 2);
    return o;
}

// Which of the standard descriptors the caller left closed. They are opened
// on /dev/null, so that no file the command opens takes their place (an
// input opened as descriptor 1 would pass for the standard output).
struct ClosedStandardDescriptors {
    bool input = false, output = false;
};

ClosedStandardDescriptors OpenClosedStandardDescriptors() {
    bool closed[3] = {false, false, false};
    for (int fd = 0; fd < 3; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) closed[fd] = open("/dev/null", O_RDWR) == fd;
    return {closed[0], closed[1]};
}

int OpenInput(const std::string& path, const ClosedStandardDescriptors& closed) {
    if (path == "-") {
        if (closed.input) Fail("the standard input is closed; give the path of the INPUT");
        return STDIN_FILENO;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) Fail("cannot open input '" + path + "': " + std::strerror(errno));
    return fd;
}

// Opening the output empties it: were it the input file itself, the input
// would be gone before its first frame was read (or, appended to, would grow
// under the reader).
void RefuseOutputOverInput(int in, const std::string& outPath, const ClosedStandardDescriptors& closed) {
    if (outPath == "-" && closed.output)
        Fail("the standard output is closed; give the path of the OUTPUT or redirect the standard output");
    struct stat input, output;
    const int found = outPath == "-" ? fstat(STDOUT_FILENO, &output) : stat(outPath.c_str(), &output);
    if (found != 0 || fstat(in, &input) != 0 || !S_ISREG(input.st_mode) || input.st_dev != output.st_dev ||
        input.st_ino != output.st_ino)
        return;
    Fail((outPath == "-" ? "the standard output" : "output '" + outPath + "'") +
         " is the input file; write the output to another file");
}

// A span whose window fits no plane of the picture averages nothing.
void WarnWhereNothingFits(const bitgrade::Settings& settings, int width, int height) {
    bitgrade::Radii radii[bitgrade::Rungs::kMost];
    if (bitgrade::FittingRadii(settings, {}, height, width, radii) > 0) return;
    cli::Note("warning: the window of --span " + std::to_string(settings.span) + " fits no plane of " +
              std::to_string(width) + "x" + std::to_string(height) + ", so nothing is averaged; give a span below " +
              std::to_string((std::min(width, height) + 1) / 2));
}

// Deeper YUV4MPEG2 headers (C420p10, ...) name no chroma siting: where the
// input's C tag named one, the encoder must be told it.
void NoteLostSiting(const std::string& colourSpace, int bits) {
    const struct {
        const char* space;
        const char* siting;
        const char* flags;
    } sitings[] = {
        {"420mpeg2", "left", "x265 or x264 --chromaloc 0, SvtAv1EncApp --chroma-sample-position left"},
        {"420jpeg", "centre", "x265 or x264 --chromaloc 1 (AV1 has no flag for it)"},
        {"420paldv", "top left", "x265 or x264 --chromaloc 2, SvtAv1EncApp --chroma-sample-position topleft"},
    };
    for (const auto& s : sitings)
        if (colourSpace == s.space)
            cli::Note("note: the C420p" + std::to_string(bits) + " header cannot carry the input's chroma siting (C" +
                      colourSpace + ", " + s.siting + "); tell the encoder: " + s.flags);
}

int Convert(const Options& o, const ClosedStandardDescriptors& closed) {
    const std::string inPath = o.paths.size() > 0 ? o.paths[0] : "-";
    const std::string outPath = o.paths.size() > 1 ? o.paths[1] : "-";
    if (outPath == "-" && !closed.output && isatty(STDOUT_FILENO))
        Fail(
            "the standard output is a terminal, which shows no video; give the path of the OUTPUT, or pipe it to an "
            "encoder (see --help)",
            2);
    const int in = OpenInput(inPath, closed);
    const cli::StopSignals signals(!o.quiet);
    y4m::Reader reader(in, 16384, &signals, inPath == "-" ? "the standard input" : "'" + inPath + "'");
    y4m::StreamHeader header;
    try {
        header = reader.ReadHeader();
    } catch (const y4m::Error& e) {
        if (signals.Stopped()) signals.Reraise(0);
        Fail(e.what());
    } catch (const y4m::Interrupted&) {
        signals.Reraise(0);
    }
    // The input's depth is known now: its bands are as deep as --bits says,
    // or its default.
    if (o.bands > header.bits)
        Fail("--bits " + std::to_string(o.bands) + " is deeper than the input's " + std::to_string(header.bits) +
                 " bits; give 8 to " + std::to_string(header.bits),
             2);
    cli::FilterArgs args = o.filter;
    args.conversion.input = bitgrade::SampleDepth(header.bits, o.bands ? o.bands : bitgrade::DefaultBands(header.bits));
    const bitgrade::Conversion& c = args.conversion;
    if (!o.quiet) WarnWhereNothingFits(c.settings, header.width, header.height);
    if (!o.quiet && c.OutputBits() > 8) NoteLostSiting(header.colourSpace, c.OutputBits());
    const cli::FrameFilter filter(header.width, header.height, args, header.layout);
    RefuseOutputOverInput(in, outPath, closed);
    cli::Output output(outPath, &signals);
    output.WriteHeader(y4m::OutputHeader(header, c.settings.debug, c.depth.bits));

    cli::Progress progress(!o.quiet && isatty(STDERR_FILENO), reader.ExpectedFrames());
    cli::Pipeline pipeline(filter, o.threads);
    const cli::Ending ending = pipeline.Run(reader, output, [&](int frames) { progress.Frame(frames); });
    // A stop that came as the input ended (Ctrl-C reaches ffmpeg in front
    // too, which then ends its stream, maybe part-way through a frame) is a
    // stop all the same.
    if (ending.stopped || signals.Stopped()) signals.Reraise(ending.frames);
    if (!ending.error.empty()) Fail(ending.error);
    progress.Summary(ending.frames, header.width, header.height, filter.Level(), filter.Isa(), pipeline.Threads());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const ClosedStandardDescriptors closed = OpenClosedStandardDescriptors();
    std::signal(SIGPIPE, SIG_IGN);
    // A file size limit is a write error like a full disk, which leaves the
    // output at its last whole frame, not a signal that ends the command
    // part-way through one.
    std::signal(SIGXFSZ, SIG_IGN);
    const Options o = ParseOptions(argc, argv);
    if (o.demo) {
        try {
            cli::RunDemo(o.paths[0], o.paths.size() > 1 ? o.paths[1] : "", o.filter, o.quiet);
        } catch (const std::exception& e) {
            Fail(e.what());
        }
        return 0;
    }
    return Convert(o, closed);
}
