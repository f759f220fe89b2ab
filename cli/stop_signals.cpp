#include "stop_signals.h"

#include <poll.h>
#include <pthread.h>

#include <cerrno>
#include <cstdlib>

namespace cli {

namespace {

const int kStops[3] = {SIGINT, SIGTERM, SIGHUP};

volatile sig_atomic_t caught = 0;

void Catch(int signal) { caught = signal; }

}  // namespace

StopSignals::StopSignals() {
    sigemptyset(&stops);
    for (int s : kStops) sigaddset(&stops, s);
    pthread_sigmask(SIG_BLOCK, &stops, &waiting);
    for (int s : kStops) sigdelset(&waiting, s);
    struct sigaction action = {}, before = {};
    action.sa_handler = Catch;  // no SA_RESTART: the wait returns
    sigemptyset(&action.sa_mask);
    // A signal ignored by whoever started the command (nohup) stays ignored.
    for (int s : kStops)
        if (sigaction(s, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) sigaction(s, &action, nullptr);
}

bool StopSignals::WaitForInput(int fd) const {
    struct pollfd input = {fd, POLLIN, 0};
    while (!caught)
        if (ppoll(&input, 1, nullptr, &waiting) >= 0 || errno != EINTR) return true;
    return false;
}

void StopSignals::Reraise() const {
    signal(caught, SIG_DFL);
    pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
    raise(caught);
    std::_Exit(128 + caught);  // not reached: the signal ends the process
}

}  // namespace cli
