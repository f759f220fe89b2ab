// YUV4MPEG2 streams: 8-bit 4:2:0 in, 16-bit (or the 8-bit debug map) out.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

namespace y4m {

// Bad input or output; the message names the problem and, where it helps,
// the remedy and the frame number.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct StreamHeader {
    int width = 0, height = 0;
    std::string colourSpace;        // the C tag's value, empty when absent
    std::vector<std::string> tags;  // every other tag, as written (F, I, A, X...)

    size_t FrameBytes() const { return (size_t)width * height * 3 / 2; }
};

// The 8-bit 4:2:0 colour spaces we accept.
extern const char* const kAcceptedColourSpaces[4];

// Reads a stream from a file, one frame at a time. Dimensions above
// maxDimension on either side are refused. A regular file is mapped into
// memory after its header, so that its frames need no copy.
class Reader {
public:
    explicit Reader(FILE* in, int maxDimension = 16384) : in(in), maxDimension(maxDimension) {}
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    StreamHeader ReadHeader();
    // The next frame's samples (Y, U, V planes, packed) and the parameters of
    // its FRAME line; false at the clean end of the stream. `samples` points
    // into the mapped file, valid while the reader lives, or into `buffer`,
    // which then holds them.
    bool NextFrame(std::vector<uint8_t>& buffer, const uint8_t*& samples, std::string& params);
    // The oldest frame that NextFrame gave and that is not done yet is
    // done with: a mapped file hands back its pages, but for those it shares
    // with frames still in use, so that memory stays flat over a file of any
    // length.
    void FrameDone();
    // For progress: the frames of a mapped file, counted as if every FRAME
    // line were bare (so never fewer than there are); 0 for a stream.
    int ExpectedFrames() const;

private:
    // Readies the input for its frames, once the header is read: a regular
    // file is mapped from its start (if mapping fails it is read as a
    // stream), a pipe is given a larger buffer.
    void PrepareFrames();
    int NextByte();
    // One line without its newline; false at the clean end of the input.
    bool ReadLine(std::string& line, const std::string& what);
    FILE* in;
    int maxDimension;
    StreamHeader header;
    int frames = 0;
    const uint8_t* map = nullptr;
    size_t mapSize = 0, mapAt = 0, released = 0;
    std::deque<size_t> inUse;  // where the mapped frames not done yet start
};

// The header of the converted stream: C420p16 (debug: C420), tags kept.
std::string OutputHeader(const StreamHeader& in, bool debug);

}  // namespace y4m
