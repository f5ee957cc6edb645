#include "link/exchange_health.h"

#include "common/settings.h"
#include "link/modbus.h"
#include "link/serial_port.h"
#include "link/tvx.h"
#include "platform/interrupts.h"

namespace {

constexpr int kAttempts = 3;

int64_t failed = 0;
int64_t timedOut = 0;
ExchangeFault lastFault = ExchangeFault::None;
int lastRefusal = 0;
bool lastLacking = false;
FaultCounts unrecovered;
bool gone = false;
int cleanupDepth = 0;

}  // namespace

int64_t failedExchanges() { return failed; }
int64_t timedOutExchanges() { return timedOut; }

void noteExchange(bool failedExchange, bool timedOutExchange, int refusalCode, bool lacking) {
    lastRefusal = failedExchange ? 0 : refusalCode;
    lastLacking = lastRefusal != 0 && lacking;
    lastFault = ExchangeFault::None;
    if (timedOutExchange) {
        ++timedOut;
        lastFault = ExchangeFault::Silent;
    } else if (failedExchange) {
        lastFault = ExchangeFault::Spoiled;
    }
    if (failedExchange) {
        ++failed;
        if (lastFault == ExchangeFault::Silent) {
            ++unrecovered.silent;
        } else {
            ++unrecovered.spoiled;
        }
    }
}

ExchangeFault lastExchangeFault() { return lastFault; }
int lastRefusalCode() { return lastRefusal; }
bool lastRefusalMeansLacking() { return lastLacking; }

FaultCounts unrecoveredFaults() { return unrecovered; }
void noteSequenceFault() { ++unrecovered.spoiled; }
void forgiveFaultsSince(const FaultCounts& mark) { unrecovered = mark; }

int requestModel(int32_t* model) {
    int values[8] = {0};
    const int result = commSettings.protocol == kTvxStandard ? tvxTransaction(COM_MODEL, "", "W", values)
                                                             : modbusTransaction(3, 300, 1, values);
    if (model != nullptr) *model = result == 0 ? values[0] : 0;
    return result;
}

bool probeController(int32_t* model) {
    if (model != nullptr) *model = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        requestModel(model);
        if (lastExchangeFault() != ExchangeFault::Silent) return true;
        if (lineHalted()) return false;
    }
    return false;
}

int repeatExchange(const std::function<int()>& send) {
    const FaultCounts before = unrecovered;
    int result = send();
    for (int attempt = 1; attempt < kAttempts && lastExchangeFault() != ExchangeFault::None; ++attempt) {
        if (lineHalted()) return result;
        if (lastExchangeFault() == ExchangeFault::Silent && !probeController()) {
            gone = cleanupDepth == 0;
            return result;
        }
        result = send();
    }
    if (lastExchangeFault() == ExchangeFault::None) unrecovered = before;
    return result;
}

int fallbackProbe(const std::function<int()>& send) {
    const FaultCounts before = unrecovered;
    const int result = repeatExchange(send);
    if (lastExchangeFault() != ExchangeFault::None && !lineHalted() && probeController()) unrecovered = before;
    return result;
}

bool controllerGone() { return gone || serialPort.lineLost(); }
void forgetControllerGone() { gone = false; }

bool lineHalted() {
    // A lost connection lets nothing through, closing requests included.
    if (serialPort.lineLost()) return true;
    if (cleanupDepth > 0) return false;
    return gone || platform::pendingInterrupt() != 0;
}

CleanupScope::CleanupScope() { ++cleanupDepth; }
CleanupScope::~CleanupScope() { --cleanupDepth; }
