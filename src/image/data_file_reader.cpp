// The data file reader: finds the value lines, keys each by its leading
// function number and hands it to the block transcriber.
//
// A physical line is read whole, however long: the continuation of an
// over-long line (a long comment, say) is never judged as a line of its own,
// so it cannot inject a value line. Lines are read byte by byte, so NUL bytes
// or a missing final line end do no harm.

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/console_io.h"
#include "common/progress.h"
#include "common/settings.h"
#include "image/controller_image.h"
#include "image/data_file.h"
#include "image/data_file_check.h"
#include "image/data_file_text.h"
#include "image/setpoint_rules.h"
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

// The model a model line names: its number, or the code of a designation.
int32_t modelNamedBy(const std::string& line) {
    int32_t v[1];
    std::string word;
    if (scanValues(line, "%i: %s", v, 1, &word) < 2) return 0;
    const size_t comment = word.find(';');
    if (comment != std::string::npos) word.erase(comment);
    if (const int32_t code = modelOfDesignation(word); code != 0) return code;
    size_t pos = 0;
    int32_t model = 0;
    if (!scanInteger(word, pos, model) || pos != word.size()) return 0;
    return model;
}

void rewindDataFile() {
    if (dataFile != nullptr) std::rewind(dataFile);
    dataFileLine = 0;
}

std::vector<Finding> findings;

// The limits the lines of the open file are judged against: the image as it
// stands before the reading pass, with the scale factor, analog quantity and
// group quantity that the file's complete lines set, and the channel range
// after the analog outputs come off it. Reads the file from its start and
// rewinds it; the image is left as it was.
LineLimits limitsOfOpenFile() {
    const ControllerImage before = image;
    const int32_t lastBefore = lastChannel;
    int32_t absentBefore[kFunctionCount];
    std::copy(std::begin(blockAbsent), std::end(blockAbsent), absentBefore);
    while (readValueLine()) {
        const int32_t n = functionNumberOf(lineBuffer);
        if ((n == 18 || n == 20 || n == 45) && valueLineComplete(lineBuffer, n)) dataFileBlock(kModeParseLine, n);
    }
    takeAnalogOutputsOffChannels();
    LineLimits limits;
    limits.outputQuantity = before.outputQuantity;
    limits.firstChannel = firstChannel;
    limits.lastChannel = lastChannel;
    limits.groupQuantity = image.groupQuantity;
    // A small model with the analog option has its one analog output
    // whatever the file's quantity says.
    limits.analogQuantity = oneAnalogOutput(image.model, effectiveOptions) ? 1 : image.analogQuantity;
    limits.turn = turnOfScaleFactor(image.scaleFactor[0]);
    image = before;
    lastChannel = lastBefore;
    std::copy(std::begin(absentBefore), std::end(absentBefore), blockAbsent);
    rewindDataFile();
    return limits;
}

void readValueLines(bool showProgress, LineJudging judging) {
    findings.clear();
    std::optional<ValueLineRule> rule;
    if (judging == LineJudging::Judged) rule.emplace(limitsOfOpenFile());
    transferOptions.mappingsOnly = true;
    while (readValueLine()) {
        const int32_t n = functionNumberOf(lineBuffer);
        if (showProgress) progress::fileLine(static_cast<int>(n));
        if (rule && !rule->judge(dataFileLine, lineBuffer, n, findings)) continue;
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

bool findModelLine(int32_t* model) {
    bool found = false;
    while (!found && readValueLine()) found = functionNumberOf(lineBuffer) == 2;
    if (model != nullptr) *model = found ? modelNamedBy(lineBuffer) : 0;
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

void readDataFile(LineJudging judging) { readValueLines(true, judging); }

void readDataFileQuietly() { readValueLines(false, LineJudging::Judged); }

const std::vector<Finding>& readingFindings() { return findings; }

void takeAnalogOutputsOffChannels() {
    // The analog outputs of a large model come off the channel range, as the
    // upload takes them off; model 4356 keeps its last channel in both.
    if (effectiveOptions[kOptionAnalogOutput] != 0 && !modelIsSmall(configModel) &&
        modelTakesAnalogOffChannels(configModel)) {
        lastChannel = lastChannelLess(lastChannel, image.analogQuantity);
    }
}

void applyAfterReadingSteps() {
    if (transferOptions.mappingsOnly) return;
    takeAnalogOutputsOffChannels();
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
