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

// Whether the controller is gone or the transfer interrupted, once a block's
// requests are over.
BlockResult judged(BlockResult result) {
    result.gone = controllerGone() || platform::pendingInterrupt() != 0;
    result.done = !result.silent && !result.spoiled && !result.gone;
    return result;
}

}  // namespace

ExchangeResult BlockFaults::note(const ExchangeResult& result) {
    if (result.faulted()) {
        if (result.silent()) {
            silent = true;
        } else {
            spoiled = true;
        }
    }
    return result;
}

void BlockFaults::add(const BlockFaults& other) {
    silent = silent || other.silent;
    spoiled = spoiled || other.spoiled;
    broken = broken || other.broken;
}

BlockResult blockResult(const BlockFaults& faults) {
    BlockResult result;
    result.silent = faults.silent;
    result.spoiled = faults.spoiled || faults.broken;
    result.lineFault = faults.silent || faults.spoiled;
    return judged(result);
}

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
// requests). The last request's result; the faults of its requests go to
// `faults`.
ExchangeResult probe(int32_t* model, BlockFaults& faults) {
    if (serialPort.repliesOwed()) return faults.note(requestModelInStep(model, closingRequests() ? 1 : kResyncTries));
    ExchangeResult result;
    for (int attempt = 0; attempt < 2; ++attempt) {
        result = faults.note(requestModel(model));
        if (!result.silent() || lineHalted()) break;
    }
    return result;
}

}  // namespace

bool probeController(int32_t* model) {
    BlockFaults outsideABlock;
    return !probe(model, outsideABlock).silent();
}

ExchangeResult repeatExchange(BlockFaults& faults, const std::function<ExchangeResult()>& send) {
    BlockFaults attempts;
    ExchangeResult result = attempts.note(send());
    for (int attempt = 1; attempt < kAttempts && result.faulted(); ++attempt) {
        if (lineHalted()) break;
        if (result.silent() && probe(nullptr, attempts).silent()) {
            noteControllerGone();
            break;
        }
        result = attempts.note(send());
    }
    // An answer at last: the faults before it did no harm.
    if (result.faulted()) faults.add(attempts);
    return result;
}

ExchangeResult repeatExchange(const std::function<ExchangeResult()>& send) {
    BlockFaults outsideABlock;
    return repeatExchange(outsideABlock, send);
}

FirstLayout fallbackProbe(BlockFaults& faults, const std::function<ExchangeResult()>& send) {
    BlockFaults tried;
    FirstLayout first;
    first.result = repeatExchange(tried, send);
    first.unknown = first.result.faulted() || first.result.lacking;
    if (first.result.faulted() && !lineHalted()) {
        const ExchangeResult answer = probe(nullptr, tried);
        if (!answer.silent()) {
            tried = BlockFaults{};  // the controller is there: the fallback is taken
            first.unknown = answer.faulted() || answer.lacking;
        }
    }
    faults.add(tried);
    return first;
}

FirstLayout fallbackProbe(const std::function<ExchangeResult()>& send) {
    BlockFaults outsideABlock;
    return fallbackProbe(outsideABlock, send);
}

ExchangeResult appendExchange(BlockFaults& faults, const std::function<ExchangeResult()>& send,
                              const std::function<int32_t(BlockFaults&)>& count, int32_t& held) {
    ExchangeResult result;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        BlockFaults sent;
        result = sent.note(send());
        if (result.code == 0) {
            ++held;
            faults.add(sent);
            return result;
        }
        if (!result.faulted() || lineHalted()) {  // refused: not stored
            faults.add(sent);
            return result;
        }
        const int32_t now = count(sent);
        if (now == held + 1) {  // it landed; only its reply was lost
            ++held;
            return ExchangeResult{};
        }
        if (now != held) {
            if (now >= 0) sent.broken = true;
            faults.add(sent);
            return result;
        }
        // Not stored: sent again, its fault learnt.
    }
    faults.broken = true;
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

BlockResult runBlock(int mode, int functionNumber) {
    // Asked afterwards whatever the handler: the one installed before a
    // connection sends nothing.
    return judged(commSettings.functionHandler(mode, functionNumber));
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
