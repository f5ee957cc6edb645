#pragma once
#include <cstdint>
#include <string>

// Watches the serial line while a transfer runs: counts requests that got
// no reply at all (the controller stayed silent until the transaction gave
// up), and, when the environment variable LINKORA_TRACE names a file, appends
// every frame sent and received to it.
//
// A request ends with LF (MODBUS ASCII) or with CR when it began with "!"
// (TVX Standard); any byte received after it counts as its answer, even a
// garbled one.

namespace linewatch {

// Starts watching (and tracing, when asked for by the environment).
void begin();
// Flushes the trace and stops watching.
void end();

// The number of unanswered requests so far. A request still waiting for its
// answer counts as unanswered: call this after a transaction has returned.
int64_t unansweredRequests();
// The number of requests seen so far.
int64_t requestsSent();

// Traces to `path` (appending) regardless of the environment; empty: as the
// environment says. Tests use it.
void setTracePath(const std::string& path);

// Counts the unanswered requests of everything done between its creation and
// silentRequests().
class SilenceMark {
public:
    SilenceMark() : start_(unansweredRequests()) {}
    int64_t silentRequests() const { return unansweredRequests() - start_; }

private:
    int64_t start_;
};

}  // namespace linewatch
