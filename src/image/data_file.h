#pragma once
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

// The data file: a CR LF text of numbered, commented value lines, written
// from the image after an upload and read back into it for a download.

// The open data file of the transfer in progress (writer and reader both).
extern std::FILE* dataFile;

// Running line number of value lines.
extern int32_t lineNumber;

// Modes of dataFileBlock (0 and 1 are the FunctionHandler's).
constexpr int kModeParseLine = 2;
constexpr int kModeWriteLines = 3;

// Mode 3 writes the value lines of block `functionNumber` from the image to
// dataFile; mode 2 parses the line held in lineBuffer into the image.
void dataFileBlock(int mode, int functionNumber);

// ---- writer
// Header lines; the upload date is the local time of the clock, or of
// *dataFileTimeOverride when that is set (tests).
extern const std::time_t* dataFileTimeOverride;
void writeFileHeader();
// The three note lines written after the header for model 4444.
void writeModel4444Notes();
// Writes the section banner that precedes block `functionNumber`, when it
// has one and its condition holds (the caller checks blockAbsent).
void writeSectionBanner(int functionNumber);
// Pads the data text, adds the line-number field, the comment and CR LF.
// The line-number field is ";", four places, ";": the number right-aligned,
// or from 10000 up its last four digits.
void composeLine(const std::string& dataText, const std::string& comment);
// When set, composeLine collects the bare data texts here instead of writing
// lines (the comparisons render blocks through it).
extern std::vector<std::string>* composedDataTexts;
// When set as well, the comments of those lines, one for each data text.
extern std::vector<std::string>* composedComments;
// The whole file body as the upload writes it: header, notes, then banner
// and lines of every present block.
void writeDataFile();

// ---- reader
// The current value line (any length; continuation of an over-long physical
// line stays part of it).
extern std::string lineBuffer;
// True when a value line with function number 2 exists; rewinds the file.
// `model` (when given) receives the model the line names (its number, or the
// code of a designation such as KR55), 0 when it names none.
bool findModelLine(int32_t* model = nullptr);
// Counts the value lines with function number 49; rewinds the file. Only
// counts: the caller prints "%d Setpoints found\n", allocates the storage
// and sets setpointCount to 0 (the reader grows the storage should the
// reading pass meet more setpoint lines than were counted).
int countSetpointLines();
// How the reading pass treats the value lines.
enum class LineJudging {
    Judged,   // the value line rule: an error line changes nothing
    TakeAll,  // every line is parsed as far as it goes (the simulator's own files)
};
// The reading pass: parses every value line into the image, clears the
// blockAbsent entries met and decides mappingsOnly. Does not close the file.
// Judged: every value line is first judged by ValueLineRule against the
// limits of the image as it stands before the pass (with the group and
// analog output quantities and the scale factor the file sets); a line it
// calls an error is skipped entirely (no field, no blockAbsent entry, no
// part in mappingsOnly). The findings are kept for readingFindings().
void readDataFile(LineJudging judging = LineJudging::Judged);
// The steps after reading a full file: analog outputs off lastChannel,
// factory defaults for absent blocks (setDefaults), offsets kept (keepOffsets).
// Does nothing when transferOptions.mappingsOnly is set.
void applyAfterReadingSteps();
// Stores the factory defaults of one block into the image; returns 0.
int factoryDefault(int functionNumber);
// Reads the next value line (a physical line whose first character is a
// digit; the others are skipped) into lineBuffer, without its line end;
// false at the end of the file.
bool readValueLine();
// 1-based number of the physical line that readValueLine read last.
extern int dataFileLine;
// Called after each value line of the reading pass has been parsed, with
// its physical line number and function number (when set).
extern void (*valueLineObserver)(int line, int32_t functionNumber);
// The reading pass without the progress display (the offline commands).
void readDataFileQuietly();
// The reading pass as a screen for the rule on files (fileRefusal): judged
// and parsed as readDataFileQuietly() does, but only the first findings are
// kept (the tally counts them all), and the pass ends at the first NUL byte
// and at the first setpoint past what a download can carry.
void screenDataFileQuietly();
// The findings of the last judged reading pass, in line order. A line that
// is no value line only for the blanks, tabs or sign before its function
// number is a warning.
struct Finding;
const std::vector<Finding>& readingFindings();
// What the last reading pass counted, for the rule on files.
struct FileTally;
const FileTally& readingTally();
// The first step after reading: the analog outputs of a large model come off
// the channel range (also part of applyAfterReadingSteps).
void takeAnalogOutputsOffChannels();
