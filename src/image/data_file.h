#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

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
void writeFileHeader();
// The three note lines written after the header for model 4444.
void writeModel4444Notes();
// Writes the section banner that precedes block `functionNumber`, when it
// has one and its condition holds (the caller checks blockAbsent).
void writeSectionBanner(int functionNumber);
// Pads the data text, adds the line-number field, the comment and CR LF.
void composeLine(const std::string& dataText, const std::string& comment);
// The whole file body as the upload writes it: header, notes, then banner
// and lines of every present block.
void writeDataFile();

// ---- reader
// The current value line (any length; continuation of an over-long physical
// line stays part of it).
extern std::string lineBuffer;
// True when a value line with function number 2 exists; rewinds the file.
bool findModelLine();
// Counts the value lines with function number 49; rewinds the file.
int countSetpointLines();
// The reading pass: parses every value line into the image, clears the
// blockAbsent entries met and decides mappingsOnly. Does not close the file.
void readDataFile();
// The steps after reading a full file: analog outputs off lastChannel,
// factory defaults for absent blocks (setDefaults), offsets kept (keepOffsets).
void applyAfterReadingSteps();
// Stores the factory defaults of one block into the image; returns 0.
int factoryDefault(int functionNumber);
// Reads the next physical value line into lineBuffer; false at end of file.
bool readValueLine();
