#pragma once
#include <cstdint>
#include <string>

// Watches the serial line while a transfer runs: counts requests that got
// no usable answer (the controller stayed silent until the transaction gave
// up, or its reply failed the checks), and, when the environment variable
// LINKORA_TRACE names a file, appends every frame sent and received to it.
//
// A request ends with LF (MODBUS ASCII) or with CR when it began with "!"
// (TVX Standard).

namespace linewatch {

// Starts watching (and tracing, when asked for by the environment).
void begin();
// Flushes the trace and stops watching.
void end();

// The number of requests without a usable answer so far (see
// exchange_health.h); call this after a transaction has returned.
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
