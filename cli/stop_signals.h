// Ctrl-C, kill and a closed terminal (SIGINT, SIGTERM, SIGHUP) stop the
// command's reading, not the command: the frames read so far are converted
// and written whole, and then the command ends by the same signal, so that
// its status is the signal's. A second stop signal ends the command at once,
// after cutting a regular-file output back to its last whole frame (a pipe
// cannot be cut). A signal that was ignored when the command started
// (nohup) stays ignored.
//
// The signals are taken by the main thread alone, which reads the header and
// writes every frame; helper threads start with them blocked (HelperThread),
// so no signal is left pending in a thread that never looks at it, and a
// second signal never cuts the output while another thread writes to it.
#pragma once

#include <signal.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <utility>

namespace cli {

class StopSignals {
public:
    // Installs the handler for the process. With `tell`, the end by a stop
    // says how many frames went out.
    explicit StopSignals(bool tell = false);

    // Whether a stop signal has come.
    bool Stopped() const;
    // Waits until `fd` has input (or its end); false when a stop signal came
    // first or comes meanwhile, from whichever thread waits.
    bool WaitForInput(int fd) const;
    // What a second stop signal leaves of a regular-file output: `fd` cut back
    // to `wholeBytes`, the bytes of its whole frames.
    void CutBackOnSecondStop(int fd, const std::atomic<int64_t>* wholeBytes) const;
    // Ends the process by the caught signal, `frames` whole frames written
    // ("bitgrade: stopped after N frames" where it tells).
    [[noreturn]] void Reraise(int frames) const;

    // The stop signals, for the threads that leave them to the main thread.
    static const sigset_t& Set();

private:
    bool tell;
};

// A thread that starts with the stop signals blocked, so that they reach
// the main thread.
template <class F>
std::thread HelperThread(F&& body) {
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, &StopSignals::Set(), &before);
    std::thread thread(std::forward<F>(body));
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return thread;
}

}  // namespace cli
