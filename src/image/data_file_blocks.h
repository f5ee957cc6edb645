#pragma once
#include <cstdint>

#include "image/controller_image.h"
#include "image/data_file.h"
#include "image/data_file_lines.h"
#include "image/value_scan.h"

// What the block transcriber's two files share: the small helpers of value
// lines, the conditions and forms of their rows, and the blocks with their
// own layout (data_file_block_layouts.cpp) that the dispatch of
// data_file_blocks.cpp reaches by function number.

namespace blocks {

// When a block applies, is written or is read.
using Condition = bool (*)();
inline bool always() { return true; }
inline bool hasLeadingTrailing() { return image.options[kOptionLeadingTrailing] != 0; }
inline bool timeBaseApplies() { return modelHasTimeBase(image.model, image.outputQuantity); }
inline bool rateSetupApplies() { return modelHasRateSetup(image.model); }
inline bool shiftCountsApply() { return modelHasShiftCounts(image.model); }

// The formats of the common line forms.
constexpr const char* kOneValue = "%i: %i";
constexpr const char* kTwoValues = "%i: %i,%i";
constexpr const char* kThreeValues = "%i: %i,%i,%i";
constexpr const char* kFourValues = "%i: %i,%i,%i,%i";
constexpr const char* kResolverValue = "%i: %i, %i";
constexpr const char* kRowValues = "%i: %i;%i,%i,%i,%i,%i,%i,%i,%i";

// A line of one value: a byte ('B'), a word ('W') or a field of its own.
constexpr LineForm oneValue(const char* field, Condition applies = always) {
    return {kOneValue, field, LineIndex::None, applies};
}

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

// A block with its own layout: how its lines are written and parsed, and
// their form; `other` replaces `form` while `takesOther` holds (the form
// follows the model or an option).
struct OwnLayoutBlock {
    int functionNumber;
    void (*write)();
    void (*parse)(const LineForm& form);
    LineForm form;
    LineForm other = {};
    Condition takesOther = nullptr;
};

// The row of block `functionNumber`, or nullptr when it has no own layout.
const OwnLayoutBlock* ownLayoutBlock(int functionNumber);

}  // namespace blocks
