#include "y4m.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace y4m {

const char* const kAcceptedColourSpaces[4] = {"420", "420jpeg", "420mpeg2", "420paldv"};

namespace {

const size_t kMaxLine = 4096;
const int kPipeBytes = 1 << 20;  // the largest that unprivileged processes get by default

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

size_t PageSize() { return (size_t)sysconf(_SC_PAGESIZE); }

// A mapped file that shrinks under the reader raises SIGBUS where its pages
// are gone: end with a message instead of a crash.
void InputShrank(int) {
    static const char kMessage[] = "bitgrade: error: the input file became shorter while it was being read\n";
    const ssize_t written = write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    (void)written;
    _exit(1);
}

}  // namespace

Reader::~Reader() {
    if (map) munmap((void*)map, mapSize);
}

void Reader::PrepareFrames() {
    struct stat st;
    const off_t at = ftello(in);  // the stream's own position, past what it buffered
    if (fstat(fileno(in), &st) != 0) return;
    // A pipe as large as the system allows lets the writer run ahead by
    // whole frames instead of waking the reader every 64 KiB.
    if (S_ISFIFO(st.st_mode)) fcntl(fileno(in), F_SETPIPE_SZ, kPipeBytes);
    if (!S_ISREG(st.st_mode) || at < 0 || st.st_size <= at) return;
    void* base = mmap(nullptr, (size_t)st.st_size, PROT_READ, MAP_PRIVATE, fileno(in), 0);
    if (base == MAP_FAILED) return;
    struct sigaction action = {};
    action.sa_handler = InputShrank;
    sigaction(SIGBUS, &action, nullptr);
    map = (const uint8_t*)base;
    mapSize = (size_t)st.st_size;
    mapAt = (size_t)at;
}

void Reader::FrameDone() {
    if (!map) return;
    inUse.pop_front();
    const size_t page = PageSize();
    const size_t end = (inUse.empty() ? mapAt : inUse.front()) / page * page;
    if (end <= released) return;
    madvise((void*)(map + released), end - released, MADV_DONTNEED);
    released = end;
}

int Reader::ExpectedFrames() const {
    if (!map) return 0;
    const size_t left = (mapSize - mapAt) / (header.FrameBytes() + sizeof "FRAME\n" - 1);
    return frames + (int)std::min<size_t>(left, INT32_MAX - frames);
}

int Reader::NextByte() {
    if (!map) return std::fgetc(in);
    return mapAt < mapSize ? map[mapAt++] : EOF;
}

bool Reader::ReadLine(std::string& line, const std::string& what) {
    line.clear();
    for (int c; (c = NextByte()) != '\n';) {
        if (c == EOF) {
            if (!map && std::ferror(in)) throw Error("cannot read the input: " + std::string(std::strerror(errno)));
            if (line.empty()) return false;
            throw Error("truncated " + what + " at the end of the input");
        }
        if (line.size() == kMaxLine) throw Error("malformed " + what + ": line longer than 4096 bytes");
        line.push_back((char)c);
    }
    return true;
}

StreamHeader Reader::ReadHeader() {
    char magic[10];
    const size_t got = std::fread(magic, 1, sizeof magic, in);
    if (std::ferror(in)) throw Error("cannot read the input: " + std::string(std::strerror(errno)));
    if (got == 0) throw Error("the input is empty; expected a YUV4MPEG2 stream");
    std::string line;
    if (got < sizeof magic || std::memcmp(magic, "YUV4MPEG2 ", sizeof magic) != 0 || !ReadLine(line, "stream header"))
        throw Error(
            "the input is not a YUV4MPEG2 stream (it must start with 'YUV4MPEG2 '); "
            "make one with: ffmpeg -i IN -f yuv4mpegpipe -pix_fmt yuv420p -");
    header = StreamHeader();
    for (const std::string& tag : Split(line)) {
        if (tag[0] == 'W') header.width = ParseDimension(tag.substr(1));
        else if (tag[0] == 'H') header.height = ParseDimension(tag.substr(1));
        else if (tag[0] == 'C') header.colourSpace = tag.substr(1);
        else if (tag.compare(0, 6, "XYSCSS") != 0) header.tags.push_back(tag);
    }
    if (header.width <= 0 || header.height <= 0)
        throw Error("malformed stream header: it needs a positive width (W) and height (H)");
    if (header.width > maxDimension || header.height > maxDimension)
        throw Error("frame size " + std::to_string(header.width) + "x" + std::to_string(header.height) +
                    " is larger than the supported " + std::to_string(maxDimension) + " on a side");
    if (header.width % 2 || header.height % 2)
        throw Error("frame size " + std::to_string(header.width) + "x" + std::to_string(header.height) +
                    " is odd; 4:2:0 needs an even width and height (crop or pad it first)");
    bool accepted = header.colourSpace.empty();
    for (const char* space : kAcceptedColourSpaces) accepted |= header.colourSpace == space;
    if (!accepted)
        throw Error("unsupported colour space C" + header.colourSpace +
                    "; accepted: C420, C420jpeg, C420mpeg2, C420paldv or none "
                    "(convert with: ffmpeg -i IN -f yuv4mpegpipe -pix_fmt yuv420p -)");
    PrepareFrames();
    return header;
}

bool Reader::NextFrame(std::vector<uint8_t>& buffer, const uint8_t*& samples, std::string& params) {
    const std::string number = std::to_string(frames + 1);
    std::string line;
    if (!ReadLine(line, "FRAME header of frame " + number)) return false;
    if (line.compare(0, 5, "FRAME") != 0 || (line.size() > 5 && line[5] != ' '))
        throw Error("malformed FRAME header of frame " + number);
    params = line.substr(5);
    const size_t bytes = header.FrameBytes();
    size_t got;
    if (map) {
        got = std::min(bytes, mapSize - mapAt);
        samples = map + mapAt;
        // Map the frame's pages now, on the reading thread, so that the
        // threads that filter it do not stop for them (where the system can).
        const size_t from = mapAt / PageSize() * PageSize();
        madvise((void*)(map + from), mapAt + got - from, MADV_POPULATE_READ);
        mapAt += got;
    } else {
        buffer.resize(bytes);
        got = std::fread(buffer.data(), 1, bytes, in);
        if (got != bytes && std::ferror(in)) throw Error("cannot read frame " + number + ": " + std::strerror(errno));
        samples = buffer.data();
    }
    if (got != bytes)
        throw Error("frame " + number + " is truncated: " + std::to_string(got) + " of " + std::to_string(bytes) +
                    " bytes");
    if (map) inUse.push_back((size_t)(samples - map));
    ++frames;
    return true;
}

std::string OutputHeader(const StreamHeader& in, bool debug) {
    std::string line = "YUV4MPEG2 W" + std::to_string(in.width) + " H" + std::to_string(in.height);
    for (const std::string& tag : in.tags) line += " " + tag;
    return line + (debug ? " C420" : " C420p16") + "\n";
}

}  // namespace y4m
