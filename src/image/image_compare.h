#pragma once
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "image/controller_image.h"
#include "image/data_file_check.h"

// Two configurations compared block by block, the differences shown as the
// data file's value lines. A configuration is a copy of the image with its
// working values and, when it was read from a file, the line of the file
// that set each element.

struct ImageCopy {
    ControllerImage image{};
    std::vector<SetpointRecord> setpoints;  // setpointCount records
    int32_t blockAbsent[kFunctionCount] = {};
    int32_t effectiveOptions[kOptionCount] = {};
    int32_t firstChannel = 0;
    int32_t lastChannel = -1;
    int32_t configModel = 0;
    bool mappingsOnly = false;
    // Read from a file: the line that set each element, and the lines of
    // the setpoint and mapping records in record order.
    std::map<std::vector<int32_t>, int> lineOfKey;
    std::vector<int> setpointLines;
    std::vector<int> mappingLines;
    std::vector<RecordedLine> valueLines;  // the lines the reading pass took
    std::vector<Finding> findings;         // what the value line rule said about the file's lines
};

// While recording, the reading pass notes in `into` the lines it took
// (valueLines) and which of them set each element (lineOfKey) and each
// setpoint and mapping record (setpointLines, mappingLines).
void startRecordingLines(ImageCopy& into);
void stopRecordingLines();

// Copies the image and its working values out of, and back into, the
// global image.
std::unique_ptr<ImageCopy> copyImage();
void restoreImage(const ImageCopy& copy);

// The image as a download starts it before reading the file: zeroed, then
// the unit configuration (model, firmware revision, output quantity,
// options, scale factor) taken from the controller's copy and the working
// values derived from it.
void beginDownloadImage(const ImageCopy& controller);

// The reading pass of the open data file into the global image, quietly, as
// a download reads it (the image and the working values set beforehand);
// then the steps after reading, without factory defaults or kept offsets.
// Returns the copy with the lines recorded.
std::unique_ptr<ImageCopy> readOpenDataFile();

// The rule on files (fileRefusal) applied to the open data file, read as
// `check` reads it (the model, output quantity and options from the file's
// own lines), in bounded time and memory whatever the file holds: the first
// findings only, and the reading ends where the file is certain to be
// refused. The image, its working values and the mappings-only indication
// are left as they were; the file is rewound.
struct FileScreen {
    std::optional<Finding> refusal;  // why a download refuses the file; empty when it may send it
    FileTally tally;
    std::vector<Finding> findings;  // the first findings of its lines
};
FileScreen screenOpenDataFile();
// The same for a file by its name: 0 screened; 1 the file cannot be opened
// or read; 2 it has no model line.
int screenDataFile(const std::string& path, FileScreen& out);

// Reads a data file as a download would, with the model, output quantity and
// options taken from the file's own lines. 0 done; 1 the file cannot be
// opened or read (a folder, say); 2 it has no model line.
int loadDataFile(const std::string& path, std::unique_ptr<ImageCopy>& out);
// The same from a stream opened for reading, which stays open.
int loadDataFile(std::FILE* file, std::unique_ptr<ImageCopy>& out);

struct DifferenceLine {
    char sign;            // '-' the first configuration, '+' the second
    std::string text;     // the data text of the value line
    int line;             // the file's line, 0 when none
    std::string comment;  // the comment the data file writer gives the line
    int elements = 0;     // how many numbers after the function number name the element it sets
};

// Which blocks and elements count.
enum class CompareScope {
    Files,     // every block either side holds, every element
    Download,  // what a download of `second` would change in `first`
};

struct Comparison {
    std::vector<DifferenceLine> lines;
    std::vector<int> notInSecond;  // Download: blocks `first` holds that `second` leaves alone
};

Comparison compareImages(const ImageCopy& first, const ImageCopy& second, CompareScope scope);

// "-16: 1                    where" with the data text padded to its column.
std::string formatDifference(const DifferenceLine& d, const std::string& where);
