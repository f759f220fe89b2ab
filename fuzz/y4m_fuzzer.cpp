// Any bytes as a YUV4MPEG2 stream, read from a pipe and from a regular file:
// the reader either yields frames of the declared size or raises its error,
// the same in both; it never crashes or reads out of bounds.
#include <sys/mman.h>
#include <unistd.h>

#include <csignal>
#include <thread>

#include "cli/y4m.h"

namespace {

// The frames read, then the error's text (empty at a clean end).
std::vector<std::vector<uint8_t>> ReadAll(int fd, std::string& error, bool debug) {
    std::vector<std::vector<uint8_t>> frames;
    try {
        y4m::Reader reader(fd, 256);
        const y4m::StreamHeader header = reader.ReadHeader();
        (void)y4m::OutputHeader(header, debug);
        std::vector<uint8_t> samples(header.FrameBytes());
        std::string params;
        while (reader.NextFrame(samples.data(), params)) frames.push_back(samples);
    } catch (const y4m::Error& e) {
        error = e.what();
    }
    close(fd);
    return frames;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool pipeErrorsAreReturned = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
    (void)pipeErrorsAreReturned;
    int pipeFds[2];
    const int file = memfd_create("y4m", 0);
    if (pipe(pipeFds) != 0 || file < 0 || write(file, data, size) != (ssize_t)size || lseek(file, 0, SEEK_SET) != 0)
        __builtin_trap();
    // The pipe is fed from another thread, as another process would feed it.
    std::thread feeder([&] {
        for (size_t at = 0; at < size;) {
            const ssize_t written = write(pipeFds[1], data + at, size - at);
            if (written <= 0) break;  // the reader stopped early
            at += (size_t)written;
        }
        close(pipeFds[1]);
    });
    std::string streamError, fileError;
    const auto streamFrames = ReadAll(pipeFds[0], streamError, size % 2 == 0);
    feeder.join();
    const auto fileFrames = ReadAll(file, fileError, size % 2 == 0);
    if (streamFrames != fileFrames || streamError != fileError) __builtin_trap();
    return 0;
}
