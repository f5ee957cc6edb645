#pragma once
#include <cstdint>

#include "image/data_file.h"
#include "image/value_scan.h"

// What the block transcriber's two files share: the small helpers of value
// lines, and the blocks with their own layout (data_file_block_layouts.cpp)
// that the dispatch of data_file_blocks.cpp reaches by function number.

namespace blocks {

// Adds without the undefined behaviour of a signed overflow: the result
// wraps as the 32-bit value does on the controller's side.
inline int32_t wrapAdd(int32_t value, int32_t delta) {
    return static_cast<int32_t>(static_cast<int64_t>(value) + delta);
}

// A 1-based index from the file turned into a 0-based one, or -1 when it is
// outside 1..limit.
inline int32_t fileIndex(int32_t oneBased, int32_t limit) {
    return (oneBased >= 1 && oneBased <= limit) ? oneBased - 1 : -1;
}

// Scans lineBuffer; `v` receives the numbers (v[0] is the function number),
// the result is how many were read.
inline int scanLine(const char* format, int32_t* v, int maxValues) {
    return scanValues(lineBuffer, format, v, maxValues);
}

// A block with its own layout: how its lines are written and parsed.
struct OwnLayoutBlock {
    int functionNumber;
    void (*write)();
    void (*parse)();
};

// The row of block `functionNumber`, or nullptr when it has no own layout.
const OwnLayoutBlock* ownLayoutBlock(int functionNumber);

}  // namespace blocks
