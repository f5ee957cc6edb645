#pragma once
#include <cstdint>

// How the exchanges on the line have fared. A failed exchange is one that the
// line itself spoiled: no reply in time, or a reply that did not pass its
// checks. A controller's own refusal (a MODBUS exception, a TVX negative
// reply other than a bad-buffer report) is an answer, not a failure.

// Failed exchanges since the program started.
int64_t failedExchanges();
// Exchanges that ended in a time-out since the program started.
int64_t timedOutExchanges();

// Called by the transactions.
void noteExchange(bool failed, bool timedOut);

// While a FailFastScope lives, the first time-out makes every further
// exchange fail at once, without sending, until the scope ends. A controller
// that vanished in the middle of a block of many elements then costs one
// time-out instead of one per element. Used around the blocks of a transfer.
class FailFastScope {
public:
    FailFastScope();
    ~FailFastScope();
    FailFastScope(const FailFastScope&) = delete;
    FailFastScope& operator=(const FailFastScope&) = delete;
};

// True when a FailFastScope is active and has seen a time-out: the caller
// should not send.
bool failingFast();
