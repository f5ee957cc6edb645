#pragma once

namespace platform {

// While an InterruptScope lives (a transfer), SIGINT, SIGTERM and SIGHUP do
// not end the program: the first one is recorded, and the transfer ends
// itself, giving up the reply it is receiving. A second one removes the file named
// by setInterruptCleanupPath and ends the program at once, the way the
// signal would have without the scope (terminal restored).
//
// A scope that outlives child processes of its own (a backup run) keeps
// recording instead: every signal inside it makes interruptDescriptor()
// readable, and none ends the program.
enum class SecondSignal { ends, recorded };
class InterruptScope {
public:
    explicit InterruptScope(SecondSignal second = SecondSignal::ends);
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;
};

// The number of the signal received inside the current scope, or 0.
int pendingInterrupt();
// A descriptor that can be read once a signal came inside a scope, to wait
// for beside others with poll(); what it holds may be read and dropped.
// -1 where there is none (Windows).
int interruptDescriptor();
// "SIGTERM" and so on.
const char* signalName(int signalNumber);

// A temporary file to remove when a second signal ends the program
// (nullptr or "" for none). The path is copied.
void setInterruptCleanupPath(const char* path);

// A closed pipe on standard output must not end the program.
void ignoreBrokenPipes();

}  // namespace platform
