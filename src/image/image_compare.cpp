// Comparing two configurations: each block is rendered by the data file
// writer into its value lines, and the lines of the two sides are matched by
// the element they set (the setpoint and mapping lines, which add records,
// as multisets).
#include "image/image_compare.h"

#include <algorithm>
#include <cstdio>

#include "common/settings.h"
#include "image/data_file.h"
#include "image/value_scan.h"

namespace {

ImageCopy* recording = nullptr;

// Notes, after the reading pass has parsed a value line, which element or
// record the line set.
void recordValueLine(int line, int32_t functionNumber) {
    if (recording == nullptr) return;
    recording->valueLines.push_back({line, functionNumber, lineBuffer});
    if (functionNumber == 49) {
        if (setpointCount > static_cast<int32_t>(recording->setpointLines.size()))
            recording->setpointLines.push_back(line);
    } else if (functionNumber == 15) {
        if (image.mappingCount > static_cast<int32_t>(recording->mappingLines.size()))
            recording->mappingLines.push_back(line);
    } else {
        const std::vector<int32_t> key = lineKey(lineBuffer, functionNumber);
        if (!key.empty()) recording->lineOfKey[key] = line;
    }
}

// A small model with Gray code shows eight more outputs than it reports;
// the unit configuration adds them again.
void toReportedOutputQuantity() {
    if (grayCodeAddsOutputs(image.model, image.options) && image.outputQuantity > INT32_MIN + kGrayCodeExtraOutputs)
        image.outputQuantity -= kGrayCodeExtraOutputs;
}

struct RenderedLine {
    std::string text;
    std::vector<int32_t> key;
    int line;
    std::string comment;
    int elements() const { return key.empty() ? 0 : static_cast<int>(key.size()) - 1; }
};

std::vector<RenderedLine> render(const ImageCopy& copy, int functionNumber) {
    restoreImage(copy);
    std::vector<std::string> texts, comments;
    composedDataTexts = &texts;
    composedComments = &comments;
    dataFileBlock(kModeWriteLines, functionNumber);
    composedDataTexts = nullptr;
    composedComments = nullptr;
    std::vector<RenderedLine> lines;
    const bool records = keyWidth(functionNumber) == -1;
    for (size_t i = 0; i < texts.size(); ++i) {
        RenderedLine r{texts[i], {}, 0, i < comments.size() ? comments[i] : std::string()};
        if (records) {
            const std::vector<int>& recordLines = functionNumber == 49 ? copy.setpointLines : copy.mappingLines;
            if (i < recordLines.size()) r.line = recordLines[i];
        } else {
            r.key = lineKey(r.text, functionNumber);
            if (const auto at = copy.lineOfKey.find(r.key); at != copy.lineOfKey.end()) r.line = at->second;
        }
        lines.push_back(std::move(r));
    }
    return lines;
}

// Records: each line of one side is matched with an equal line of the other.
void compareRecords(const std::vector<RenderedLine>& a, const std::vector<RenderedLine>& b,
                    std::vector<DifferenceLine>& out) {
    std::vector<bool> usedB(b.size(), false);
    std::vector<bool> matchedA(a.size(), false);
    for (size_t i = 0; i < a.size(); ++i) {
        for (size_t j = 0; j < b.size(); ++j) {
            if (!usedB[j] && b[j].text == a[i].text) {
                usedB[j] = true;
                matchedA[i] = true;
                break;
            }
        }
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (!matchedA[i]) out.push_back({'-', a[i].text, a[i].line, a[i].comment, a[i].elements()});
    }
    for (size_t j = 0; j < b.size(); ++j) {
        if (!usedB[j]) out.push_back({'+', b[j].text, b[j].line, b[j].comment, b[j].elements()});
    }
}

// Elements: lines with the same key set the same element.
// `onlyInA`: whether an element that only `a` shows differs; a download
// leaves the elements alone that it does not send.
void compareElements(const std::vector<RenderedLine>& a, const std::vector<RenderedLine>& b, bool onlyInA,
                     std::vector<DifferenceLine>& out) {
    auto keyOf = [](const RenderedLine& r) { return r.key.empty() ? std::vector<int32_t>{} : r.key; };
    std::vector<bool> usedB(b.size(), false);
    for (const RenderedLine& l : a) {
        size_t j = 0;
        while (j < b.size() && (usedB[j] || keyOf(b[j]) != keyOf(l) || (l.key.empty() && b[j].text != l.text))) ++j;
        if (j == b.size()) {
            if (onlyInA) out.push_back({'-', l.text, l.line, l.comment, l.elements()});
            continue;
        }
        usedB[j] = true;
        if (b[j].text == l.text) continue;
        out.push_back({'-', l.text, l.line, l.comment, l.elements()});
        out.push_back({'+', b[j].text, b[j].line, b[j].comment, b[j].elements()});
    }
    for (size_t j = 0; j < b.size(); ++j) {
        if (!usedB[j]) out.push_back({'+', b[j].text, b[j].line, b[j].comment, b[j].elements()});
    }
}

// Blocks whose lines leave out the elements that hold 0, which a download
// sends all the same: an element the first side shows and the second does
// not is set to 0.
bool zeroesLeftOut(int functionNumber) { return functionNumber == 7 || functionNumber == 8; }

void compareBlock(const ImageCopy* a, const ImageCopy* b, int functionNumber, CompareScope scope,
                  std::vector<DifferenceLine>& out) {
    const std::vector<RenderedLine> linesA = a != nullptr ? render(*a, functionNumber) : std::vector<RenderedLine>{};
    const std::vector<RenderedLine> linesB = b != nullptr ? render(*b, functionNumber) : std::vector<RenderedLine>{};
    if (keyWidth(functionNumber) == -1) {
        compareRecords(linesA, linesB, out);
    } else {
        compareElements(linesA, linesB, scope == CompareScope::Files || zeroesLeftOut(functionNumber), out);
    }
}

bool present(const ImageCopy& copy, int n) { return copy.blockAbsent[n] == 0; }

}  // namespace

void startRecordingLines(ImageCopy& into) {
    recording = &into;
    valueLineObserver = recordValueLine;
}

void stopRecordingLines() {
    valueLineObserver = nullptr;
    recording = nullptr;
}

std::unique_ptr<ImageCopy> copyImage() {
    auto copy = std::make_unique<ImageCopy>();
    copy->image = image;
    const size_t count = std::min<size_t>(static_cast<size_t>(std::max<int32_t>(setpointCount, 0)), setpoints.size());
    copy->setpoints.assign(setpoints.begin(), setpoints.begin() + static_cast<std::ptrdiff_t>(count));
    std::copy(std::begin(blockAbsent), std::end(blockAbsent), copy->blockAbsent);
    std::copy(std::begin(effectiveOptions), std::end(effectiveOptions), copy->effectiveOptions);
    copy->firstChannel = firstChannel;
    copy->lastChannel = lastChannel;
    copy->configModel = configModel;
    copy->mappingsOnly = transferOptions.mappingsOnly;
    return copy;
}

void restoreImage(const ImageCopy& copy) {
    image = copy.image;
    setpoints = copy.setpoints;
    setpointCount = static_cast<int32_t>(copy.setpoints.size());
    std::copy(std::begin(copy.blockAbsent), std::end(copy.blockAbsent), blockAbsent);
    std::copy(std::begin(copy.effectiveOptions), std::end(copy.effectiveOptions), effectiveOptions);
    firstChannel = copy.firstChannel;
    lastChannel = copy.lastChannel;
    configModel = copy.configModel;
}

void beginDownloadImage(const ImageCopy& controller) {
    resetImage();
    releaseSetpoints();
    image.model = controller.image.model;
    image.firmwareRevision = controller.image.firmwareRevision;
    image.outputQuantity = controller.image.outputQuantity;
    std::copy(std::begin(controller.image.options), std::end(controller.image.options), image.options);
    std::copy(std::begin(controller.image.scaleFactor), std::end(controller.image.scaleFactor), image.scaleFactor);
    for (int n : {2, 3, 4, 5, 18}) blockAbsent[n] = controller.blockAbsent[n];
    toReportedOutputQuantity();
    deriveWorkingValues();
}

std::unique_ptr<ImageCopy> readOpenDataFile() {
    ImageCopy lines;
    startRecordingLines(lines);
    releaseSetpoints();
    setpointCount = 0;
    readDataFileQuietly();
    stopRecordingLines();
    const TransferOptions saved = transferOptions;
    transferOptions.setDefaults = false;
    transferOptions.keepOffsets = false;
    applyAfterReadingSteps();
    const bool mappingsOnly = transferOptions.mappingsOnly;
    transferOptions = saved;
    transferOptions.mappingsOnly = mappingsOnly;
    auto copy = copyImage();
    // A shift count is held as the file's value less one and sent as the
    // file's value, unless it is 0; the copy holds what the controller gets.
    for (auto& program : copy->image.shiftRegisterCount) {
        for (int32_t& count : program) {
            if (count != 0) count = static_cast<int32_t>(static_cast<uint32_t>(count) + 1u);
        }
    }
    copy->lineOfKey = std::move(lines.lineOfKey);
    copy->setpointLines = std::move(lines.setpointLines);
    copy->mappingLines = std::move(lines.mappingLines);
    copy->valueLines = std::move(lines.valueLines);
    copy->findings = readingFindings();
    return copy;
}

namespace {

// The image as `check` starts it: the model, output quantity and options
// from the open file's own lines. Rewinds the file.
void beginFileOwnImage() {
    resetImage();
    releaseSetpoints();
    while (readValueLine()) {
        int32_t v[2] = {};
        if (scanValues(lineBuffer, "%i", v, 1) < 1) continue;
        if (v[0] == 2 && scanValues(lineBuffer, "%i: %i", v, 2) == 2) image.model = v[1];
        // Only complete lines count, as in the reading pass.
        if ((v[0] == 4 || v[0] == 5) && !valueLineComplete(lineBuffer, v[0])) continue;
        if (v[0] == 2 || v[0] == 4 || v[0] == 5) dataFileBlock(kModeParseLine, v[0]);
    }
    std::rewind(dataFile);
    dataFileLine = 0;
    for (int n = 0; n < kFunctionCount; ++n) blockAbsent[n] = 1;
    toReportedOutputQuantity();
    deriveWorkingValues();
}

}  // namespace

FileScreen screenOpenDataFile() {
    const std::unique_ptr<ImageCopy> saved = copyImage();
    const bool mappingsOnly = transferOptions.mappingsOnly;
    beginFileOwnImage();
    screenDataFileQuietly();
    FileScreen screen;
    screen.tally = readingTally();
    screen.findings = readingFindings();
    screen.refusal = fileRefusal(screen.tally);
    std::rewind(dataFile);
    dataFileLine = 0;
    restoreImage(*saved);
    transferOptions.mappingsOnly = mappingsOnly;
    return screen;
}

namespace {

// Opens a data file for reading; nullptr when it cannot be opened or read.
std::FILE* openReadable(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return nullptr;
    // A folder opens, but cannot be read.
    if (std::getc(file) == EOF && std::ferror(file)) {
        std::fclose(file);
        return nullptr;
    }
    std::rewind(file);
    return file;
}

}  // namespace

int screenDataFile(const std::string& path, FileScreen& out) {
    std::FILE* file = openReadable(path);
    if (file == nullptr) return 1;
    dataFile = file;
    const bool hasModelLine = findModelLine();
    if (hasModelLine) out = screenOpenDataFile();
    dataFile = nullptr;
    std::fclose(file);
    return hasModelLine ? 0 : 2;
}

int loadDataFile(const std::string& path, std::unique_ptr<ImageCopy>& out) {
    std::FILE* file = openReadable(path);
    if (file == nullptr) return 1;
    const int result = loadDataFile(file, out);
    std::fclose(file);
    return result;
}

int loadDataFile(std::FILE* file, std::unique_ptr<ImageCopy>& out) {
    // A folder opens, but cannot be read.
    if (std::getc(file) == EOF && std::ferror(file)) return 1;
    std::rewind(file);
    dataFile = file;
    int result = 0;
    if (!findModelLine()) {
        result = 2;
    } else {
        beginFileOwnImage();
        out = readOpenDataFile();
    }
    dataFile = nullptr;
    return result;
}

Comparison compareImages(const ImageCopy& first, const ImageCopy& second, CompareScope scope) {
    Comparison result;
    for (int n = 2; n < kFunctionCount; ++n) {
        if (scope == CompareScope::Files) {
            if (!present(first, n) && !present(second, n)) continue;
            compareBlock(present(first, n) ? &first : nullptr, present(second, n) ? &second : nullptr, n, scope,
                         result.lines);
            continue;
        }
        // A download sends blocks from 6 up that the controller has; a full
        // file without setpoints clears them, and the group offsets go out
        // again after the reset.
        if (n < 6 || !present(first, n)) continue;
        const bool sent = present(second, n) || (!second.mappingsOnly && (n == 9 || n == 49));
        if (sent) {
            compareBlock(&first, &second, n, scope, result.lines);
        } else if (kFunctionBlocks[n].inDataFile && !render(first, n).empty()) {
            result.notInSecond.push_back(n);
        }
    }
    return result;
}

std::string formatDifference(const DifferenceLine& d, const std::string& where) {
    std::string line(1, d.sign);
    line += d.text;
    if (!where.empty()) {
        if (line.size() < 24) line.append(24 - line.size(), ' ');
        line += "  ";
        line += where;
    }
    return line;
}
