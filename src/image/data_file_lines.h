#pragma once
#include <cstdint>

// The form of each block's value lines, stated once in the rows of the block
// transcriber (data_file_blocks.cpp, data_file_block_layouts.cpp): its
// writer and parser read it, and so does the value line rule
// (data_file_check.cpp), so that a block is added in one place.

// What the element numbers of a line index.
enum class LineIndex { None, Option, Channel, Group, Analog, Motion, Resolver, Row, Mapping, Setpoint, Shift };

// The form of a block's lines. `fields` has one letter per number after the
// function number: 'i' an element number, 'B' a byte on the wire, 'W' a
// word, 's' the model word; and the fields whose file form is not the word
// itself: 'S' a speed compensation word (the writer shows the words above
// 10000 below zero), 'P' a word the file shows one higher (the default
// program), 'Q' the output quantity (eight more than the controller's byte
// on a small model with Gray code). Every value the writer can print for a
// field is in its range.
struct LineForm {
    const char* format;  // for scanValues; the writer of a one-line block prints with it too
    const char* fields;
    LineIndex index;
    bool (*applies)();  // false: the block does not apply to the image's model; its lines are ignored
};

// The form of the lines of block `functionNumber` for the image's model and
// options at the moment of the call; nullptr for a number that stores
// nothing.
const LineForm* lineForm(int32_t functionNumber);
