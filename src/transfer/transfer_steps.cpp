#include "transfer/transfer_steps.h"

#include "common/console_io.h"
#include "common/settings.h"
#include "handlers/block_report.h"
#include "image/controller_image.h"
#include "link/exchange_health.h"
#include "link/modbus.h"
#include "link/serial_port.h"
#include "platform/interrupts.h"
#include "transfer/line_watch.h"

namespace {

// How long a controller may take to answer again after a restart whose
// reply was lost.
constexpr int64_t kRestartWaitMicros = 60 * 1000000LL;
constexpr int kRunStateRegister = 340;

}  // namespace

int interruption() { return platform::pendingInterrupt(); }

bool controllerAnswers() { return probeController(); }

bool stopController(BlockResult* outcome) {
    const BlockResult result = runBlock(1, 0);
    if (outcome != nullptr) *outcome = result;
    return result.done;
}

bool controllerFoundStopped() {
    if (commSettings.protocol != kModbus) return false;
    int state[1] = {0};
    // A controller that refuses or ignores the read is taken as running.
    const int read = fallbackProbe([&] { return modbusTransaction(3, kRunStateRegister, 1, state); }).result.code;
    return read == 0 && state[0] == 1;
}

bool setControllerChecksum() { return runBlock(1, 1).done; }

bool restartController(bool mayWait) {
    const BlockResult sent = runBlock(0, 0);
    if (sent.done) return true;
    // A refusal is an answer: the restart did not happen and may be asked for again.
    if (!sent.lineFault && !lineHalted()) return runBlock(0, 0).done;
    if (lineHalted() || !mayWait) return false;
    // Lost or spoiled: the controller may be rebooting. Wait until it
    // answers again, then learn whether the restart took effect.
    forgetControllerGone();
    // Measured on the line's clock, as the probes' own waits are.
    const int64_t start = serialPort.nowMicros();
    bool answers = false;
    while (!(answers = probeController()) && serialPort.nowMicros() - start < kRestartWaitMicros) {
        if (lineHalted()) return false;
    }
    if (!answers) return false;
    if (commSettings.protocol != kModbus) return true;  // the reset cannot be repeated blindly; it answers again
    int state[1] = {1};
    const int read = repeatExchange([&] { return modbusTransaction(3, kRunStateRegister, 1, state); }).code;
    if (read != 0) return false;
    if (state[0] == 0) return true;
    // Still stopped: the restart never arrived, so it may be sent again.
    return runBlock(0, 0).done;
}

void waitForKeyIfInteractive(int unattended) {
    if (unattended) return;
    conPuts("Hit any key to continue...");
    getKey();
}

std::string blockList(const std::vector<int>& blocks) {
    std::string text;
    for (int block : blocks) {
        if (!text.empty()) text += ", ";
        text += block < 0 ? std::string("setpoint count") : std::to_string(block);
    }
    return text;
}

void reportRefusedValues() {
    if (blockReport.refused.empty()) return;
    conPrintf("The controller refused %d value(s); they are not in the controller:\n",
              static_cast<int>(blockReport.refused.size()));
    for (const RefusedValue& value : blockReport.refused) {
        if (value.element < 0) {
            conPrintf("  block %d (code %d)\n", value.function, value.code);
        } else {
            conPrintf("  block %d, element %d (code %d)\n", value.function, value.element, value.code);
        }
    }
}
