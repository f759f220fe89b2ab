#include "output.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "report.h"
#include "y4m.h"

namespace cli {

Output::Output(const std::string& path, const StopSignals* signals) : path(path), signals(signals), fd(STDOUT_FILENO) {
    if (path != "-") {
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0) Fail("cannot open output " + Name(path) + ": " + std::strerror(errno));
    }
    struct stat st;
    regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (regular) {
        // What a standard output held before this stream (written after, or
        // appended to) is kept when it is cut back.
        const off_t start = fcntl(fd, F_GETFL) & O_APPEND ? st.st_size : lseek(fd, 0, SEEK_CUR);
        wholeBytes = start > 0 ? (int64_t)start : 0;
        if (signals) signals->CutBackOnSecondStop(fd, &wholeBytes);
    }
    fcntl(fd, F_SETPIPE_SZ, y4m::kPipeBytes);  // fails harmlessly on anything but a pipe
}

Output::~Output() {
    if (fd != STDOUT_FILENO) close(fd);
}

std::string Output::Name(const std::string& path) { return path == "-" ? "the standard output" : "'" + path + "'"; }

void Output::WriteWhole(const void* data, size_t bytes, int framesIn) {
    const char* at = (const char*)data;
    const size_t whole = bytes;
    while (bytes > 0) {
        const ssize_t written = write(fd, at, bytes);
        if (written >= 0) {
            at += written;
            bytes -= (size_t)written;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // A parent may hand over a pipe it set non-blocking: wait for room.
            struct pollfd room = {fd, POLLOUT, 0};
            poll(&room, 1, -1);
        } else if (errno == EPIPE) {
            // The reader went away: the normal end of a pipeline, unless a
            // stop came first, which the status must still tell.
            if (signals && signals->Stopped()) signals->Reraise(frames);
            std::_Exit(0);
        } else if (errno != EINTR) {
            FailWrite(errno);
        }
    }
    frames += framesIn;
    wholeBytes += (int64_t)whole;
}

void Output::FailWrite(int error) const {
    const std::string problem = "cannot write to " + Name(path) + ": " + std::strerror(error);
    if (regular && ftruncate(fd, (off_t)wholeBytes.load()) == 0)
        Fail(problem + "; it was cut back to its last whole frame and holds " + Count(frames, "frame"));
    if (regular)
        Fail(problem + "; it could not be cut back either, and ends part-way through frame " +
             std::to_string(frames + 1));
    Fail(problem + "; " + Count(frames, "whole frame") +
         " went out before it, and part of the next may follow them (only a file can be cut back)");
}

}  // namespace cli
