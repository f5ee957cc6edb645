// linkora check and linkora diff: data files read as a download reads them,
// without a controller.
#include "transfer/file_commands.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/console_io.h"
#include "image/data_file.h"
#include "image/data_file_check.h"
#include "image/image_compare.h"
#include "image/setpoint_rules.h"
#include "transfer/controller_read.h"

namespace {

// Why a file could not be read: a missing file cannot be opened, a folder
// opens but cannot be read.
std::string cannotReadText(const std::string& path) {
    std::error_code error;
    return std::filesystem::is_directory(path, error) ? "cannot read the file: it is a folder" : "cannot open the file";
}

// Loads a file for a command; prints why not and returns false on trouble.
bool loadForCommand(const std::string& path, std::unique_ptr<ImageCopy>& copy) {
    const int result = loadDataFile(path, copy);
    if (result == 1) conPrintf("%s: %s\n", path.c_str(), cannotReadText(path).c_str());
    if (result == 2) conPrintf("%s: no model line (\"2: model\"); not a data file\n", path.c_str());
    return result == 0;
}

std::string where(const std::string& path, int line) {
    return line > 0 ? path + ":" + std::to_string(line) : std::string();
}

// "FILE:LINE", or "FILE" for what concerns the whole file.
std::string fileOrLine(const std::string& path, int line) { return line > 0 ? where(path, line) : path; }

}  // namespace

// A file that a download refuses as a whole: the first findings of its
// lines, then why it is refused. Its lines are not all read, so that a file
// that is no data file takes neither long nor much memory.
int reportRefusedFile(const std::string& path, const FileScreen& screen) {
    for (const Finding& f : screen.findings)
        conPrintf("%s:%d: %s: %s\n", path.c_str(), f.line, f.error ? "error" : "warning", f.message.c_str());
    const long long lines = screen.tally.errorLines + screen.tally.warningLines;
    if (lines > static_cast<long long>(linesWithFindings(screen.findings)))
        conPrintf("%s: findings of %lld lines in all; the first are shown\n", path.c_str(), lines);
    const Finding& refusal = *screen.refusal;
    conPrintf("%s: error: %s; a download refuses the file\n", fileOrLine(path, refusal.line).c_str(),
              refusal.message.c_str());
    const long long errors = screen.tally.errorLines + 1;
    conPrintf("%s: %lld error%s, %lld warning%s\n", path.c_str(), errors, errors == 1 ? "" : "s",
              static_cast<long long>(screen.tally.warningLines), screen.tally.warningLines == 1 ? "" : "s");
    return 1;
}

int checkDataFileCommand(const std::string& path) {
    std::unique_ptr<ImageCopy> copy;
    std::vector<Finding> findings;
    FileScreen screen;
    const int screened = screenDataFile(path, screen);
    if (screened == 0 && screen.refusal) return reportRefusedFile(path, screen);
    const int result = screened == 0 ? loadDataFile(path, copy) : screened;
    if (result == 1) {
        conPrintf("%s: %s\n", path.c_str(), cannotReadText(path).c_str());
        return 2;
    }
    if (result == 2) {
        findings.push_back({1, true, "no model line (\"2: model\"); a download refuses the file"});
    } else {
        findings = copy->findings;
        addSetpointClashFindings(copy->setpoints, copy->setpointLines,
                                 turnOfScaleFactor(copy->blockAbsent[18] == 0 ? copy->image.scaleFactor[0] : 0),
                                 findings);
    }
    std::stable_sort(findings.begin(), findings.end(),
                     [](const Finding& a, const Finding& b) { return a.line < b.line; });
    int errors = 0;
    for (const Finding& f : findings) {
        errors += f.error ? 1 : 0;
        conPrintf("%s:%d: %s: %s\n", path.c_str(), f.line, f.error ? "error" : "warning", f.message.c_str());
    }
    const int warnings = static_cast<int>(findings.size()) - errors;
    if (findings.empty()) {
        conPrintf("%s: no findings\n", path.c_str());
        return 0;
    }
    conPrintf("%s: %d error%s, %d warning%s\n", path.c_str(), errors, errors == 1 ? "" : "s", warnings,
              warnings == 1 ? "" : "s");
    return 1;
}

int diffDataFilesCommand(const std::string& pathA, const std::string& pathB) {
    std::unique_ptr<ImageCopy> a, b;
    if (!loadForCommand(pathA, a) || !loadForCommand(pathB, b)) return 2;
    const Comparison comparison = compareImages(*a, *b, CompareScope::Files);
    if (comparison.lines.empty()) return 0;
    conPrintf("--- %s\n+++ %s\n", pathA.c_str(), pathB.c_str());
    for (const DifferenceLine& d : comparison.lines) {
        const std::string line = formatDifference(d, where(d.sign == '-' ? pathA : pathB, d.line));
        conPrintf("%s\n", line.c_str());
    }
    return 1;
}

int compareControllerCommand(const std::string& path) {
    // A file that a download would refuse is trouble before the line is
    // touched.
    std::FILE* first = std::fopen(path.c_str(), "rb");
    if (first == nullptr) {
        conPrintf("%s: cannot open the file\n", path.c_str());
        return 2;
    }
    dataFile = first;
    const bool hasModelLine = findModelLine();
    dataFile = nullptr;
    std::fclose(first);
    if (!hasModelLine) {
        conPrintf("%s: no model line (\"2: model\"); a download refuses the file\n", path.c_str());
        return 2;
    }
    FileScreen screen;
    if (screenDataFile(path, screen) == 0 && screen.refusal) {
        conPrintf("%s: %s; a download refuses the file\n", fileOrLine(path, screen.refusal->line).c_str(),
                  screen.refusal->message.c_str());
        return 2;
    }
    const int read = readWholeController();
    if (read != 0) return read;
    const std::unique_ptr<ImageCopy> controller = copyImage();

    // The file as a download reads it on top of this controller's unit
    // configuration.
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        conPrintf("%s: cannot open the file\n", path.c_str());
        return 2;
    }
    dataFile = file;
    dataFileLine = 0;
    beginDownloadImage(*controller);
    const std::unique_ptr<ImageCopy> fromFile = readOpenDataFile();
    dataFile = nullptr;
    std::fclose(file);

    const Comparison comparison = compareImages(*controller, *fromFile, CompareScope::Download);
    if (!comparison.lines.empty()) conPrintf("--- controller\n+++ %s\n", path.c_str());
    for (const DifferenceLine& d : comparison.lines) {
        const std::string line = formatDifference(d, d.sign == '-' ? "controller" : where(path, d.line));
        conPrintf("%s\n", line.c_str());
    }
    if (!comparison.notInSecond.empty()) {
        std::string blocks;
        for (int n : comparison.notInSecond) blocks += (blocks.empty() ? "" : ", ") + std::to_string(n);
        conPrintf("Blocks not in the file (a download leaves them alone): %s\n", blocks.c_str());
    }
    if (comparison.lines.empty()) {
        conPuts("The controller holds what the file holds.\n");
        return 0;
    }
    return 1;
}
