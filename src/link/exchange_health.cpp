#include "link/exchange_health.h"

#include "link/serial_port.h"
#include "platform/interrupts.h"

namespace {

int64_t failed = 0;
int64_t timedOut = 0;
bool gone = false;
int cleanupDepth = 0;
// The signal after which a closing request went unanswered (0: none).
int cutShortBy = 0;
constexpr int64_t kClosingReplyMicros = 700000;

}  // namespace

int64_t failedExchanges() { return failed; }
int64_t timedOutExchanges() { return timedOut; }

ExchangeResult noteExchange(bool failedExchange, bool timedOutExchange, int refusalCode, bool lacking) {
    ExchangeResult result;
    result.code = refusalCode;
    if (timedOutExchange) {
        ++timedOut;
        if (cleanupDepth > 0 && platform::pendingInterrupt() != 0) cutShortBy = platform::pendingInterrupt();
        result.kind = serialPort.lineLost() || serialPort.outOfStep() ? ExchangeKind::LineLost : ExchangeKind::Silent;
    } else if (failedExchange) {
        result.kind = ExchangeKind::Spoiled;
    } else if (refusalCode != 0) {
        result.kind = ExchangeKind::Refused;
        result.lacking = lacking;
    }
    // A reply that passed its checks: the line is in order so far.
    if (!failedExchange) serialPort.noteGoodReply();
    if (failedExchange) ++failed;
    return result;
}

bool controllerGone() { return gone || serialPort.lineLost() || serialPort.outOfStep(); }
void noteControllerGone() { gone = cleanupDepth == 0; }
void forgetControllerGone() { gone = false; }

bool lineHalted() {
    // A lost connection, or a line that could not be brought back in step,
    // lets nothing through, closing requests included.
    if (serialPort.lineLost() || serialPort.outOfStep()) return true;
    if (cleanupDepth > 0) return cutShortBy != 0 && cutShortBy == platform::pendingInterrupt();
    return gone || platform::pendingInterrupt() != 0;
}

bool replyAbandoned() {
    if (lineHalted()) return true;
    return platform::pendingInterrupt() != 0 && serialPort.requestAgeMicros() > kClosingReplyMicros;
}

bool closingRequests() { return cleanupDepth > 0; }

CleanupScope::CleanupScope() { ++cleanupDepth; }
CleanupScope::~CleanupScope() { --cleanupDepth; }
