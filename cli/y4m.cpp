#include "y4m.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace y4m {

const ColourSpace kAcceptedColourSpaces[8] = {{"420", bitgrade::kLayout420},      {"420jpeg", bitgrade::kLayout420},
                                              {"420mpeg2", bitgrade::kLayout420}, {"420paldv", bitgrade::kLayout420},
                                              {"422", bitgrade::kLayout422},      {"444", bitgrade::kLayout444},
                                              {"411", bitgrade::kLayout411},      {"mono", bitgrade::kLayoutGrey}};

namespace {

// The C tag's family of a layout, without its siting or depth.
const char* Family(bitgrade::Layout layout) {
    for (const ColourSpace& space : kAcceptedColourSpaces)
        if (space.layout == layout) return space.tag;
    return "";
}

// The C tag (without the C) of a layout at a depth past 8 bits: 420p10, but
// mono10.
std::string DeeperTag(bitgrade::Layout layout, int bits) {
    return Family(layout) + std::string(layout.planes == 1 ? "" : "p") + std::to_string(bits);
}

// The layout and bits that a C tag (without the C) names; false for one we
// do not take.
bool ParseColourSpace(const std::string& tag, bitgrade::Layout& layout, int& bits) {
    for (const ColourSpace& space : kAcceptedColourSpaces) {
        if (tag == space.tag) {
            layout = space.layout, bits = 8;
            return true;
        }
        for (int deeper : {9, 10, 12, 14, 16}) {
            if (tag == DeeperTag(space.layout, deeper)) {
                layout = space.layout, bits = deeper;
                return true;
            }
        }
    }
    return false;
}

}  // namespace

namespace {

const size_t kBufferBytes = 2 * kMaxLine;

std::vector<std::string> Split(const std::string& line) {
    std::vector<std::string> parts;
    size_t at = 0;
    while (at < line.size()) {
        const size_t end = line.find(' ', at);
        const size_t stop = end == std::string::npos ? line.size() : end;
        if (stop > at) parts.push_back(line.substr(at, stop - at));
        at = stop + 1;
    }
    return parts;
}

// A whole positive number of at most 9 digits, or -1.
int ParseDimension(const std::string& digits) {
    if (digits.empty() || digits.size() > 9) return -1;
    int value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return value > 0 ? value : -1;
}

// What is wrong with a header line in bytes that YUV4MPEG2 has no place for,
// or "": Windows line ends, tabs between fields, a NUL byte.
std::string ForeignBytes(const std::string& line) {
    if (!line.empty() && line.back() == '\r') return "it ends in CR LF, and YUV4MPEG2 lines end in a line feed alone";
    if (line.find('\t') != std::string::npos) return "its fields are separated by tabs, and YUV4MPEG2 takes spaces";
    if (line.find('\0') != std::string::npos) return "it holds a NUL byte";
    return "";
}

}  // namespace

Reader::Reader(int fd, int maxDimension, const cli::StopSignals* signals, const std::string& name)
    : fd(fd), maxDimension(maxDimension), signals(signals), name(name), buffer(kBufferBytes) {
    struct stat st;
    if (fstat(fd, &st) != 0) return;
    if (S_ISREG(st.st_mode)) fileSize = (int64_t)st.st_size - (int64_t)lseek(fd, 0, SEEK_CUR);
    if (S_ISFIFO(st.st_mode)) fcntl(fd, F_SETPIPE_SZ, kPipeBytes);
}

size_t Reader::ReadSome(uint8_t* to, size_t bytes) {
    if (signals && !signals->WaitForInput(fd)) throw Interrupted();
    for (;;) {
        const ssize_t got = read(fd, to, bytes);
        if (got >= 0) {
            taken += got;
            return (size_t)got;
        }
        if (errno != EINTR) throw Error("cannot read " + name + ": " + std::string(std::strerror(errno)));
    }
}

void Reader::Malformed(int frame, const std::string& problem) const {
    throw Error("malformed " + (frame ? "FRAME header of frame " + std::to_string(frame) : "stream header") +
                (problem.empty() ? "" : ": " + problem));
}

int Reader::ExpectedFrames() const {
    if (fileSize < 0) return 0;
    const size_t left = (size_t)std::max<int64_t>(fileSize - taken, 0) + (end - at);
    return frames + (int)std::min<size_t>(left / (header.FrameBytes() + sizeof "FRAME\n" - 1), INT32_MAX - frames);
}

bool Reader::ReadLine(int frame) {
    line.clear();
    for (;;) {
        const uint8_t* from = buffer.data() + at;
        const uint8_t* newline = (const uint8_t*)std::memchr(from, '\n', end - at);
        const size_t length = newline ? (size_t)(newline - from) : end - at;
        if (line.size() + length > kMaxLine)
            Malformed(frame, "line longer than " + std::to_string(kMaxLine) + " bytes");
        line.append((const char*)from, length);
        at += length;
        if (newline) {
            ++at;
            const std::string foreign = ForeignBytes(line);
            if (!foreign.empty()) Malformed(frame, foreign);
            return true;
        }
        at = end = 0;
        end = ReadSome(buffer.data(), buffer.size());
        if (end == 0) {
            if (line.empty()) return false;
            throw Error("truncated " +
                        (frame ? "FRAME header of frame " + std::to_string(frame) : std::string("stream header")) +
                        " at the end of the input");
        }
    }
}

StreamHeader Reader::ReadHeader() {
    const char kMagic[] = "YUV4MPEG2 ";
    while (end < sizeof kMagic - 1) {
        const size_t got = ReadSome(buffer.data() + end, buffer.size() - end);
        if (got == 0) break;
        end += got;
    }
    if (end == 0) throw Error("the input is empty; expected a YUV4MPEG2 stream");
    if (end < sizeof kMagic - 1 || std::memcmp(buffer.data(), kMagic, sizeof kMagic - 1) != 0)
        throw Error(
            "the input is not a YUV4MPEG2 stream (it must start with 'YUV4MPEG2 '); "
            "make one with: ffmpeg -i IN -f yuv4mpegpipe -pix_fmt yuv420p -");
    at = sizeof kMagic - 1;
    if (!ReadLine(0)) throw Error("truncated stream header at the end of the input");
    header = StreamHeader();
    std::string subsampling;  // XYSCSS, which older writers give where a C tag is missing
    for (const std::string& tag : Split(line)) {
        if (tag[0] == 'W') header.width = ParseDimension(tag.substr(1));
        else if (tag[0] == 'H') header.height = ParseDimension(tag.substr(1));
        else if (tag[0] == 'C') header.colourSpace = tag.substr(1);
        else if (tag.compare(0, 7, "XYSCSS=") == 0) subsampling = tag.substr(7);
        else header.tags.push_back(tag);
    }
    if (header.width <= 0 || header.height <= 0) Malformed(0, "it needs a positive width (W) and height (H)");
    if (header.width > maxDimension || header.height > maxDimension)
        throw Error("frame size " + std::to_string(header.width) + "x" + std::to_string(header.height) +
                    " is larger than the supported " + std::to_string(maxDimension) + " on a side");
    // Without a C tag the stream is 4:2:0 unless XYSCSS says otherwise;
    // taken as 4:2:0, another layout would be cut into wrong frames.
    if (header.colourSpace.empty() && !subsampling.empty() && subsampling.compare(0, 3, "420") != 0 &&
        !(ParseColourSpace(subsampling, header.layout, header.bits) && header.bits == 8))
        throw Error("unsupported chroma subsampling XYSCSS=" + subsampling +
                    " (the stream has no C tag); accepted: 420, 422, 444, 411 "
                    "(convert with: ffmpeg -i IN -f yuv4mpegpipe -pix_fmt yuv444p -)");
    if (!header.colourSpace.empty() && !ParseColourSpace(header.colourSpace, header.layout, header.bits))
        throw Error("unsupported colour space C" + header.colourSpace +
                    "; accepted: C420, C420jpeg, C420mpeg2, C420paldv, C422, C444, C411, Cmono or none, "
                    "and C420p10, C422p10, C444p10, Cmono10 and the like at 9, 10, 12, 14 and 16 bits "
                    "(convert with: ffmpeg -i IN -f yuv4mpegpipe -pix_fmt yuv444p16le -strict -1 -)");
    const bitgrade::Subsampling sub = header.layout.chroma;
    if (header.width % (1 << sub.x) || header.height % (1 << sub.y))
        throw Error("frame size " + std::to_string(header.width) + "x" + std::to_string(header.height) +
                    " does not divide into C" + Family(header.layout) + "'s chroma: the width must be a multiple of " +
                    std::to_string(1 << sub.x) + " and the height of " + std::to_string(1 << sub.y) +
                    " (crop or pad it first)");
    return header;
}

bool Reader::NextFrame(uint8_t* samples, std::string& params) {
    // Frames already in the line buffer are not read after a stop either.
    if (signals && signals->Stopped()) throw Interrupted();
    const int number = frames + 1;
    if (!ReadLine(number)) return false;
    if (line.compare(0, 5, "FRAME") != 0 || (line.size() > 5 && line[5] != ' ')) Malformed(number, "");
    params.assign(line, 5);
    // What the line buffer holds of the frame, then the rest straight from
    // the input.
    const size_t bytes = header.FrameBytes(), buffered = std::min(bytes, end - at);
    std::memcpy(samples, buffer.data() + at, buffered);
    at += buffered;
    size_t got = buffered;
    for (size_t more; got < bytes && (more = ReadSome(samples + got, bytes - got)) > 0;) got += more;
    if (got != bytes) {
        if (fileSize > taken) throw Error("error: the input file became shorter while it was being read");
        throw Error("frame " + std::to_string(number) + " is truncated: " + std::to_string(got) + " of " +
                    std::to_string(bytes) + " bytes");
    }
    ++frames;
    return true;
}

uint8_t* PutFrameLine(const std::string& params, uint8_t* samples) {
    uint8_t* line = samples - (params.size() + 6);
    std::memcpy(line, "FRAME", 5);
    std::memcpy(line + 5, params.data(), params.size());
    samples[-1] = '\n';
    return line;
}

std::string OutputHeader(const StreamHeader& in, bool debug, int bits) {
    std::string line = "YUV4MPEG2 W" + std::to_string(in.width) + " H" + std::to_string(in.height);
    for (const std::string& tag : in.tags) line += " " + tag;
    if (debug) return line + " C" + Family(in.layout) + "\n";
    if (bits == 8 && in.bits == 8) return line + (in.colourSpace.empty() ? "" : " C" + in.colourSpace) + "\n";
    if (bits == 8) return line + " C" + Family(in.layout) + "\n";
    return line + " C" + DeeperTag(in.layout, bits) + "\n";
}

}  // namespace y4m
