// linkora show: the files read as linkora check reads them, the charts laid
// out once and drawn for the terminal or as SVG.
#include "chart/show_command.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "chart/cam_chart.h"
#include "common/console_io.h"
#include "image/image_compare.h"
#include "platform/files.h"
#include "platform/process.h"

namespace {

void trouble(const std::string& subject, const std::string& reason) {
    std::fflush(stdout);
    std::fprintf(stderr, "linkora: %s: %s\n", subject.c_str(), reason.c_str());
    std::fflush(stderr);
}

// Reads a data file as a download (and linkora check) would; false after
// saying why not.
bool load(const std::string& path, std::unique_ptr<ImageCopy>& copy) {
    const int result = loadDataFile(path, copy);
    if (result == 1) {
        const int error = errno;
        trouble(path, error != 0 ? std::strerror(error) : "cannot open the file");
        return false;
    }
    if (result == 2) {
        trouble(path, "no model line (\"2: model\"); not a data file");
        return false;
    }
    return true;
}

// COLUMNS, else the terminal's own width, else 80.
int terminalWidth() {
    if (const char* columns = std::getenv("COLUMNS"); columns != nullptr && *columns != '\0') {
        char* end = nullptr;
        const long value = std::strtol(columns, &end, 10);
        if (*end == '\0' && value > 0) return static_cast<int>(std::min<long>(value, 1000));
    }
    const int own = platform::stdoutColumns();
    return own > 0 ? own : 80;
}

size_t setpointsDrawn(const ChartLayout& layout, SpanChange change) {
    size_t count = 0;
    for (const Chart& chart : layout.charts)
        for (const ChartRow& row : chart.rows)
            for (const ChartSpan& span : row.spans) count += span.change == change ? 1 : 0;
    return count;
}

std::string summary(const ShowRequest& request, const ChartLayout& layout) {
    size_t setpoints = 0;
    for (const Chart& chart : layout.charts)
        for (const ChartRow& row : chart.rows) setpoints += row.spans.size();
    std::string line =
        request.file + ": turn 0.." + std::to_string(layout.turn) +
        (layout.refusedScale ? " (the scale factor " + std::to_string(*layout.refusedScale) + " is no turn)" : "") +
        ", " + std::to_string(layout.charts.size()) + (layout.charts.size() == 1 ? " program, " : " programs, ");
    if (layout.against) {
        const size_t same = setpointsDrawn(layout, SpanChange::Same);
        line += std::to_string(same) + (same == 1 ? " setpoint" : " setpoints") + " the same, " +
                std::to_string(setpointsDrawn(layout, SpanChange::Added)) + " added, " +
                std::to_string(setpointsDrawn(layout, SpanChange::Removed)) + " removed against " + request.against;
    } else {
        line += std::to_string(setpoints) + (setpoints == 1 ? " setpoint" : " setpoints");
    }
    return line;
}

bool writeSvg(const std::string& path, const std::string& document) {
    if (path == "-") {
        const bool written = std::fwrite(document.data(), 1, document.size(), stdout) == document.size();
        if (std::fflush(stdout) != 0 || !written) {
            trouble("standard output", std::strerror(errno));
            return false;
        }
        return true;
    }
    std::string temp;
    std::FILE* file = platform::createTempFileBeside(path, temp);
    if (file == nullptr) {
        trouble(path, std::strerror(errno));
        return false;
    }
    const bool written = std::fwrite(document.data(), 1, document.size(), file) == document.size();
    const int writeError = errno;
    if (std::fclose(file) != 0 || !written) {
        trouble(path, std::strerror(written ? errno : writeError));
        platform::removeFile(temp);
        return false;
    }
    if (!platform::replaceFile(temp, path)) {
        trouble(path, std::strerror(errno));
        platform::removeFile(temp);
        return false;
    }
    return true;
}

}  // namespace

int showCommand(const ShowRequest& request) {
    std::unique_ptr<ImageCopy> file, other;
    if (!load(request.file, file)) return 2;
    if (!request.against.empty() && !load(request.against, other)) return 2;
    const ChartLayout layout = layOutCharts(*file, other.get(), request.program);

    std::string nothing;
    if (layout.charts.empty()) {
        nothing = request.program ? request.file + ": no setpoints in program " + std::to_string(*request.program) +
                                        ", nothing to draw"
                                  : request.file + ": no setpoints, nothing to draw";
    }
    if (!request.svg.empty()) {
        if (!writeSvg(request.svg, drawSvg(layout, request.file, nothing))) return 2;
        if (request.svg != "-")
            conPrintf("%s\n", nothing.empty() ? (summary(request, layout) + "; drawn in " + request.svg).c_str()
                                              : nothing.c_str());
        return 0;
    }
    if (!nothing.empty()) {
        conPrintf("%s\n", nothing.c_str());
        return 0;
    }
    TextStyle style;
    style.width = terminalWidth();
    style.unicode = platform::stdoutTakesUtf8();
    style.colour = platform::stdoutTakesColour();
    conPuts((summary(request, layout) + "\n" + drawText(layout, style)).c_str());
    return 0;
}
