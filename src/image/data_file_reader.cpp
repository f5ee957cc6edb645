// The data file reader: finds the value lines, keys each by its leading
// function number and hands it to the block transcriber.
//
// A physical line is read whole, however long: the continuation of an
// over-long line (a long comment, say) is never judged as a line of its own,
// so it cannot inject a value line. Lines are read byte by byte, so NUL bytes
// or a missing final line end do no harm.

#include <cstdio>
#include <string>

#include "common/console_io.h"
#include "common/progress.h"
#include "common/settings.h"
#include "image/controller_image.h"
#include "image/data_file.h"
#include "image/data_file_text.h"
#include "image/value_scan.h"

std::string lineBuffer;
int dataFileLine = 0;
void (*valueLineObserver)(int line, int32_t functionNumber) = nullptr;

namespace {

// No value line needs more than this; the rest of a longer line is read and
// dropped, so that a file without line ends cannot exhaust the memory.
constexpr size_t kLineKeep = 4096;

// Reads one physical line (without its CR LF) into `line`; false at the end
// of the file when nothing was read.
bool readPhysicalLine(std::string& line) {
    line.clear();
    if (dataFile == nullptr) return false;
    bool any = false;
    int c;
    while ((c = std::getc(dataFile)) != EOF) {
        any = true;
        if (c == '\n') break;
        if (line.size() < kLineKeep) line.push_back(static_cast<char>(c));
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (any) ++dataFileLine;
    return any;
}

bool isValueLine(const std::string& line) { return !line.empty() && line[0] >= '0' && line[0] <= '9'; }

// The function number at the start of a value line.
int32_t functionNumberOf(const std::string& line) {
    size_t pos = 0;
    int32_t n = -1;
    if (!scanInteger(line, pos, n)) return -1;
    return n;
}

void rewindDataFile() {
    if (dataFile != nullptr) std::rewind(dataFile);
    dataFileLine = 0;
}

void readValueLines(bool showProgress) {
    transferOptions.mappingsOnly = true;
    while (readValueLine()) {
        const int32_t n = functionNumberOf(lineBuffer);
        if (showProgress) progress::fileLine(static_cast<int>(n));
        dataFileBlock(kModeParseLine, n);
        if (n >= 0 && n < kFunctionCount) blockAbsent[n] = 0;
        if (n != 2 && n != 14 && n != 15) transferOptions.mappingsOnly = false;
        if (valueLineObserver != nullptr) valueLineObserver(dataFileLine, n);
    }
    if (showProgress) progress::endLine();
}

}  // namespace

bool readValueLine() {
    while (readPhysicalLine(lineBuffer)) {
        if (isValueLine(lineBuffer)) return true;
    }
    lineBuffer.clear();
    return false;
}

bool findModelLine() {
    bool found = false;
    while (!found && readValueLine()) found = functionNumberOf(lineBuffer) == 2;
    rewindDataFile();
    return found;
}

int countSetpointLines() {
    int count = 0;
    while (readValueLine()) {
        if (functionNumberOf(lineBuffer) == 49 && count < INT32_MAX) ++count;
    }
    rewindDataFile();
    return count;
}

void readDataFile() { readValueLines(true); }

void readDataFileQuietly() { readValueLines(false); }

void applyAfterReadingSteps() {
    if (transferOptions.mappingsOnly) return;
    // The analog outputs of a large model come off the channel range, as the
    // upload takes them off; model 4356 keeps its last channel in both.
    if (effectiveOptions[6] != 0 && configModel > 3343 && configModel != 4356)
        lastChannel = lastChannelLess(lastChannel, image.analogQuantity);
    if (transferOptions.setDefaults) {
        for (int n = 0; n < kFunctionCount; ++n) {
            if (blockAbsent[n] != 0) blockAbsent[n] = factoryDefault(n);
        }
    }
    if (transferOptions.keepOffsets) {
        blockAbsent[9] = 1;
        blockAbsent[19] = 1;
    }
}
