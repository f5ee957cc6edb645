// Signals during a transfer or a backup run on POSIX.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "platform/interrupts.h"

namespace platform {

namespace {

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];

volatile sig_atomic_t pending = 0;
volatile sig_atomic_t secondEnds = 1;
int depth = 0;
int wakeUp[2] = {-1, -1};  // written once per signal
struct sigaction previous[kSignalCount];
char cleanupPath[4096];

void onSignal(int signalNumber) {
    if (wakeUp[1] >= 0) {
        const int saved = errno;
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = write(wakeUp[1], &byte, 1);
        errno = saved;
    }
    if (pending == 0) {
        pending = signalNumber;
        return;
    }
    if (secondEnds == 0) return;
    if (cleanupPath[0] != '\0') unlink(cleanupPath);
    // The disposition from before the scope: it restores the terminal and
    // ends the program as this signal would have.
    for (int i = 0; i < kSignalCount; ++i) {
        if (kSignals[i] == signalNumber) sigaction(signalNumber, &previous[i], nullptr);
    }
    sigset_t self;
    sigemptyset(&self);
    sigaddset(&self, signalNumber);
    sigprocmask(SIG_UNBLOCK, &self, nullptr);
    raise(signalNumber);
    _exit(128 + signalNumber);
}

}  // namespace

InterruptScope::InterruptScope(SecondSignal second) {
    if (depth++ > 0) return;
    pending = 0;
    secondEnds = second == SecondSignal::ends ? 1 : 0;
    if (wakeUp[0] < 0 && pipe2(wakeUp, O_CLOEXEC | O_NONBLOCK) != 0) wakeUp[0] = wakeUp[1] = -1;
    char stale[64];  // from a scope before this one
    while (wakeUp[0] >= 0 && read(wakeUp[0], stale, sizeof stale) > 0) {}
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &action, &previous[i]);
}

InterruptScope::~InterruptScope() {
    if (--depth > 0) return;
    for (int i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &previous[i], nullptr);
}

int pendingInterrupt() { return pending; }

int interruptDescriptor() { return wakeUp[0]; }

const char* signalName(int signalNumber) {
    switch (signalNumber) {
        case SIGINT: return "SIGINT";
        case SIGTERM: return "SIGTERM";
        case SIGHUP: return "SIGHUP";
        default: return "a signal";
    }
}

void setInterruptCleanupPath(const char* path) {
    sigset_t all, old;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &old);
    cleanupPath[0] = '\0';
    if (path != nullptr && std::strlen(path) < sizeof cleanupPath) std::strcpy(cleanupPath, path);
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

void ignoreBrokenPipes() { signal(SIGPIPE, SIG_IGN); }

}  // namespace platform
