#include "link/exchange_health.h"

namespace {

int64_t failed = 0;
int64_t timedOut = 0;
int failFastDepth = 0;
bool silenceSeen = false;

}  // namespace

int64_t failedExchanges() { return failed; }
int64_t timedOutExchanges() { return timedOut; }

void noteExchange(bool failedExchange, bool timedOutExchange) {
    if (failedExchange) ++failed;
    if (timedOutExchange) {
        ++timedOut;
        if (failFastDepth > 0) silenceSeen = true;
    }
}

FailFastScope::FailFastScope() {
    if (failFastDepth++ == 0) silenceSeen = false;
}

FailFastScope::~FailFastScope() {
    if (--failFastDepth == 0) silenceSeen = false;
}

bool failingFast() { return failFastDepth > 0 && silenceSeen; }
