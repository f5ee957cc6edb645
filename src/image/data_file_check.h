#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Findings about the value lines of a data file: what a download would
// ignore or change. Judged after the reading pass, against the image as the
// download would send it (model, options, channel range, group and analog
// quantities).

struct Finding {
    int line = 0;       // physical line, 1-based
    bool error = false; // true: the download ignores the line; false: it changes or overrides a value
    std::string message;
};

// A value line as the reading pass met it.
struct RecordedLine {
    int line = 0;
    int32_t functionNumber = -1;
    std::string text;
};

// The findings of the recorded lines, in line order.
std::vector<Finding> checkValueLines(const std::vector<RecordedLine>& lines);

// How many numbers after the function number name the element a line of
// block `functionNumber` sets (0 for a block with one element); -1 for the
// blocks whose every line adds a record (mappings, setpoints); -2 for a
// number that stores nothing. Depends on the image's model and options.
int keyWidth(int32_t functionNumber);

// The function number and the element numbers of a value line: two lines
// with the same key set the same element. Empty when the line has none.
std::vector<int32_t> lineKey(const std::string& text, int32_t functionNumber);

// The number of lines with findings, each line counted once.
int linesWithFindings(const std::vector<Finding>& findings);

// Records every value line of the reading passes in between (the download
// counts what its file holds that it would ignore or change).
void startRecordingValueLines();
std::vector<RecordedLine> stopRecordingValueLines();
