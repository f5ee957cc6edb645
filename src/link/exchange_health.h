#pragma once
#include <cstdint>
#include <functional>

// How the exchanges on the line have fared, and the rules for repeating one.
//
// A failed exchange is one the line spoiled: no reply in time (silent), or a
// reply that did not pass its checks or a MODBUS exception of 4 and up
// (spoiled). A controller's refusal (a MODBUS exception 1 to 3, a TVX
// negative reply other than a bad-buffer report) is an answer, not a failure.

enum class ExchangeFault { None, Silent, Spoiled };

// Failed exchanges since the program started.
int64_t failedExchanges();
// Exchanges that ended in a time-out since the program started.
int64_t timedOutExchanges();

// Called by the transactions after every exchange. `refusalCode` is the
// controller's refusal (0 for none); `lacking` tells that the refusal says
// the firmware does not know the request.
void noteExchange(bool failed, bool timedOut, int refusalCode = 0, bool lacking = false);

// The outcome of the last exchange.
ExchangeFault lastExchangeFault();
int lastRefusalCode();
bool lastRefusalMeansLacking();

// ---- faults that were not recovered
// Every failed exchange counts here, unless a repeat of it got an answer.
// Handlers add refusals that break a sequence. The transfers compare the
// counts before and after a block.
struct FaultCounts {
    int64_t silent = 0;
    int64_t spoiled = 0;
    int64_t total() const { return silent + spoiled; }
};
FaultCounts unrecoveredFaults();
void noteSequenceFault();
// Forgets the faults counted since `mark`: their effect has been learnt.
void forgiveFaultsSince(const FaultCounts& mark);

// Runs `send`, one exchange whose request is safe to repeat (it carries its
// own index or sets an absolute value), and repeats it while the line spoils
// it, three attempts in all. After a silent attempt the controller is probed
// first; when the probe gets no answer the controller counts as gone. Faults
// of attempts that a later attempt recovered are forgotten.
int repeatExchange(const std::function<int()>& send);

// The first request of a block with a fallback layout: repeated like any
// other; when the repeats end without an answer while the controller still
// answers the probe, the fault is forgotten, so that the caller takes the
// fallback (a controller may ignore requests it does not know).
int fallbackProbe(const std::function<int()>& send);

// True when the controller answers a model request (a spoiled reply counts
// as an answer: something is there). Two attempts. `model`, when given,
// receives the model of a good reply (0 when there was none).
bool probeController(int32_t* model = nullptr);

// One model request, sent once: the transaction's result (0 for a good
// reply). `model`, when given, receives the model of a good reply, else 0.
int requestModel(int32_t* model = nullptr);

// ---- halting the line
// Once the controller is gone (or the network line's connection lost), or
// an interruption is pending, every exchange
// fails at once without sending, so that a transfer ends at the next
// exchange boundary. A CleanupScope lets the closing requests of a transfer
// (restart, coil off) through: one attempt each.
bool controllerGone();
void forgetControllerGone();
bool lineHalted();
class CleanupScope {
public:
    CleanupScope();
    ~CleanupScope();
    CleanupScope(const CleanupScope&) = delete;
    CleanupScope& operator=(const CleanupScope&) = delete;
};
