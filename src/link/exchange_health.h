#pragma once
#include <cstdint>

// How the exchanges on the line have fared. The rules for repeating an
// exchange, probing the controller and redoing a block are the handlers'
// (handlers/exchange_rules.h); this is what they are built on.
//
// A failed exchange is one the line spoiled: no reply in time (silent), or a
// reply that did not pass its checks or a MODBUS exception of 4 and up
// (spoiled). A controller's refusal (a MODBUS exception 1 to 3, a TVX
// negative reply other than a bad-buffer report) is an answer, not a failure.

enum class ExchangeKind {
    Answered,  // a good reply
    Refused,   // the controller answered with a refusal
    Silent,    // no reply in time (or the line halted before sending)
    Spoiled,   // a reply that failed its checks, or a failure the controller reported
    LineLost,  // silent because the line is lost: a network connection gone, or no way back in step
};

// What one transaction hands back: the transaction's result code (0 for a
// good reply) and the kind of the exchange. A caller that needs the code
// says `.code`.
struct ExchangeResult {
    int code = 0;
    ExchangeKind kind = ExchangeKind::Answered;
    // A refusal saying the firmware does not know the request.
    bool lacking = false;

    bool refused() const { return kind == ExchangeKind::Refused; }
    bool silent() const { return kind == ExchangeKind::Silent || kind == ExchangeKind::LineLost; }
    // The line spoiled it (silent, spoiled or lost): not an answer.
    bool faulted() const { return kind != ExchangeKind::Answered && kind != ExchangeKind::Refused; }
    // A non-zero result that the controller gave, not the line.
    bool refusedByController() const { return code != 0 && !faulted(); }
};

// Failed exchanges since the program started, and those that ended in a
// time-out: statistics for the line watch. A block learns its own faults from
// the results its transactions hand back (handlers/exchange_rules.h).
int64_t failedExchanges();
int64_t timedOutExchanges();

// Called by the transactions after every exchange: counts it and classifies
// it. `refusalCode` is the transaction's result (0 for none); `lacking`
// tells that a refusal says the firmware does not know the request.
ExchangeResult noteExchange(bool failed, bool timedOut, int refusalCode = 0, bool lacking = false);

// ---- halting the line
// Once the controller is gone (or the network line's connection lost), or
// an interruption is pending, every exchange fails at once without sending,
// and a reply being received is given up, so that a transfer ends at once.
// A CleanupScope lets the closing requests of a transfer (restart, coil off)
// through; after a signal each waits at most 0.7 s for its reply, and once
// one of them went unanswered the rest are not sent, so that a signal ends
// the transfer within about a second even where nothing answers.
bool controllerGone();
// The controller no longer answers (ignored inside a CleanupScope).
void noteControllerGone();
void forgetControllerGone();
bool lineHalted();
// The reply being received is given up: the line halted, or a closing
// request after a signal waited its 0.7 s.
bool replyAbandoned();
// True inside a CleanupScope.
bool closingRequests();
class CleanupScope {
public:
    CleanupScope();
    ~CleanupScope();
    CleanupScope(const CleanupScope&) = delete;
    CleanupScope& operator=(const CleanupScope&) = delete;
};
