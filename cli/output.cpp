#include "output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "report.h"

namespace cli {

namespace {

// A pipe as large as the system allows lets the writer hand over whole
// frames instead of waking the reader every 64 KiB.
const int kPipeBytes = 1 << 20;

}  // namespace

Output::Output(const std::string& path) : path(path), fd(STDOUT_FILENO) {
    if (path != "-") {
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0) Fail("cannot open output '" + path + "': " + std::strerror(errno));
    }
    fcntl(fd, F_SETPIPE_SZ, kPipeBytes);  // fails harmlessly on anything but a pipe
}

Output::~Output() {
    if (fd != STDOUT_FILENO) close(fd);
}

void Output::Write(const void* data, size_t bytes) {
    const char* at = (const char*)data;
    while (bytes > 0) {
        const ssize_t written = write(fd, at, bytes);
        if (written >= 0) {
            at += written;
            bytes -= (size_t)written;
        } else if (errno == EPIPE) {
            std::_Exit(0);
        } else if (errno != EINTR) {
            Fail("cannot write to '" + path + "': " + std::strerror(errno));
        }
    }
}

}  // namespace cli
