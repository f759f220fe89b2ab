// The converted stream's destination: a file or the standard output,
// written with write() straight from the caller's buffers, a stream header
// or a whole frame at a time. It never ends part-way through a frame where
// that can be helped: a regular file whose write fails is cut back to its
// last whole frame, and so is one that a second stop signal ends.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "stop_signals.h"

namespace cli {

class Output {
public:
    // "-" is the standard output. Fails with a message when it cannot be
    // opened. With `signals`, a second stop signal cuts a file back.
    explicit Output(const std::string& path, const StopSignals* signals = nullptr);
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // All of the header, or of one frame's FRAME line and samples, waiting
    // for room where the output does not block; or the end of the program:
    // by the stop signal when one came, else quietly with status 0 when the
    // reader of a pipe has gone away, else with a message that says how many
    // whole frames the output holds.
    void WriteHeader(const std::string& header) { WriteWhole(header.data(), header.size(), 0); }
    void WriteFrame(const void* data, size_t bytes) { WriteWhole(data, bytes, 1); }

    // The output in messages: the standard output in words, a file by name.
    static std::string Name(const std::string& path);

private:
    void WriteWhole(const void* data, size_t bytes, int framesIn);
    [[noreturn]] void FailWrite(int error) const;

    std::string path;
    const StopSignals* signals;
    int fd;
    bool regular = false;  // a regular file, which can be cut back
    int frames = 0;        // whole frames written
    std::atomic<int64_t> wholeBytes{0};
};

}  // namespace cli
