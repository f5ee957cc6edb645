// linkora show with the real program: golden charts for the terminal in
// both locales and as SVG, the SVG rendered by rsvg-convert and probed, the
// --against marking held against what linkora diff says.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <regex>
#include <string>
#include <vector>

#ifdef LINKORA_HAVE_PNG
#include <png.h>
#endif

#include "support/test_support.h"

#ifdef LINKORA_BIN

using testing_support::readFile;
using testing_support::runProgram;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

const std::string kData = LINKORA_TEST_DATA "/chart";

int runShow(const std::vector<std::string>& args, std::string& output, const std::vector<std::string>& env = {},
            const std::string& cwd = kData) {
    std::vector<std::string> argv{LINKORA_BIN, "show"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> fullEnv{"COLUMNS=", "LC_ALL=C", "TERM=dumb"};
    fullEnv.insert(fullEnv.end(), env.begin(), env.end());
    return runProgram(argv, output, 30000, "", cwd, fullEnv);
}

struct ShowCase {
    std::string name;
    std::vector<std::string> args;
    std::vector<std::string> env;
    int status;
    std::string golden;    // a file under tests/data/chart, or
    std::string expected;  // the whole output
};

void PrintTo(const ShowCase& c, std::ostream* os) { *os << c.name; }

class Show : public ::testing::TestWithParam<ShowCase> {};

TEST_P(Show, PrintsTheGoldenOutputAndStatus) {
    const ShowCase& c = GetParam();
    std::string output;
    EXPECT_EQ(runShow(c.args, output, c.env), c.status) << output;
    EXPECT_EQ(output, c.golden.empty() ? c.expected : readFile(kData + "/" + c.golden));
}

INSTANTIATE_TEST_SUITE_P(
    Golden, Show,
    ::testing::Values(
        ShowCase{"Ascii", {"small.dat"}, {}, 0, "small.ascii.txt", ""},
        ShowCase{"Utf8", {"small.dat"}, {"LC_ALL=C.UTF-8"}, 0, "small.utf8.txt", ""},
        ShowCase{"NarrowOneProgram", {"small.dat", "--program", "1"}, {"COLUMNS=40"}, 0, "small-program1-40.txt", ""},
        ShowCase{"Against", {"small.dat", "--against", "earlier.dat"}, {}, 0, "small-against.txt", ""},
        ShowCase{"Svg", {"small.dat", "--svg", "-"}, {}, 0, "small.svg", ""},
        ShowCase{"Overlap", {"overlap.dat"}, {}, 0, "overlap.txt", ""},
        ShowCase{"ScaleChange", {"scale720.dat", "--against", "scale360.dat"}, {}, 0, "scale-against.txt", ""},
        ShowCase{"InsideSpan", {"inside.dat", "--against", "inside-before.dat"}, {}, 0, "inside-against.txt", ""},
        ShowCase{"Narrow", {"narrow.dat"}, {}, 0, "narrow.txt", ""},
        ShowCase{"ProgramWithoutSetpoints",
                 {"small.dat", "--program", "7"},
                 {},
                 2,
                 "",
                 "linkora: small.dat: program 7 has no setpoints; programs with setpoints: 1, 2\n"},
        ShowCase{"MissingFile", {"none.dat"}, {}, 2, "", "linkora: none.dat: No such file or directory\n"},
        ShowCase{"MissingOther",
                 {"small.dat", "--against", "none.dat"},
                 {},
                 2,
                 "",
                 "linkora: none.dat: No such file or directory\n"}),
    [](const ::testing::TestParamInfo<ShowCase>& info) { return info.param.name; });

TEST(Show, WrongLinesAndFilesWithoutSetpointsOrModel) {
    TempDir dir;
    writeFile(dir.file("nomodel.dat"), "4: 16\r\n49: 1,1,10,20\r\n");
    writeFile(dir.file("empty.dat"), "2: 4344\r\n4: 16\r\n");
    std::string output;
    EXPECT_EQ(runShow({"nomodel.dat"}, output, {}, dir.path), 2);
    EXPECT_EQ(output, "linkora: nomodel.dat: no model line (\"2: model\"); not a data file\n");
    EXPECT_EQ(runShow({"empty.dat"}, output, {}, dir.path), 0);
    EXPECT_EQ(output, "empty.dat: no setpoints, nothing to draw\n");
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{},
                                               {"empty.dat", "--svg"},
                                               {"empty.dat", "--colour", "y"},
                                               {"empty.dat", "--program", "x"},
                                               {"empty.dat", "--program", "0"}}) {
        EXPECT_EQ(runShow(args, output, {}, dir.path), 2) << output;
        EXPECT_NE(output.find("linkora show <Filename>"), std::string::npos) << output;
        EXPECT_NE(output.find("linkora: command line: "), std::string::npos) << output;
    }
    // The usage goes to standard error, never into an SVG on standard output.
    EXPECT_EQ(runProgram({"/bin/sh", "-c", std::string(LINKORA_BIN) + " show empty.dat --svg 2>/dev/null"}, output,
                         30000, "", dir.path),
              2);
    EXPECT_EQ(output, "");
}

// Check warns for the repeated and the overlapping setpoint of a channel.
TEST(Show, CheckWarnsForTheSetpointsDrawnApart) {
    std::string output;
    EXPECT_EQ(runProgram({LINKORA_BIN, "check", "overlap.dat"}, output, 30000, "", kData), 1);
    EXPECT_EQ(output, readFile(kData + "/overlap-check.txt"));
}

// A reader that closes the pipe early ends the drawing quietly, in both
// modes.
TEST(Show, AClosedPipeEndsQuietly) {
    TempDir dir;
    // Far more than a pipe holds: 250 programs, the first with 128 rows.
    std::string text = "2: 4344\r\n4: 128\r\n";
    for (int p = 1; p <= 250; ++p) {
        for (int c = 1; c <= (p == 1 ? 128 : 4); ++c)
            for (int on = 0; on < 360; on += 120)
                text += "49: " + std::to_string(p) + "," + std::to_string(c) + "," + std::to_string(on) + "," +
                        std::to_string(on + 60) + "\r\n";
    }
    writeFile(dir.file("long.dat"), text);
    for (const std::string svg : {"", " --svg - --program 1"}) {
        std::string output;
        const std::string pipeline =
            "(" + std::string(LINKORA_BIN) + " show long.dat" + svg + "; echo $? >status) | head -c 10 >/dev/null";
        EXPECT_EQ(runProgram({"/bin/sh", "-c", pipeline}, output, 30000, "", dir.path, {"LC_ALL=C", "COLUMNS="}), 0);
        EXPECT_EQ(output, "") << svg;
        EXPECT_EQ(readFile(dir.file("status")), "0\n") << svg;
    }
}

// On a colour terminal the added and removed spans are in colour, with
// characters of their own.
TEST(Show, ColoursAddedAndRemovedOnAColourTerminal) {
    testing_support::PtyProcess show({LINKORA_BIN, "show", "small.dat", "--against", "earlier.dat"}, kData,
                                     {"LC_ALL=C", "TERM=xterm", "COLUMNS=80", "NO_COLOR="});
    const std::string screen = show.readUntil("Outside the turn");
    EXPECT_EQ(show.wait(), 0);
    EXPECT_NE(screen.find("\x1b[32m+++"), std::string::npos) << screen;        // the added 0-180 of program 2
    EXPECT_NE(screen.find("\x1b[31m--\x1b[0m"), std::string::npos) << screen;  // the removed 200..210
    EXPECT_NE(screen.find("\x1b[32m+0..180\x1b[0m"), std::string::npos) << screen;
}

// The span rectangles of an SVG chart.
struct Span {
    double x, y, width, height;
    std::string program, channel, on, off, change;
};

std::vector<Span> spansOf(const std::string& svg) {
    static const std::regex kRect(
        "<rect x=\"([0-9.]+)\" y=\"([0-9.]+)\" width=\"([0-9.]+)\" height=\"([0-9.]+)\"[^>]* "
        "data-program=\"(-?[0-9]+)\" "
        "data-channel=\"(-?[0-9]+)\" data-on=\"(-?[0-9]+)\" data-off=\"(-?[0-9]+)\"(?: data-change=\"([a-z]+)\")?>"
        "<title>[^<]+</title></rect>");
    std::vector<Span> spans;
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), kRect); it != std::sregex_iterator(); ++it) {
        const std::smatch& m = *it;
        spans.push_back(
            {std::stod(m[1]), std::stod(m[2]), std::stod(m[3]), std::stod(m[4]), m[5], m[6], m[7], m[8], m[9]});
    }
    return spans;
}

TEST(ShowSvg, TheSizeFollowsTheRowsNotThePositions) {
    TempDir dir;
    std::string text = readFile(kData + "/small.dat");
    writeFile(dir.file("moved.dat"), std::regex_replace(text, std::regex("49: 1,1,10,90"), "49: 1,1,50,300"));
    std::string a, b;
    ASSERT_EQ(runShow({kData + "/small.dat", "--svg", "a.svg"}, a, {}, dir.path), 0) << a;
    ASSERT_EQ(runShow({"moved.dat", "--svg", "b.svg"}, b, {}, dir.path), 0) << b;
    EXPECT_EQ(a, kData + "/small.dat: 2 programs, 7 setpoints; drawn in a.svg\n");
    const std::string svgA = readFile(dir.file("a.svg")), svgB = readFile(dir.file("b.svg"));
    auto header = [](const std::string& svg) { return svg.substr(0, svg.find("<title>")); };
    EXPECT_EQ(header(svgA), header(svgB));
    EXPECT_EQ(spansOf(svgA).size(), spansOf(svgB).size());
    for (const char* banned : {"<script", "href", "@import", "url("}) EXPECT_EQ(svgA.find(banned), std::string::npos);
}

// Every span of --against is marked as linkora diff OTHER FILE says: its
// "+49:" lines added, its "-49:" lines removed, the rest the same.
TEST(ShowSvg, AgainstMarksWhatDiffSays) {
    std::string svg, diff;
    ASSERT_EQ(runShow({"small.dat", "--against", "earlier.dat", "--svg", "-"}, svg), 0) << svg;
    ASSERT_EQ(runProgram({LINKORA_BIN, "diff", "earlier.dat", "small.dat"}, diff, 30000, "", kData), 1) << diff;
    std::map<std::string, std::string> fromDiff;  // "p,c,on,off" -> added/removed
    static const std::regex kSetpointLine("([+-])49: (-?[0-9]+,-?[0-9]+,-?[0-9]+,-?[0-9]+)");
    for (auto it = std::sregex_iterator(diff.begin(), diff.end(), kSetpointLine); it != std::sregex_iterator(); ++it)
        fromDiff[(*it)[2]] = (*it)[1] == "+" ? "added" : "removed";
    ASSERT_EQ(fromDiff.size(), 4u) << diff;
    std::map<std::string, std::string> drawn;
    for (const Span& s : spansOf(svg)) {
        const std::string key = s.program + "," + s.channel + "," + s.on + "," + s.off;
        if (s.change != "same") drawn[key] = s.change;
        EXPECT_TRUE(s.change == "same" || s.change == "added" || s.change == "removed") << key;
    }
    EXPECT_EQ(drawn, fromDiff);
}

#ifdef LINKORA_HAVE_PNG
// The SVG rendered by rsvg-convert, as RGB pixels; x and y in the SVG's
// own units (960 across the page).
struct Picture {
    int width = 0, height = 0;
    double scale = 1;  // pixels per unit
    std::vector<unsigned char> rgb;
    size_t at(double x, double y) const {
        return (static_cast<size_t>(y * scale) * static_cast<size_t>(width) + static_cast<size_t>(x * scale)) * 3;
    }
    unsigned grey(double x, double y) const {
        const size_t at = this->at(x, y);
        return (rgb[at] * 299u + rgb[at + 1] * 587u + rgb[at + 2] * 114u) / 1000u;
    }
    std::string colour(double x, double y) const {
        const size_t at = this->at(x, y);
        char text[8];
        std::snprintf(text, sizeof text, "#%02x%02x%02x", rgb[at], rgb[at + 1], rgb[at + 2]);
        return text;
    }
};

// rsvg-convert along PATH; empty when it is not installed.
std::string renderer() {
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/bin";
    for (size_t at = 0; at <= folders.size();) {
        size_t end = folders.find(':', at);
        if (end == std::string::npos) end = folders.size();
        const std::string candidate = folders.substr(at, end - at) + "/rsvg-convert";
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        at = end + 1;
    }
    return {};
}

bool render(const std::string& svgPath, const std::string& pngPath, Picture& picture, const std::string& zoom = "1") {
    std::string output;
    if (runProgram({renderer(), "-z", zoom, "-o", pngPath, svgPath}, output) != 0) return false;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, pngPath.c_str()) == 0) return false;
    image.format = PNG_FORMAT_RGB;
    picture.width = static_cast<int>(image.width);
    picture.height = static_cast<int>(image.height);
    picture.rgb.resize(PNG_IMAGE_SIZE(image));
    png_color white{255, 255, 255};
    picture.scale = picture.width / 960.0;
    return png_image_finish_read(&image, &white, picture.rgb.data(), 0, nullptr) != 0;
}

const Span* find(const std::vector<Span>& spans, const std::string& on, const std::string& off, int piece = 0) {
    for (const Span& s : spans) {
        if (s.on == on && s.off == off && piece-- == 0) return &s;
    }
    return nullptr;
}

TEST(ShowSvg, RendersSpansWrapsAndChangesWhereTheyAre) {
    std::string output;
    if (renderer().empty()) GTEST_SKIP() << "rsvg-convert (librsvg2-bin) missing";
    TempDir dir;
    ASSERT_EQ(runShow({"small.dat", "--svg", dir.file("plain.svg")}, output), 0) << output;
    ASSERT_EQ(runShow({"small.dat", "--against", "earlier.dat", "--svg", dir.file("against.svg")}, output), 0)
        << output;
    Picture plain, against;
    ASSERT_TRUE(render(dir.file("plain.svg"), dir.file("plain.png"), plain));
    ASSERT_TRUE(render(dir.file("against.svg"), dir.file("against.png"), against));
    EXPECT_EQ(plain.width, 794);  // 210 mm at 96 dpi
    EXPECT_EQ(plain.height, 1123);

    const std::vector<Span> spans = spansOf(readFile(dir.file("plain.svg")));
    const Span* span = find(spans, "10", "90");
    const Span* wrapEnd = find(spans, "350", "20");
    const Span* wrapStart = find(spans, "350", "20", 1);
    ASSERT_TRUE(span && wrapEnd && wrapStart);
    auto middle = [](const Span& s) { return std::pair{s.x + s.width / 2, s.y + s.height / 2}; };
    for (const Span* s : {span, wrapEnd, wrapStart}) {
        const auto [x, y] = middle(*s);
        EXPECT_EQ(plain.colour(x, y), "#1f3a93") << s->on << "-" << s->off << " at " << x << "," << y;
    }
    // The wrap's pieces lie at the two ends of the turn, on the same row.
    EXPECT_NEAR(wrapEnd->x + wrapEnd->width, 930, 0.01);
    EXPECT_NEAR(wrapStart->x, 190, 0.01);
    EXPECT_EQ(wrapEnd->y, wrapStart->y);
    // Beside the span in its row (position 125): the light row band.
    EXPECT_GT(plain.grey(190 + 125 * 740.0 / 360, middle(*span).second), 230u);
    EXPECT_LT(plain.grey(middle(*span).first, middle(*span).second), 90u);

    // Against: the added span in its row's upper half, the removed one in
    // the lower half, in greys apart from the same spans'.
    const std::vector<Span> marked = spansOf(readFile(dir.file("against.svg")));
    const Span* added = find(marked, "180", "240");
    const Span* removed = find(marked, "200", "210");
    const Span* same = find(marked, "10", "90");
    ASSERT_TRUE(added && removed && same);
    const unsigned addedGrey = against.grey(middle(*added).first, middle(*added).second);
    const unsigned removedGrey = against.grey(middle(*removed).first, middle(*removed).second);
    const unsigned sameGrey = against.grey(middle(*same).first, middle(*same).second);
    EXPECT_EQ(added->y, same->y);  // chn 1, the upper half
    EXPECT_EQ(added->height * 2, same->height);
    EXPECT_EQ(removed->height * 2, same->height);  // chn 5, four rows down, the lower half
    EXPECT_EQ(removed->y - same->y, 4 * 20 + removed->height);
    EXPECT_GT(addedGrey, sameGrey + 40);
    EXPECT_GT(removedGrey, addedGrey + 30);
    EXPECT_LT(removedGrey, 230u);
}

// A narrow span is a bar, an on = off mark a hairline under a diamond; the
// marks at 0 and at the end of the turn show inside the band.
TEST(ShowSvg, NarrowSpansAndMarksApartAndVisibleAtTheEdges) {
    if (renderer().empty()) GTEST_SKIP() << "rsvg-convert (librsvg2-bin) missing";
    TempDir dir;
    std::string output;
    ASSERT_EQ(runShow({"narrow.dat", "--svg", dir.file("narrow.svg")}, output), 0) << output;
    Picture picture;
    ASSERT_TRUE(render(dir.file("narrow.svg"), dir.file("narrow.png"), picture, "2"));
    const std::vector<Span> spans = spansOf(readFile(dir.file("narrow.svg")));
    const Span* narrow = find(spans, "100", "101");
    ASSERT_TRUE(narrow);
    EXPECT_GE(narrow->width, 3);
    const double centre = narrow->x + narrow->width / 2;
    EXPECT_LT(picture.grey(centre, narrow->y + narrow->height / 2), 100u);
    EXPECT_GT(picture.grey(centre, narrow->y - 1.5), 200u);  // no diamond over a span
    for (const char* at : {"0", "359", "100"}) {
        const Span* mark = find(spans, at, at);
        ASSERT_TRUE(mark) << at;
        EXPECT_LE(mark->width, 1) << at;
        EXPECT_LT(picture.grey(mark->x + mark->width / 2, mark->y - 1.5), 120u) << at;  // its diamond
        EXPECT_GT(mark->x, 185) << at;
        EXPECT_LT(mark->x, 935) << at;
    }
}

std::string manyPrograms(int programs) {
    std::string text = "2: 4344\r\n4: 16\r\n6: 3\r\n";
    for (int p = 1; p <= programs; ++p) {
        for (int c = 1; c <= 4; ++c)
            text += "49: " + std::to_string(p) + "," + std::to_string(c) + "," +
                    std::to_string((p * 7 + c * 40) % 360) + "," + std::to_string((p * 7 + c * 40 + 30) % 360) + "\r\n";
    }
    return text;
}

// More programs than one SVG holds: one SVG per program, each within what
// rsvg-convert renders; to standard output only one program at a time. The
// most programs one SVG takes render as well.
TEST(ShowSvg, ManyProgramsGiveOneSvgEachAndEveryOneRenders) {
    if (renderer().empty()) GTEST_SKIP() << "rsvg-convert (librsvg2-bin) missing";
    TempDir dir;
    writeFile(dir.file("many.dat"), manyPrograms(250));
    writeFile(dir.file("fits.dat"), manyPrograms(200));
    std::string output;
    EXPECT_EQ(runShow({"many.dat", "--svg", "-"}, output, {}, dir.path), 2);
    EXPECT_EQ(output,
              "linkora: many.dat: 250 programs need 29 pages, more than the 24 A4 pages (32 767 pixels) one SVG "
              "holds; choose one with --program N, or give --svg a file name to get one SVG per program\n");
    EXPECT_EQ(runShow({"many.dat", "--svg", "-", "--program", "250"}, output, {}, dir.path), 0);
    EXPECT_EQ(output.rfind("<?xml", 0), 0u);
    EXPECT_EQ(runShow({"many.dat", "--svg", "p.svg"}, output, {}, dir.path), 0);
    EXPECT_EQ(output,
              "many.dat: 250 programs, 1000 setpoints; drawn in p-1.svg to p-250.svg, one per program (all together "
              "need 29 pages, more than the 24 A4 pages (32 767 pixels) one SVG holds)\n");
    EXPECT_EQ(runShow({"fits.dat", "--svg", "fits.svg"}, output, {}, dir.path), 0) << output;
    std::vector<std::string> svgs{"fits.svg"};
    for (int p = 1; p <= 250; ++p) svgs.push_back("p-" + std::to_string(p) + ".svg");
    for (const std::string& svg : svgs) {
        ASSERT_EQ(runProgram({renderer(), "-o", dir.file("page.png"), dir.file(svg)}, output), 0) << svg << output;
    }
    EXPECT_NE(readFile(dir.file("p-3.svg")).find("Program 3 (default)"), std::string::npos);
}
#endif

}  // namespace

#endif
