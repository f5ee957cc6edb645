#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

// The one rule for the value lines of a data file: what a download would
// ignore or change. The reading pass applies it to every value line before
// the line touches the image; `linkora check` reports what it says, and the
// download sends nothing of a line that it calls an error.

struct Finding {
    int line = 0;        // physical line, 1-based
    bool error = false;  // true: the download ignores the line; false: it changes or overrides a value
    std::string message;
};

// A value line as the reading pass met it.
struct RecordedLine {
    int line = 0;
    int32_t functionNumber = -1;
    std::string text;
};

// What the element numbers of value lines are judged against: the
// configuration the lines go to (for a download the connected controller's,
// for `linkora check` the file's own), with the group and analog output
// quantities the file sets and the channel range after the analog outputs
// are taken off.
struct LineLimits {
    int32_t outputQuantity = 0;
    int32_t firstChannel = 0;
    int32_t lastChannel = -1;  // inclusive, 0-based
    int32_t groupQuantity = 0;
    int32_t analogQuantity = 0;
    int32_t turn = 360;  // positions of a turn: the scale factor, 360 without one
};

// The rule, applied line by line in file order (it remembers the elements
// earlier lines set and the mappings counted so far).
//
// A value line is complete when every value of its block's form is there and
// only blanks, then a ';' comment or the end of the line, follow the last
// value. A line that is not complete, has an unknown function number, belongs
// to a block the model lacks, or names a channel, program, group, analog
// output, motion level, resolver, row or mapping slot outside the limits is
// an error: it must change nothing. Warnings (a value cut to its width on
// the wire, a later line overriding an earlier one, a setpoint position
// outside the turn, row entries past the last channel, an unknown mapping
// type) leave the line to be read as written.
//
// The block's form follows the image's model and options at the moment of
// the call, as the block's parser does.
class ValueLineRule {
public:
    explicit ValueLineRule(const LineLimits& limits) : limits_(limits) {}
    // Appends the findings of one value line; false when it is an error.
    bool judge(int line, const std::string& text, int32_t functionNumber, std::vector<Finding>& findings);

private:
    LineLimits limits_;
    std::map<std::vector<int32_t>, int> setBy_;
    int mappings_ = 0;
};

// True when every value of the line's form is there and nothing but blanks
// and a ';' comment follows (the form as for ValueLineRule).
bool valueLineComplete(const std::string& text, int32_t functionNumber);

// How many numbers after the function number name the element a line of
// block `functionNumber` sets (0 for a block with one element); -1 for the
// blocks whose every line adds a record (mappings, setpoints); -2 for a
// number that stores nothing. Depends on the image's model and options.
int keyWidth(int32_t functionNumber);

// The function number and the element numbers of a value line: two lines
// with the same key set the same element. Empty when the line has none.
std::vector<int32_t> lineKey(const std::string& text, int32_t functionNumber);

// Where a finding or a difference is: "FILE:LINE"; for line 0 (the whole
// file) the file name, or with placeOfLine nothing.
std::string placeOfFinding(const std::string& path, int line);
std::string placeOfLine(const std::string& path, int line);

// The number of lines with findings, each line counted once.
int linesWithFindings(const std::vector<Finding>& findings);

// Most setpoints a download can send: the controller's setpoint count is
// one 16-bit register (a TVX word).
constexpr int64_t kMaxDownloadSetpoints = 65535;

// The whole file as a reading pass found it, for the rule on files: what
// makes a file no data file, whatever its single lines say.
struct FileTally {
    int nulLine = 0;                   // the first physical line holding a NUL byte; 0: none
    int64_t acceptedLines = 0;         // value lines the value line rule took
    int64_t acceptedBeyondSystem = 0;  // of them, lines of blocks other than 2 to 5
    int64_t errorLines = 0;            // value lines it called an error
    int64_t warningLines = 0;          // lines with warnings only
    int64_t setpointLines = 0;         // accepted setpoint lines
    int setpointOverLine = 0;          // the line of the first setpoint past kMaxDownloadSetpoints
};

// A file no download sends: one that holds a NUL byte; one with more
// setpoints than a download can carry; one without any value line taken
// beyond its system information (model, firmware revision, output quantity,
// options); one whose error lines are at least as many as the value lines
// taken. The finding (an error, its line and the reason) is empty for a
// file that may be sent; its line is 0 when the reason is the whole file.
std::optional<Finding> fileRefusal(const FileTally& tally);
