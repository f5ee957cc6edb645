#include "handlers/block_report.h"

BlockReport blockReport;

void clearBlockReport() { blockReport = BlockReport{}; }

void noteWriteResult(const ExchangeResult& result, int function, int element, bool first) {
    if (!result.refusedByController()) return;
    if (first && result.lacking) {
        for (int known : blockReport.lacking)
            if (known == function) return;
        blockReport.lacking.push_back(function);
        return;
    }
    blockReport.refused.push_back({function, element, result.code});
}

void noteReadResult(BlockFaults& faults, const ExchangeResult& result, bool first) {
    // Only a request the firmware does not know leaves a block absent; any
    // other refusal of a read says nothing about the controller's values.
    if (result.refusedByController() && !(first && result.lacking)) faults.broken = true;
}

void noteSequenceResult(BlockFaults& faults, const ExchangeResult& result) {
    if (result.refusedByController()) faults.broken = true;
}

bool blockStarted(BlockFaults& faults, const ExchangeResult& result, int function) {
    if (result.code == 0) return true;
    if (result.refusedByController() && result.lacking) {
        noteWriteResult(result, function, -1, true);
    } else {
        noteSequenceResult(faults, result);
    }
    return false;
}
