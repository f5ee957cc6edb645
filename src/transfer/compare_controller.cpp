// linkora c: the controller read whole and compared with a data file as a
// download would read it on top of that controller.
#include "transfer/compare_controller.h"

#include <cstdio>
#include <memory>
#include <string>

#include "common/console_io.h"
#include "image/data_file.h"
#include "image/data_file_check.h"
#include "image/image_compare.h"
#include "transfer/controller_read.h"

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
        conPrintf("%s: %s; a download refuses the file\n", placeOfFinding(path, screen.refusal->line).c_str(),
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
        const std::string line = formatDifference(d, d.sign == '-' ? "controller" : placeOfLine(path, d.line));
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
