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

// The first physical line read since the start of the pass that holds a
// NUL byte; 0 while there is none.
int nulLine = 0;

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
        if (c == '\0' && nulLine == 0) nulLine = dataFileLine + 1;
        if (line.size() < kLineKeep) line.push_back(static_cast<char>(c));
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (any) ++dataFileLine;
    return any;
}

bool isValueLine(const std::string& line) { return !line.empty() && line[0] >= '0' && line[0] <= '9'; }

// While a judged pass runs: where a line that is no value line only for
// what comes before its function number is noted, and whether the reading
// ends at the first NUL byte.
std::vector<Finding>* displacedLines = nullptr;
bool endAtNul = false;

// A line that would be a complete value line without its leading blanks,
// tabs or the sign before its function number ("  49: 1,2,20,30",
// "+49: ..."). It stays a line the reader skips.
bool displacedValueLine(const std::string& line) {
    size_t at = 0;
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    if (at < line.size() && (line[at] == '+' || line[at] == '-')) ++at;
    if (at == 0 || at >= line.size() || line[at] < '0' || line[at] > '9') return false;
    const std::string rest = line.substr(at);
    size_t pos = 0;
    int32_t n = -1;
    return scanInteger(rest, pos, n) && valueLineComplete(rest, n);
}

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

FileTally tally;

// A screen keeps this many findings; the tally counts them all.
constexpr size_t kScreenFindings = 20;

// Notes the findings of one line in the tally and keeps them (a screen only
// the first ones).
void keepFindings(std::vector<Finding>& lineFindings, bool screening) {
    for (size_t i = 0; i < lineFindings.size();) {
        // The findings of one line follow each other.
        const int line = lineFindings[i].line;
        bool error = false;
        for (; i < lineFindings.size() && lineFindings[i].line == line; ++i) {
            error = error || lineFindings[i].error;
            if (!screening || findings.size() < kScreenFindings) findings.push_back(std::move(lineFindings[i]));
        }
        ++(error ? tally.errorLines : tally.warningLines);
    }
    lineFindings.clear();
}

// The reading pass. A screen stops at the first NUL byte and at the first
// setpoint past what a download can carry, so that neither time nor memory
// grows with a file that is no data file.
void readValueLines(bool showProgress, LineJudging judging, bool screening = false) {
    findings.clear();
    tally = {};
    std::optional<ValueLineRule> rule;
    if (judging == LineJudging::Judged) rule.emplace(limitsOfOpenFile());
    transferOptions.mappingsOnly = true;
    nulLine = 0;
    std::vector<Finding> lineFindings;
    if (rule) displacedLines = &lineFindings;
    endAtNul = screening;
    while (readValueLine()) {
        keepFindings(lineFindings, screening);  // the displaced lines before this one
        const int32_t n = functionNumberOf(lineBuffer);
        if (showProgress) progress::fileLine(static_cast<int>(n));
        if (rule) {
            const bool taken = rule->judge(dataFileLine, lineBuffer, n, lineFindings);
            keepFindings(lineFindings, screening);
            if (!taken) continue;
        }
        ++tally.acceptedLines;
        if (n < 2 || n > 5) ++tally.acceptedBeyondSystem;
        if (n == 49 && ++tally.setpointLines > kMaxDownloadSetpoints && tally.setpointOverLine == 0)
            tally.setpointOverLine = dataFileLine;
        if (screening && tally.setpointOverLine != 0) break;
        dataFileBlock(kModeParseLine, n);
        if (n >= 0 && n < kFunctionCount) blockAbsent[n] = 0;
        if (n != 2 && n != 14 && n != 15) transferOptions.mappingsOnly = false;
        if (valueLineObserver != nullptr) valueLineObserver(dataFileLine, n);
    }
    keepFindings(lineFindings, screening);
    displacedLines = nullptr;
    endAtNul = false;
    tally.nulLine = nulLine;
    if (showProgress) progress::endLine();
}

}  // namespace

bool readValueLine() {
    while (readPhysicalLine(lineBuffer)) {
        if (endAtNul && nulLine != 0) break;
        if (isValueLine(lineBuffer)) return true;
        if (displacedLines != nullptr && displacedValueLine(lineBuffer))
            displacedLines->push_back(
                {dataFileLine, false, "looks like a value line; it is not read because it does not begin the line"});
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

void screenDataFileQuietly() { readValueLines(false, LineJudging::Judged, true); }

const std::vector<Finding>& readingFindings() { return findings; }

const FileTally& readingTally() { return tally; }

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
