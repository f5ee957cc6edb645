// linkora show: the files read as linkora check reads them, the charts laid
// out once and drawn for the terminal or as SVG.
#include "chart/show_command.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "chart/cam_chart.h"
#include "common/command_words.h"
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

std::string summary(const ShowRequest& request, const ChartLayout& layout) {
    return request.file + (request.against.empty() ? "" : " against " + request.against) + ": " + countsText(layout);
}

// "p.svg" -> "p-7.svg" for program 7.
std::string programPath(const std::string& path, int64_t program) {
    const std::string number = "-" + std::to_string(program);
    if (path.size() > 4) {
        std::string ending = path.substr(path.size() - 4);
        for (char& c : ending) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (ending == ".svg") return path.substr(0, path.size() - 4) + number + path.substr(path.size() - 4);
    }
    return path + number + ".svg";
}

bool writeSvg(const std::string& path, const std::string& document) {
    if (path == "-") {
        const bool written = std::fwrite(document.data(), 1, document.size(), stdout) == document.size();
        if (std::fflush(stdout) != 0 || !written) {
            // A reader that has read enough closes the pipe: that ends the
            // drawing quietly, as in the terminal.
            if (errno == EPIPE) return true;
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
        if (request.program && !layout.programsWithSetpoints.empty()) {
            trouble(request.file,
                    "program " + std::to_string(*request.program) +
                        " has no setpoints; programs with setpoints: " + numberRanges(layout.programsWithSetpoints));
            return 2;
        }
        nothing = request.file + ": no setpoints, nothing to draw";
    }
    if (!request.svg.empty()) {
        const SvgHeading heading{request.file, request.against, nothing};
        const int pages = svgPages(layout, heading);
        if (pages <= kSvgMostPages) {
            if (!writeSvg(request.svg, drawSvg(layout, heading))) return 2;
            if (request.svg != "-")
                conPrintf("%s\n", nothing.empty() ? (summary(request, layout) + "; drawn in " + request.svg).c_str()
                                                  : nothing.c_str());
            return 0;
        }
        const std::string tooTall = std::to_string(pages) + " pages, more than the " + std::to_string(kSvgMostPages) +
                                    " A4 pages (32 767 pixels) one SVG holds";
        if (layout.charts.size() == 1) {
            trouble(request.file, "program " + std::to_string(layout.charts.front().program) + " needs " + tooTall);
            return 2;
        }
        if (request.svg == "-") {
            trouble(request.file, std::to_string(layout.charts.size()) + " programs need " + tooTall +
                                      "; choose one with --program N, or give --svg a file name to get one SVG "
                                      "per program");
            return 2;
        }
        // One document per program, named after its number.
        std::vector<ChartLayout> parts;
        ChartLayout frame = layout;  // all but the charts
        frame.charts.clear();
        for (const Chart& chart : layout.charts) {
            ChartLayout part = frame;
            part.charts = {chart};
            if (svgPages(part, heading) > kSvgMostPages) {
                trouble(request.file, "program " + std::to_string(chart.program) + " needs more than the " +
                                          std::to_string(kSvgMostPages) + " A4 pages (32 767 pixels) one SVG holds");
                return 2;
            }
            parts.push_back(std::move(part));
        }
        for (const ChartLayout& part : parts) {
            if (!writeSvg(programPath(request.svg, part.charts.front().program), drawSvg(part, heading))) return 2;
        }
        conPrintf("%s; drawn in %s to %s, one per program (%s)\n", summary(request, layout).c_str(),
                  programPath(request.svg, layout.charts.front().program).c_str(),
                  programPath(request.svg, layout.charts.back().program).c_str(),
                  ("all together need " + tooTall).c_str());
        return 0;
    }
    TextStyle style;
    style.width = terminalWidth();
    style.unicode = platform::stdoutTakesUtf8();
    style.colour = platform::stdoutTakesColour();
    if (!nothing.empty()) {
        conPrintf("%s\n", nothing.c_str());
        return 0;
    }
    const TextScale scale = textScaleFor(layout.turn, style.width);
    conPuts((textHeadline(layout, request.file, request.against, scale) + drawText(layout, style)).c_str());
    return 0;
}

std::string parseShowLine(const std::vector<std::string>& args, ShowRequest& out) {
    if (args.size() < 2) return "Wrong number of command line arguments!";
    out.file = args[1];
    bool program = false, against = false, svg = false;
    for (size_t i = 2; i < args.size(); i += 2) {
        const std::string& option = args[i];
        if (option != "--program" && option != "--against" && option != "--svg")
            return "Unknown option " + option + " for show";
        if (i + 1 >= args.size()) return option + " needs a value";
        const std::string& value = args[i + 1];
        if (option == "--program" && !program) {
            const std::optional<long> n = wholeNumber(value);
            if (!n || *n < 1) return "--program must be a program number from 1";
            out.program = *n;
            program = true;
        } else if (option == "--against" && !against) {
            if (std::string problem = fileNameProblem(value); !problem.empty()) return problem;
            out.against = value;
            against = true;
        } else if (option == "--svg" && !svg) {
            if (std::string problem = fileNameProblem(value); !problem.empty()) return problem;
            out.svg = value;
            svg = true;
        } else {
            return option + " given twice";
        }
    }
    return fileNameProblem(out.file);
}
