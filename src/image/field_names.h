#pragma once
#include <string>
#include <vector>

#include "image/image_compare.h"

// What a value line sets, named as the data file writer's comment names it,
// for the differences that are shown in words rather than lines.

// "Scale factor", "Speed comp (.1mS) chn 2", "Operator enable: Setpoints":
// the writer's comment without the list of the line's values, and the
// element the line sets.
std::string fieldNameOf(const DifferenceLine& line);

// A change line as diff and backup print it: the data text, what the line
// sets ("Default Program", "program 2 channel 5" for a setpoint) and, where
// given, the file's line: "-6: 3                   Default Program   a.DAT:22".
std::string formatChange(const DifferenceLine& line, const std::string& where);

// The value part of a line's data text: what follows the element numbers.
std::string fieldValueOf(const DifferenceLine& line);

// Every difference except the setpoints, one text each, the first
// configuration's value before the second's: "Scale factor 360 -> 720",
// "Timed outputs (mS) chn 3: 50 -> none".
std::vector<std::string> valueChanges(const std::vector<DifferenceLine>& lines);
