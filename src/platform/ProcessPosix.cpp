// POSIX side of the program's own process services.
#include "platform/Process.h"

#include <csignal>
#include <cstdio>
#include <string>

#include <unistd.h>

bool enterSystemDirectory(const char* path) {
    return chdir(path) == 0;
}


namespace {

volatile std::sig_atomic_t g_interruptSignal = 0;

extern "C" void noteInterrupt(int signal) {
    g_interruptSignal = signal;
}

} // namespace

void installInterruptHandlers() {
    struct sigaction action {};
    action.sa_handler = noteInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
}

int interruptSignal() {
    return static_cast<int>(g_interruptSignal);
}

void endWithSignal(int signal) {
    std::fflush(stdout);
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    std::raise(signal);
    _exit(128 + signal);
}

bool absolutePathsBeginWithSlash() {
    return true;
}
