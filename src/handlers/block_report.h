#pragma once
#include <vector>

#include "handlers/exchange_rules.h"

// What a block reported beyond blockAbsent: the values the controller refused
// to take, and whether the firmware lacks the block altogether. The line's
// own faults, and the refusals that break a block, go to its BlockFaults.

// A value the controller refused while a block was written. `element` is the
// channel, group, setpoint or record index, or -1 for a single setting.
struct RefusedValue {
    int function;
    int element;
    int code;
};

struct BlockReport {
    // Blocks whose command the firmware does not know (refused on the first
    // request of a write): skipped.
    std::vector<int> lacking;
    std::vector<RefusedValue> refused;
    // Set by the transfers while a block is read once more from its start.
    bool redo = false;
};

extern BlockReport blockReport;

// Forgets what earlier transfers reported.
void clearBlockReport();

// The result of one write that the controller may have refused. `first`
// tells whether it was the first request of the block (or of its fallback
// layout). Its line fault, if any, is the caller's to note.
void noteWriteResult(const ExchangeResult& result, int function, int element, bool first);

// The result of one read inside a block: a refusal of the first request
// that says the firmware lacks the command means the block is absent; any
// other refusal breaks the block.
void noteReadResult(BlockFaults& faults, const ExchangeResult& result, bool first);

// The result of a request that sets up a sequence (a cursor, a staging
// record, a loading coil): any refusal breaks the block.
void noteSequenceResult(BlockFaults& faults, const ExchangeResult& result);

// The first request of a written block: true when the block goes on. A block
// whose command the firmware lacks is reported and skipped; any other refusal
// breaks the block.
bool blockStarted(BlockFaults& faults, const ExchangeResult& result, int function);
