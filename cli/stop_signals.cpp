#include "stop_signals.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "report.h"

namespace cli {

namespace {

const int kStops[3] = {SIGINT, SIGTERM, SIGHUP};

// What the handler reads and writes: only lock-free atomics and descriptors.
std::atomic<int> caught{0};
int wakeRead = -1, wakeWrite = -1;  // a pipe made readable by the first signal
std::atomic<int> cutFd{-1};
std::atomic<const std::atomic<int64_t>*> cutTo{nullptr};

void Catch(int signal) {
    const int savedErrno = errno;
    if (caught.exchange(signal) == 0) {
        // Wakes a reader waiting in poll() in another thread.
        [[maybe_unused]] const ssize_t woken = write(wakeWrite, "", 1);
        errno = savedErrno;
        return;
    }
    // The second: the output loses what its last frame had begun, and the
    // process ends by this signal. The handler runs on the writing thread,
    // between its write() calls, so nothing is written after the cut.
    const int fd = cutFd.load();
    const std::atomic<int64_t>* whole = cutTo.load();
    if (fd >= 0 && whole) {
        [[maybe_unused]] const int cut = ftruncate(fd, (off_t)whole->load());
    }
    ::signal(signal, SIG_DFL);
    sigset_t self;
    sigemptyset(&self);
    sigaddset(&self, signal);
    sigprocmask(SIG_UNBLOCK, &self, nullptr);
    raise(signal);
    _exit(128 + signal);  // not reached
}

sigset_t MakeSet() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : kStops) sigaddset(&set, s);
    return set;
}

}  // namespace

const sigset_t& StopSignals::Set() {
    static const sigset_t set = MakeSet();
    return set;
}

StopSignals::StopSignals(bool tell) : tell(tell) {
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) == 0) wakeRead = wake[0], wakeWrite = wake[1];
    struct sigaction action = {}, before = {};
    action.sa_handler = Catch;
    action.sa_flags = SA_RESTART;  // the waits look at the flag themselves
    sigemptyset(&action.sa_mask);
    // A signal ignored by whoever started the command (nohup) stays ignored.
    for (int s : kStops)
        if (sigaction(s, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) sigaction(s, &action, nullptr);
    pthread_sigmask(SIG_UNBLOCK, &Set(), nullptr);
}

bool StopSignals::Stopped() const { return caught.load() != 0; }

bool StopSignals::WaitForInput(int fd) const {
    struct pollfd wait[2] = {{fd, POLLIN, 0}, {wakeRead, POLLIN, 0}};
    for (;;) {
        if (Stopped()) return false;
        // Input, its end, or an error that read() will name.
        const int ready = poll(wait, 2, -1);
        if (ready < 0 ? errno != EINTR : wait[0].revents != 0) return !Stopped();
    }
}

void StopSignals::CutBackOnSecondStop(int fd, const std::atomic<int64_t>* wholeBytes) const {
    cutTo.store(wholeBytes);
    cutFd.store(fd);
}

void StopSignals::Reraise(int frames) const {
    if (tell) Note("stopped after " + Count(frames, "frame"));
    const int signal = caught.load();
    ::signal(signal, SIG_DFL);
    pthread_sigmask(SIG_UNBLOCK, &Set(), nullptr);
    raise(signal);
    std::_Exit(128 + signal);  // not reached: the signal ends the process
}

}  // namespace cli
