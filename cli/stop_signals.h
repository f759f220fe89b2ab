// Ctrl-C, kill and a closed terminal (SIGINT, SIGTERM, SIGHUP) stop the
// command's reading, not the command: the frames read so far are converted
// and written whole, and then the command ends by the same signal, so that
// its status is the signal's. The signals are caught only while the reading
// thread waits for input; every other thread keeps them blocked. A signal
// that was ignored when the command started (nohup) stays ignored.
#pragma once

#include <signal.h>

namespace cli {

class StopSignals {
public:
    // Installs the handler and blocks the signals in this thread and the
    // threads it starts from now on.
    StopSignals();

    // Waits until `fd` has input (or its end); false when a stop signal came
    // first. The only place where the signals are let through.
    bool WaitForInput(int fd) const;
    // Ends the process by the caught signal.
    [[noreturn]] void Reraise() const;

private:
    sigset_t stops, waiting;  // the stop signals; the mask while waiting
};

}  // namespace cli
