// The TVX Standard setpoint protocol (block 49): setpoints by index, read one
// by one, or wiped and added one by one. The program number travels as a
// word where the firmware has the wide commands, else as a byte.
#include <algorithm>
#include <cstdint>

#include "common/progress.h"
#include "handlers/block_report.h"
#include "handlers/tvx_requests.h"
#include "image/controller_image.h"
#include "link/tvx.h"

namespace tvx_handler {
namespace {

// Which commands the controller knows: the wide ones, or the narrow ones.
struct SetpointLayout {
    bool wide = false;
    // Whether the first request of the chosen layout may find the block
    // absent: on the wide layout, or when the narrow one was taken because
    // the controller does not know the wide commands.
    bool firstMayBeLacking = true;
};

// When writing, the probe comes after the wipe, so index 0 no longer exists:
// a controller that knows the wide command then answers COM_BAD_DATA, which
// still means wide (taking it for narrow would cut program numbers to a byte).
SetpointLayout setpointLayout(BlockFaults& faults, bool afterWipe) {
    Values values;
    const FirstLayout probe = transactOrFallBack(faults, COM_GET_SPT_2, "W", "WBWW", values);
    SetpointLayout layout;
    layout.wide = probe.result.code == COM_OK || (afterWipe && probe.result.code == COM_BAD_DATA);
    layout.firstMayBeLacking = layout.wide || probe.unknown;
    return layout;
}

// The number of setpoints the controller holds, or -1.
int32_t heldSetpoints(BlockFaults& faults) {
    Values values;
    return transact(faults, COM_SPT_COUNT, "G", "W", values).code == COM_OK ? values.v[0] : -1;
}

// Appends one setpoint: sent once, its landing learnt from the controller's
// count after a fault (exchange_rules.h). `held` is the count the controller
// has so far.
ExchangeResult addSetpoint(BlockFaults& faults, bool wide, const SetpointRecord& s, int index, int32_t& held) {
    const ExchangeResult result = appendExchange(
        faults,
        [&] {
            int values[kValueCount] = {s.program, s.channel, s.on, s.off};
            return wide ? tvxTransaction(COM_ADD_SPT_2, "WBWW", "", values)
                        : tvxTransaction(COM_ADD_SPT, "BBWW", "", values);
        },
        heldSetpoints, held);
    noteWriteResult(result, 49, index, false);  // refused: not stored
    return result;
}

ExchangeResult writeSetpoints(BlockFaults& faults) {
    Values values;
    ExchangeResult result = transact(faults, COM_WIPE_SPT, "", "", values);
    if (!blockStarted(faults, result, 49) || setpointCount <= 0) return result;
    const bool wide = setpointLayout(faults, true).wide;
    const size_t count = std::min(static_cast<size_t>(setpointCount), setpoints.size());
    int32_t held = 0;
    for (size_t i = 0; i < count; ++i) {
        progress::setpoint(static_cast<int>(i), static_cast<int>(count));
        result = addSetpoint(faults, wide, setpoints[i], static_cast<int>(i), held);
        if (result.faulted()) break;
    }
    progress::endSetpoints(static_cast<int>(count), result.code == COM_OK);
    return result;
}

ExchangeResult readSetpoints(BlockFaults& faults) {
    if (setpointCount <= 0) return ExchangeResult{};
    const SetpointLayout layout = setpointLayout(faults, false);
    ExchangeResult result;
    for (int32_t i = 0; i < setpointCount; ++i) {
        progress::setpoint(i, setpointCount);
        Values values;
        values.v[0] = i;
        result = layout.wide ? transact(faults, COM_GET_SPT_2, "W", "WBWW", values)
                             : transact(faults, COM_GET_SPT, "W", "BBWW", values);
        noteReadResult(faults, result, i == 0 && layout.firstMayBeLacking);
        // A setpoint that could not be read leaves the whole block absent.
        if (result.code == COM_OK && !storeSetpoint(i, {values.v[0], values.v[1], values.v[2], values.v[3]})) {
            result = ExchangeResult{COM_BAD_BUFFER, ExchangeKind::Spoiled};
            faults.broken = true;
        }
        if (result.code != COM_OK) break;
    }
    progress::endSetpoints(setpointCount, result.code == COM_OK);
    blockAbsent[49] = result.code;
    return result;
}

}  // namespace

ExchangeResult setpointsBlock(BlockFaults& faults, int mode) {
    return mode == 1 ? writeSetpoints(faults) : readSetpoints(faults);
}

}  // namespace tvx_handler
