// linkora check and linkora diff: data files read as a download reads them,
// without a controller.
#include "questions/file_questions.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/command_words.h"
#include "common/console_io.h"
#include "image/data_file.h"
#include "image/data_file_check.h"
#include "image/image_compare.h"
#include "image/field_names.h"
#include "image/setpoint_rules.h"

namespace {

// Why a file could not be read: a missing file cannot be opened, a folder
// opens but cannot be read.
std::string cannotReadText(const std::string& path) {
    std::error_code error;
    return std::filesystem::is_directory(path, error) ? "cannot read the file: it is a folder" : "cannot open the file";
}

// A text read as a file is: from a temporary stream, which the reader may
// rewind.
int loadDataText(const std::string& text, std::unique_ptr<ImageCopy>& copy) {
    std::FILE* file = std::tmpfile();
    if (file == nullptr) return 1;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fflush(file) == 0;
    std::rewind(file);
    const int result = written ? loadDataFile(file, copy) : 1;
    std::fclose(file);
    return result;
}

// Loads a file for a command; prints why not and returns false on trouble.
bool loadForCommand(const DataSource& source, std::unique_ptr<ImageCopy>& copy) {
    const std::string& name = source.name;
    const int result = source.isText ? loadDataText(source.text, copy) : loadDataFile(name, copy);
    if (result == 1) {
        conPrintf("%s: %s\n", name.c_str(), source.isText ? "cannot be read" : cannotReadText(name).c_str());
    }
    if (result == 2) conPrintf("%s: no model line (\"2: model\"); not a data file\n", name.c_str());
    return result == 0;
}

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
    conPrintf("%s: error: %s; a download refuses the file\n", placeOfFinding(path, refusal.line).c_str(),
              refusal.message.c_str());
    const long long errors = screen.tally.errorLines + 1;
    conPrintf("%s: %lld error%s, %lld warning%s\n", path.c_str(), errors, errors == 1 ? "" : "s",
              static_cast<long long>(screen.tally.warningLines), screen.tally.warningLines == 1 ? "" : "s");
    return 1;
}

}  // namespace

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

int diffDataFilesCommand(const DataSource& sourceA, const DataSource& sourceB) {
    const std::string& pathA = sourceA.name;
    const std::string& pathB = sourceB.name;
    std::unique_ptr<ImageCopy> a, b;
    if (!loadForCommand(sourceA, a) || !loadForCommand(sourceB, b)) return 2;
    const Comparison comparison = compareImages(*a, *b, CompareScope::Files);
    if (comparison.lines.empty()) return 0;
    conPrintf("--- %s\n+++ %s\n", pathA.c_str(), pathB.c_str());
    for (const DifferenceLine& d : comparison.lines) {
        const std::string line = formatChange(d, placeOfLine(d.sign == '-' ? pathA : pathB, d.line));
        conPrintf("%s\n", line.c_str());
    }
    return 1;
}

std::string parseCheckLine(const std::vector<std::string>& args, std::string& path) {
    if (args.size() != 2) return "Wrong number of command line arguments!";
    path = args[1];
    return fileNameProblem(path);
}

std::string parseDiffLine(const std::vector<std::string>& args, std::string& pathA, std::string& pathB,
                          std::string& into) {
    std::vector<std::string> files;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--into") {
            if (i + 1 >= args.size() || args[i + 1].empty()) return "--into needs a folder";
            into = args[++i];
        } else {
            files.push_back(args[i]);
        }
    }
    if (files.size() != 2) return "Wrong number of command line arguments!";
    pathA = files[0];
    pathB = files[1];
    if (std::string problem = fileNameProblem(pathA); !problem.empty()) return problem;
    return fileNameProblem(pathB);
}
