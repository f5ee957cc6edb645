// Ctrl-C and Ctrl-Break during a transfer on Windows.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/interrupts.h"

namespace platform {

namespace {

volatile sig_atomic_t pending = 0;
int depth = 0;
void (*previousInt)(int) = SIG_DFL;
void (*previousTerm)(int) = SIG_DFL;
char cleanupPath[1024];

void onSignal(int signalNumber) {
    if (pending == 0) {
        pending = signalNumber;
        std::signal(signalNumber, onSignal);
        return;
    }
    if (cleanupPath[0] != '\0') std::remove(cleanupPath);
    std::_Exit(128 + signalNumber);
}

}  // namespace

InterruptScope::InterruptScope(SecondSignal) {
    if (depth++ > 0) return;
    pending = 0;
    previousInt = std::signal(SIGINT, onSignal);
    previousTerm = std::signal(SIGTERM, onSignal);
}

InterruptScope::~InterruptScope() {
    if (--depth > 0) return;
    std::signal(SIGINT, previousInt);
    std::signal(SIGTERM, previousTerm);
}

int pendingInterrupt() { return pending; }

int interruptDescriptor() { return -1; }

const char* signalName(int signalNumber) {
    switch (signalNumber) {
        case SIGINT: return "SIGINT";
        case SIGTERM: return "SIGTERM";
        default: return "a signal";
    }
}

void setInterruptCleanupPath(const char* path) {
    cleanupPath[0] = '\0';
    if (path != nullptr && std::strlen(path) < sizeof cleanupPath) std::strcpy(cleanupPath, path);
}

void ignoreBrokenPipes() {}

}  // namespace platform
