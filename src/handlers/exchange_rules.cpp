#include "handlers/exchange_rules.h"

#include <cstddef>

#include "common/settings.h"
#include "handlers/block_report.h"
#include "image/controller_image.h"
#include "link/modbus.h"
#include "link/resync.h"
#include "link/serial_port.h"
#include "link/tvx.h"
#include "platform/interrupts.h"

namespace {

constexpr int kAttempts = 3;
constexpr int kRedos = 2;

}  // namespace

namespace {

// At most `tries` requests that bring the line back in step after a wait
// that gave up (link/resync.h); never loses the line.
ExchangeResult resynchronise(int tries) {
    return commSettings.protocol == kTvxStandard ? tvxResynchronise(tries) : modbusResynchronise(tries);
}

// The model request after `tries` to bring the line back in step, where a
// wait gave up before. The reply that brought it back in step tells by
// itself that the controller answers: the model request follows it only
// when the model is asked for.
ExchangeResult requestModelInStep(int32_t* model, int tries) {
    if (model != nullptr) *model = 0;
    const bool owed = serialPort.repliesOwed();
    const ExchangeResult inStep = resynchronise(tries);
    if (inStep.faulted() || (owed && model == nullptr)) return inStep;
    int values[8] = {0};
    const ExchangeResult result = commSettings.protocol == kTvxStandard ? tvxTransaction(COM_MODEL, "", "W", values)
                                                                        : modbusTransaction(3, 300, 1, values);
    if (model != nullptr) *model = result.code == 0 ? values[0] : 0;
    return result;
}

}  // namespace

ExchangeResult requestModel(int32_t* model) { return requestModelInStep(model, 1); }

namespace {

// The probe: model requests until one is not silent, two at most. After a
// wait that gave up it is the way back in step, which tells by itself
// whether the controller answers: up to three tries (one for the closing
// requests). The last request's result.
ExchangeResult probe(int32_t* model) {
    if (serialPort.repliesOwed()) return requestModelInStep(model, closingRequests() ? 1 : kResyncTries);
    ExchangeResult result;
    for (int attempt = 0; attempt < 2; ++attempt) {
        result = requestModel(model);
        if (!result.silent() || lineHalted()) break;
    }
    return result;
}

}  // namespace

bool probeController(int32_t* model) { return !probe(model).silent(); }

ExchangeResult repeatExchange(const std::function<ExchangeResult()>& send) {
    const FaultCounts before = unrecoveredFaults();
    ExchangeResult result = send();
    for (int attempt = 1; attempt < kAttempts && result.faulted(); ++attempt) {
        if (lineHalted()) return result;
        if (result.silent() && !probeController()) {
            noteControllerGone();
            return result;
        }
        result = send();
    }
    if (!result.faulted()) forgiveFaultsSince(before);
    return result;
}

FirstLayout fallbackProbe(const std::function<ExchangeResult()>& send) {
    const FaultCounts before = unrecoveredFaults();
    FirstLayout first;
    first.result = repeatExchange(send);
    first.unknown = first.result.faulted() || first.result.lacking;
    if (first.result.faulted() && !lineHalted()) {
        const ExchangeResult answer = probe(nullptr);
        if (!answer.silent()) {
            forgiveFaultsSince(before);
            first.unknown = answer.faulted() || answer.lacking;
        }
    }
    return first;
}

ExchangeResult appendExchange(const std::function<ExchangeResult()>& send, const std::function<int32_t()>& count,
                              int32_t& held) {
    ExchangeResult result;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const FaultCounts mark = unrecoveredFaults();
        result = send();
        if (result.code == 0) {
            ++held;
            return result;
        }
        if (!result.faulted() || lineHalted()) return result;  // refused: not stored
        const int32_t now = count();
        if (now == held + 1) {  // it landed; only its reply was lost
            forgiveFaultsSince(mark);
            ++held;
            return ExchangeResult{};
        }
        if (now != held) {
            if (now >= 0) noteSequenceFault();
            return result;
        }
        forgiveFaultsSince(mark);  // not stored: sent again
    }
    noteSequenceFault();
    return result;
}

void writeCoil316(int value) {
    if (commSettings.protocol != kModbus) return;
    int v = value & 1;
    repeatExchange([&] { return modbusTransaction(5, 316, 1, &v); });
}

void writeCoil314(int value) {
    if (commSettings.protocol != kModbus) return;
    int v = value & 1;
    repeatExchange([&] { return modbusTransaction(5, 314, 1, &v); });
}

// ---- whole blocks

BlockResult watchFaults(const std::function<void()>& steps) {
    const FaultCounts before = unrecoveredFaults();
    steps();
    const FaultCounts after = unrecoveredFaults();
    BlockResult result;
    result.silent = after.silent != before.silent;
    result.spoiled = after.spoiled != before.spoiled;
    result.gone = controllerGone() || platform::pendingInterrupt() != 0;
    result.done = !result.silent && !result.spoiled && !result.gone;
    return result;
}

BlockResult runBlock(int mode, int functionNumber) {
    return watchFaults([&] { commSettings.functionHandler(mode, functionNumber); });
}

BlockResult moveBlock(int mode, int functionNumber) {
    const std::size_t refused = blockReport.refused.size();
    const std::size_t lacking = blockReport.lacking.size();
    BlockResult result = runBlock(mode, functionNumber);
    BlockResult worst = result;
    for (int redo = 0; redo < kRedos && !result.done && !result.gone; ++redo) {
        if (!probeController()) {
            worst.gone = true;
            break;
        }
        // Whatever the failed attempt reported is reported again, or not.
        blockReport.refused.resize(refused);
        blockReport.lacking.resize(lacking);
        if (mode == 0) blockAbsent[functionNumber] = 1;
        blockReport.redo = true;
        result = runBlock(mode, functionNumber);
        blockReport.redo = false;
        worst.silent = worst.silent || result.silent;
        worst.spoiled = worst.spoiled || result.spoiled;
        worst.gone = result.gone;
    }
    worst.done = result.done;
    if (!worst.done) worst.gone = worst.gone || controllerGone() || platform::pendingInterrupt() != 0;
    return worst;
}
