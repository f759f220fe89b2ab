// YUV4MPEG2 streams: 4:2:0, 4:2:2, 4:4:4, 4:1:1 or grey, of 8 to 16 bits, in;
// out, the filter's samples in the same layout at the output's depth (16,
// 12, 10 or 8 bits) or the 8-bit debug map.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "convert/plane.h"
#include "stop_signals.h"

namespace y4m {

// Bad input or output; the message names the problem and, where it helps,
// the remedy and the frame number.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reading stopped because a stop signal came.
struct Interrupted {};

// The longest header or FRAME line taken, without its line feed.
const size_t kMaxLine = 4096;

// Writes the FRAME line with `params` (its parameters after "FRAME", each
// with its leading space) just before `samples`, so that line and samples
// go out in one write; returns where the line starts. The caller keeps
// params.size() + 6 bytes of room there.
uint8_t* PutFrameLine(const std::string& params, uint8_t* samples);

struct StreamHeader {
    int width = 0, height = 0;
    std::string colourSpace;        // the C tag's value, empty when absent
    std::vector<std::string> tags;  // every other tag, as written (F, I, A, X...)
    bitgrade::Layout layout = bitgrade::kLayout420;
    int bits = 8;  // a sample's; deeper ones are 16-bit little-endian words

    size_t FrameBytes() const {
        return (size_t)bitgrade::PictureSamples(layout, width, height) * bitgrade::BytesPerSample(bits);
    }
};

// Pipes in and out are made this large, the most that unprivileged
// processes get by default: a writer then hands over whole frames instead
// of waking its reader every 64 KiB.
const int kPipeBytes = 1 << 20;

// The 8-bit colour spaces we accept (C tags without the C), by layout; each
// but 411 also as deeper ones: 420p10, ..., mono10, ... (9, 10, 12, 14 and
// 16 bits).
struct ColourSpace {
    const char* tag;
    bitgrade::Layout layout;
};
extern const ColourSpace kAcceptedColourSpaces[8];

// Reads a stream from a file descriptor, a frame at a time, straight into
// the caller's buffers: a small buffer of its own holds the header lines.
// Dimensions above maxDimension on either side are refused.
class Reader {
public:
    // With `signals`, reading ends with Interrupted once a stop signal has
    // come, also while it waits for input.
    // `name` is the input as messages name it.
    explicit Reader(int fd, int maxDimension = 16384, const cli::StopSignals* signals = nullptr,
                    const std::string& name = "the input");

    StreamHeader ReadHeader();
    // The next frame's samples (Y, U, V planes, packed) into `samples`, which
    // holds FrameBytes(), and the parameters of its FRAME line; false at the
    // clean end of the stream.
    bool NextFrame(uint8_t* samples, std::string& params);
    // For progress: the frames of a regular file, counted as if every FRAME
    // line were bare (so never fewer than there are); 0 for a stream.
    int ExpectedFrames() const;

private:
    // Up to `bytes` of the input into `to`; 0 at its end.
    size_t ReadSome(uint8_t* to, size_t bytes);
    // One line without its newline into `line`; false at the clean end of the
    // input. What the line is, for messages: the stream header (frame 0) or
    // the FRAME header of a frame.
    bool ReadLine(int frame);
    [[noreturn]] void Malformed(int frame, const std::string& problem) const;

    int fd, maxDimension;
    const cli::StopSignals* signals;
    std::string name;
    std::string line;
    StreamHeader header;
    int frames = 0;
    std::vector<uint8_t> buffer;
    size_t at = 0, end = 0;
    // A regular file's size when it was opened and how much of it has been
    // taken (-1: not a regular file), to tell a file that shrinks under the
    // reader from a truncated one.
    int64_t fileSize = -1, taken = 0;
};

// The header of the converted stream, tags kept: C420p16, C420p12 or
// C420p10 by the output's bits (C422p.., C444p.., C411p.., Cmono..); at 8
// bits the input's own C tag where it was 8-bit; the debug map C420 (C422,
// C444, C411, Cmono).
std::string OutputHeader(const StreamHeader& in, bool debug, int bits = 16);

}  // namespace y4m
