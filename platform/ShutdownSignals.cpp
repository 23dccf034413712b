#include "platform/ShutdownSignals.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>

#include <thread>

namespace {
sigset_t EndSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}
}  // namespace

namespace ShutdownSignals {

void Block() {
    sigset_t set = EndSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int Wait() {
    sigset_t set = EndSignals();
    int signal = 0;
    while (sigwait(&set, &signal) != 0) {
    }
    return signal;
}

void Watch(std::function<void(int)> onSignal) {
    std::thread([onSignal]() {
        for (;;) onSignal(Wait());
    }).detach();
}

}  // namespace ShutdownSignals
