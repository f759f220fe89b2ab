// Any bytes as a YUV4MPEG2 stream, read from a pipe-like stream and from a
// mapped file: the reader either yields frames of the declared size or
// raises its error, the same in both; it never crashes or reads out of bounds.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>

#include "cli/y4m.h"

namespace {

// The frames read, then the error's text (empty at a clean end).
std::vector<std::vector<uint8_t>> ReadAll(FILE* in, std::string& error, bool debug) {
    std::vector<std::vector<uint8_t>> frames;
    try {
        y4m::Reader reader(in, 256);
        const y4m::StreamHeader header = reader.ReadHeader();
        (void)y4m::OutputHeader(header, debug);
        std::vector<uint8_t> buffer;
        const uint8_t* samples;
        std::string params;
        while (reader.NextFrame(buffer, samples, params)) frames.emplace_back(samples, samples + header.FrameBytes());
    } catch (const y4m::Error& e) {
        error = e.what();
    }
    std::fclose(in);
    return frames;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* stream = fmemopen((void*)data, size, "rb");
    const int fd = memfd_create("y4m", 0);
    if (!stream || fd < 0 || write(fd, data, size) != (ssize_t)size || lseek(fd, 0, SEEK_SET) != 0) __builtin_trap();
    FILE* file = fdopen(fd, "rb");
    std::string streamError, fileError;
    const auto streamFrames = ReadAll(stream, streamError, size % 2 == 0);
    const auto fileFrames = ReadAll(file, fileError, size % 2 == 0);
    if (streamFrames != fileFrames || streamError != fileError) __builtin_trap();
    return 0;
}
