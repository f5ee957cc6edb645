#include "handlers/block_report.h"

#include "link/exchange_health.h"

BlockReport blockReport;

void clearBlockReport() { blockReport = BlockReport{}; }

namespace {

// A non-zero result that the controller gave, not the line.
bool refusedByController(int result) { return result != 0 && lastExchangeFault() == ExchangeFault::None; }

}  // namespace

void noteWriteResult(int result, int function, int element, bool first) {
    if (!refusedByController(result)) return;
    if (first && lastRefusalMeansLacking()) {
        for (int known : blockReport.lacking)
            if (known == function) return;
        blockReport.lacking.push_back(function);
        return;
    }
    blockReport.refused.push_back({function, element, lastRefusalCode()});
}

void noteReadResult(int result, bool first) {
    // Only a request the firmware does not know leaves a block absent; any
    // other refusal of a read says nothing about the controller's values.
    if (refusedByController(result) && !(first && lastRefusalMeansLacking())) noteSequenceFault();
}

void noteSequenceResult(int result) {
    if (refusedByController(result)) noteSequenceFault();
}
