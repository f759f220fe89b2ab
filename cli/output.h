// The converted stream's destination: a file or the standard output,
// written with write() straight from the caller's buffers.
#pragma once

#include <cstddef>
#include <string>

namespace cli {

class Output {
public:
    // "-" is the standard output. Fails with a message when it cannot be
    // opened.
    explicit Output(const std::string& path);
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // All of `data`, or the end of the program: quietly with status 0 when
    // the reader of a pipe has gone away, else with a message.
    void Write(const void* data, size_t bytes);

private:
    std::string path;
    int fd;
};

}  // namespace cli
