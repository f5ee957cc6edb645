// The cam chart drawn as self-contained SVG documents for paper: a column of
// A4 pages, each program's panel on one page with its heading and axis (a
// panel too tall for a page goes on over the next with both repeated). Its
// layout follows from the number of charts and rows alone, so that two
// files with the same rows give pictures that lie over each other.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "chart/cam_chart.h"

namespace {

constexpr double kWidth = 960;  // 210 mm
constexpr double kPageHeight = kWidth * 297 / 210;
constexpr double kPageTop = 48;     // below the page's header line
constexpr double kPageBottom = 28;  // left free at a page's foot
constexpr double kMargin = 16;
constexpr double kPlotLeft = 190;
constexpr double kPlotRight = 930;
constexpr double kLane = 20;
constexpr double kPanelHead = 44;  // the program's heading and the axis labels
constexpr double kPanelFoot = 12;
constexpr double kLine = 15;    // a line of text under the panels
constexpr double kDigit = 5.2;  // width of a digit at the bar numbers' size

// Dark, middle and light in greyscale print as well as in colour.
const char* const kOnColour = "#1f3a93";
const char* const kAddedColour = "#2e9e4f";
const char* const kRemovedColour = "#f2a2a2";
const char* const kRemovedEdge = "#a01818";
const char* const kOutsideColour = "#c0392b";

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    std::string s = text;
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
    return s;
}

std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default:
                // Control characters have no place in XML text.
                out += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
        }
    }
    return out;
}

const char* changeWord(SpanChange change) {
    switch (change) {
        case SpanChange::Same: return "same";
        case SpanChange::Added: return "added";
        case SpanChange::Removed: return "removed";
        case SpanChange::Plain: break;
    }
    return "";
}

std::string describe(const ChartSpan& span) {
    std::string text = "program " + std::to_string(span.program) + ", channel " + std::to_string(span.channel) +
                       ", on at " + std::to_string(span.on) + ", off at " + std::to_string(span.off);
    if (span.thin) text += " (on equals off)";
    if (span.wraps) text += " (wraps through zero)";
    if (span.onOutside || span.offOutside) text += " (outside the turn, drawn at the edge)";
    if (span.change == SpanChange::Added) text += "; added: only in this file";
    if (span.change == SpanChange::Removed) text += "; removed: only in the other file";
    if (span.change == SpanChange::Same) text += "; the same in both files";
    return text;
}

double xOf(const ChartSpan& span, int64_t position) {
    return kPlotLeft + span.share(position) * (kPlotRight - kPlotLeft);
}

bool halfBand(const ChartSpan& span) { return span.change == SpanChange::Added || span.change == SpanChange::Removed; }

// Whether the on and off numbers fit inside the span's pieces: on at the
// start of the first, off at the end of the last.
bool numbersFit(const ChartSpan& span) {
    if (span.thin) return false;
    const double digit = halfBand(span) ? kDigit * 0.7 : kDigit;
    const double on = digit * static_cast<double>(std::to_string(span.on).size());
    const double off = digit * static_cast<double>(std::to_string(span.off).size());
    auto width = [&](const SpanPiece& p) { return xOf(span, p.to) - xOf(span, p.from); };
    if (span.pieces.size() == 1) return width(span.pieces.front()) >= on + off + 10;
    return width(span.pieces.front()) >= on + 5 && width(span.pieces.back()) >= off + 5;
}

struct Svg {
    std::string out;
    void text(double x, double y, const std::string& body, const std::string& extra = "") {
        out += "<text x=\"" + number(x) + "\" y=\"" + number(y) + "\"" + extra + ">" + escaped(body) + "</text>\n";
    }
    void line(double x1, double y1, double x2, double y2, const char* stroke) {
        out += "<line x1=\"" + number(x1) + "\" y1=\"" + number(y1) + "\" x2=\"" + number(x2) + "\" y2=\"" +
               number(y2) + "\" stroke=\"" + stroke + "\" stroke-width=\"1\"/>\n";
    }
};

void drawSpan(Svg& svg, const ChartSpan& span, double laneTop) {
    // Same spans fill the lane's band; with --against, added ones its upper
    // half and removed ones its lower half, so that both show where they
    // overlap.
    double top = laneTop + 3;
    double height = kLane - 6;
    const char* fill = kOnColour;
    const char* ink = "#ffffff";
    // A fine light edge keeps spans that meet apart.
    std::string edge = " stroke=\"#ffffff\" stroke-width=\"0.6\"";
    if (span.thin) edge.clear();
    if (span.change == SpanChange::Added) {
        height /= 2;
        fill = kAddedColour;
    } else if (span.change == SpanChange::Removed) {
        top += height / 2;
        height /= 2;
        fill = kRemovedColour;
        ink = "#5a0a0a";
        edge = std::string(" stroke=\"") + kRemovedEdge + "\" stroke-width=\"1\"";
    }
    std::string data = " data-program=\"" + std::to_string(span.program) + "\" data-channel=\"" +
                       std::to_string(span.channel) + "\" data-on=\"" + std::to_string(span.on) + "\" data-off=\"" +
                       std::to_string(span.off) + "\"";
    if (span.change != SpanChange::Plain) data += std::string(" data-change=\"") + changeWord(span.change) + "\"";
    const std::string title = "<title>" + escaped(describe(span)) + "</title>";
    for (const SpanPiece& piece : span.pieces) {
        double left = xOf(span, piece.from);
        double width = xOf(span, piece.to) - left;
        if (span.thin) {
            // On = off: a hairline with a diamond over it.
            left -= 0.5;
            width = 1;
            const double cx = left + 0.5;
            svg.out +=
                "<path d=\"M" + number(cx) + " " + number(top - 3) + " l3 3 l-3 3 l-3 -3 z\" fill=\"" + fill + "\"/>\n";
        } else if (width < 3) {
            // A narrow span: a solid bar three units wide at its place.
            left += width / 2 - 1.5;
            width = 3;
        }
        svg.out += "<rect x=\"" + number(left) + "\" y=\"" + number(top) + "\" width=\"" + number(width) +
                   "\" height=\"" + number(height) + "\" fill=\"" + fill + "\"" + edge + data + ">" + title +
                   "</rect>\n";
    }
    if (numbersFit(span)) {
        const double size = halfBand(span) ? 6 : 9;
        const std::string style = " font-size=\"" + number(size) + "\" fill=\"" + ink + "\"";
        const double baseline = top + height / 2 + size * 0.36;
        svg.text(xOf(span, span.pieces.front().from) + 2.5, baseline, std::to_string(span.on), style);
        svg.text(xOf(span, span.pieces.back().to) - 2.5, baseline, std::to_string(span.off),
                 style + " text-anchor=\"end\"");
    }
    // A position outside the turn: a triangle beside the edge it is drawn at.
    auto marker = [&](bool low, const std::string& what) {
        const double y = laneTop + kLane / 2.0;
        const std::string d = low ? "M" + number(kPlotLeft - 13) + " " + number(y) + " l7 -5 v10 z"
                                  : "M" + number(kPlotRight + 13) + " " + number(y) + " l-7 -5 v10 z";
        svg.out +=
            "<path d=\"" + d + "\" fill=\"" + kOutsideColour + "\"><title>" + escaped(what) + "</title></path>\n";
    };
    const std::string note = outsideNote(span);
    if (span.onOutside) marker(span.on < 0, note);
    if (span.offOutside) marker(span.off < 0, note);
}

// The axis: labelled lines every twelfth of the turn (30 degrees of 360),
// finer ones every 36th (10 degrees).
void drawAxis(Svg& svg, int32_t turn, double rowsTop, double rowsBottom) {
    for (int k = 0; k <= 36; ++k) {
        const double x = kPlotLeft + (kPlotRight - kPlotLeft) * k / 36;
        if (k % 3 != 0) {
            svg.line(x, rowsTop, x, rowsBottom, "#dedede");
            continue;
        }
        svg.line(x, rowsTop - 4, x, rowsBottom, k % 9 == 0 ? "#8a8a8a" : "#b4b4b4");
        svg.text(x, rowsTop - 8, number(static_cast<double>(turn) * k / 36),
                 " text-anchor=\"middle\" font-size=\"10\" fill=\"#444444\"");
    }
}

// The rows first to last (not included) of a program's panel, under its
// heading and axis.
void drawPanel(Svg& svg, const ChartLayout& layout, const Chart& chart, size_t first, size_t last, bool continued,
               double top) {
    svg.out += "<g>\n";
    svg.text(kMargin, top + 16, chart.heading() + (continued ? " (continued)" : ""),
             " font-size=\"13\" font-weight=\"bold\"");
    const double rowsTop = top + kPanelHead;
    double y = rowsTop;
    for (size_t r = first; r < last; ++r) {
        const double h = kLane * chart.rows[r].lanes;
        svg.out += "<rect x=\"" + number(kPlotLeft - 6) + "\" y=\"" + number(y) + "\" width=\"" +
                   number(kPlotRight - kPlotLeft + 12) + "\" height=\"" + number(h) + "\" fill=\"" +
                   (r % 2 == 0 ? "#f3f3f3" : "#fafafa") + "\"/>\n";
        y += h;
    }
    drawAxis(svg, layout.turn, rowsTop, y);
    y = rowsTop;
    for (size_t r = first; r < last; ++r) {
        const ChartRow& row = chart.rows[r];
        std::string words = "channel " + std::to_string(row.channel);
        const std::string notes = row.notesText();
        if (!notes.empty()) words += ", " + notes;
        svg.out += "<text x=\"" + number(kMargin) + "\" y=\"" + number(y + 14) + "\"><title>" + escaped(words) +
                   "</title>" + escaped(row.label()) + "</text>\n";
        if (!notes.empty())
            svg.text(kMargin + 52, y + 13, notes,
                     notes.size() > 22 ? " font-size=\"7\" fill=\"#333333\"" : " font-size=\"9\" fill=\"#333333\"");
        for (const ChartSpan& span : row.spans) drawSpan(svg, span, y + kLane * span.lane);
        y += kLane * row.lanes;
    }
    svg.out += "</g>\n";
}

// A piece of the document: lines of text drawn at their top, or a
// program's panel (chart set), whose rows may go on over pages.
struct Block {
    double height = 0;
    std::function<void(Svg&, double)> draw;
    const Chart* chart = nullptr;
    std::vector<double> rows;  // the panel's row heights
};

Block textBlock(double height, std::function<void(Svg&, double)> draw) {
    Block block;
    block.height = height;
    block.draw = std::move(draw);
    return block;
}

// Where a block, or a part of a panel's rows, is drawn.
struct Place {
    size_t block;
    int page;
    double top;
    size_t first = 0, last = 0;  // a panel's rows
    bool continued = false;
};

std::string title(const SvgHeading& heading) {
    return heading.other.empty() ? heading.file : heading.file + " against " + heading.other;
}

// Text lines of at most `most` characters, the items joined by "; ".
std::vector<std::string> joinedLines(const std::vector<std::string>& items, size_t most) {
    std::vector<std::string> lines;
    std::string line;
    for (const std::string& item : items) {
        if (!line.empty() && line.size() + 2 + item.size() > most) {
            lines.push_back(line + ";");
            line.clear();
        }
        line += (line.empty() ? "" : "; ") + item;
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

std::vector<Block> blocksOf(const ChartLayout& layout, const SvgHeading& heading) {
    std::vector<Block> blocks;
    blocks.push_back(textBlock(40, [&layout, &heading](Svg& svg, double top) {
        svg.text(kMargin, top + 14, title(heading) + ": " + countsText(layout),
                 " font-size=\"15\" font-weight=\"bold\"");
        std::string turn = "Turn 0.." + std::to_string(layout.turn) + " in the controller's position units";
        if (layout.refusedScale) turn += " (the scale factor " + std::to_string(*layout.refusedScale) + " is no turn)";
        if (layout.otherTurn)
            turn += "; the other file's turn 0.." + std::to_string(*layout.otherTurn) + " drawn to the same width";
        svg.text(kMargin, top + 32, turn, " font-size=\"11\"");
    }));
    if (!heading.nothing.empty()) {
        blocks.push_back(
            textBlock(kLine * 2, [&heading](Svg& svg, double top) { svg.text(kMargin, top + 16, heading.nothing); }));
    }
    for (const Chart& chart : layout.charts) {
        // The panel, split over pages where it does not fit one.
        Block panel;
        panel.chart = &chart;
        for (const ChartRow& row : chart.rows) panel.rows.push_back(kLane * row.lanes);
        panel.height = kPanelHead + kPanelFoot;
        for (double h : panel.rows) panel.height += h;
        blocks.push_back(std::move(panel));
        // The positions that are not written at their bars.
        std::vector<std::string> items;
        for (const ChartRow& row : chart.rows) {
            std::string item;
            for (const ChartSpan& span : row.spans) {
                if (numbersFit(span)) continue;
                const char* sign = span.change == SpanChange::Added     ? "+"
                                   : span.change == SpanChange::Removed ? "-"
                                                                        : "";
                item += (item.empty() ? row.label() + ": " : " ") + sign + spanPositions(span);
            }
            if (!item.empty()) items.push_back(item);
        }
        const std::vector<std::string> lines = joinedLines(items, 150);
        for (size_t i = 0; i < lines.size(); ++i) {
            const std::string text = (i == 0 ? chart.heading() + ", positions not at their bars: " : "    ") + lines[i];
            blocks.push_back(textBlock(
                kLine, [text](Svg& svg, double top) { svg.text(kMargin, top + 11, text, " font-size=\"10\""); }));
        }
    }
    for (const std::string& change : layout.alsoDiffers) {
        blocks.push_back(textBlock(kLine, [change](Svg& svg, double top) {
            svg.text(kMargin, top + 11, "also differs: " + change, " font-size=\"11\"");
        }));
    }
    std::vector<std::string> outside;
    for (const ChartSpan* span : layout.outside()) outside.push_back(outsideNote(*span));
    const std::vector<std::string> outsideLines = joinedLines(outside, 130);
    for (size_t i = 0; i < outsideLines.size(); ++i) {
        const std::string text =
            (i == 0 ? "Outside the turn 0.." + std::to_string(layout.turn - 1) + ", drawn at the edge: " : "    ") +
            outsideLines[i];
        blocks.push_back(textBlock(kLine, [text](Svg& svg, double top) {
            svg.text(kMargin, top + 11, text, std::string(" font-size=\"11\" fill=\"") + kOutsideColour + "\"");
        }));
    }
    // The legend: swatches, the marks, the words.
    blocks.push_back(textBlock(70, [&layout](Svg& svg, double top) {
        std::string& out = svg.out;
        double x = kMargin;
        auto swatch = [&](const char* fill, double height, double offset, const std::string& words, const char* edge) {
            out += "<rect x=\"" + number(x) + "\" y=\"" + number(top + 8 + offset) + "\" width=\"18\" height=\"" +
                   number(height) + "\" fill=\"" + fill + "\"" + edge + "/>\n";
            svg.text(x + 24, top + 19, words);
            x += 24 + 6.5 * static_cast<double>(words.size()) + 16;
        };
        if (layout.against) {
            swatch(kOnColour, 14, 0, "same in both files", "");
            swatch(kAddedColour, 7, 0, "added (only in this file)", "");
            swatch(kRemovedColour, 7, 7, "removed (only in the other file)", " stroke=\"#a01818\" stroke-width=\"1\"");
        } else {
            swatch(kOnColour, 14, 0, "on, with its on and off positions", "");
        }
        x = kMargin;
        const double second = top + 30;
        out += "<path d=\"M" + number(x + 9) + " " + number(second - 3) + " l3 3 l-3 3 l-3 -3 z\" fill=\"" + kOnColour +
               "\"/>\n";
        out += "<rect x=\"" + number(x + 8.5) + "\" y=\"" + number(second) + "\" width=\"1\" height=\"14\" fill=\"" +
               kOnColour + "\"/>\n";
        svg.text(x + 24, second + 11, "on = off");
        x += 24 + 6.5 * 8 + 16;
        out += "<rect x=\"" + number(x + 7.5) + "\" y=\"" + number(second) + "\" width=\"3\" height=\"14\" fill=\"" +
               kOnColour + "\"/>\n";
        svg.text(x + 24, second + 11, "a narrow span");
        x += 24 + 6.5 * 13 + 16;
        out += "<path d=\"M" + number(x + 12) + " " + number(second + 7) + " l7 -5 v10 z\" fill=\"" + kOutsideColour +
               "\"/>\n";
        svg.text(x + 24, second + 11, "outside the turn, drawn at the edge");
        svg.text(kMargin, top + 62,
                 "sc speed compensation, to timed output; overlapping setpoints of a channel lie "
                 "in further lanes of its row",
                 " font-size=\"11\"");
    }));
    return blocks;
}

// The page and the top of each block: a block goes to the next page when
// it does not fit on the rest of this one. A panel that fits no page fills
// the rest of this one and goes on over the next, with its heading and axis
// again.
std::vector<Place> paginate(const std::vector<Block>& blocks, int& pages) {
    std::vector<Place> places;
    int page = 0;
    double y = kPageTop;
    const double bottom = kPageHeight - kPageBottom;
    auto newPage = [&] {
        ++page;
        y = kPageTop;
    };
    for (size_t i = 0; i < blocks.size(); ++i) {
        const Block& block = blocks[i];
        const bool fitsAPage = block.height <= bottom - kPageTop;
        if (y > kPageTop && y + block.height > bottom && (fitsAPage || block.chart == nullptr)) newPage();
        if (block.chart == nullptr || y + block.height <= bottom) {
            places.push_back({i, page, y, 0, block.rows.size(), false});
            y += block.height;
            continue;
        }
        // Row by row, at least one on each page.
        size_t first = 0;
        while (first < block.rows.size()) {
            if (y + kPanelHead + block.rows[first] + kPanelFoot > bottom && y > kPageTop) newPage();
            double height = kPanelHead + kPanelFoot;
            size_t last = first;
            while (last < block.rows.size() && (last == first || y + height + block.rows[last] <= bottom)) {
                height += block.rows[last];
                ++last;
            }
            places.push_back({i, page, y, first, last, first > 0});
            y += height;
            first = last;
        }
    }
    pages = page + 1;
    return places;
}

}  // namespace

int svgPages(const ChartLayout& layout, const SvgHeading& heading) {
    int pages = 0;
    paginate(blocksOf(layout, heading), pages);
    return pages;
}

std::string drawSvg(const ChartLayout& layout, const SvgHeading& heading) {
    const std::vector<Block> blocks = blocksOf(layout, heading);
    int pages = 0;
    const std::vector<Place> places = paginate(blocks, pages);
    const double height = kPageHeight * pages;

    Svg svg;
    std::string& out = svg.out;
    out.reserve(4096 + 600 * layout.spanCount());
    out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"210mm\" height=\"" + std::to_string(297 * pages) +
           "mm\" viewBox=\"0 0 " + number(kWidth) + " " + number(height) +
           "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    out += "<title>" + escaped(title(heading)) + "</title>\n";
    // Printed at its size, each page of the picture is a sheet of A4.
    out += "<style>@page { size: 210mm 297mm; margin: 0 } svg { display: block }</style>\n";
    out +=
        "<rect x=\"0\" y=\"0\" width=\"" + number(kWidth) + "\" height=\"" + number(height) + "\" fill=\"#ffffff\"/>\n";
    for (int page = 0; page < pages; ++page) {
        const double top = kPageHeight * page;
        svg.text(kMargin, top + 24, title(heading), " font-size=\"10\" fill=\"#555555\"");
        svg.text(kWidth - kMargin, top + 24, "page " + std::to_string(page + 1) + " of " + std::to_string(pages),
                 " font-size=\"10\" fill=\"#555555\" text-anchor=\"end\"");
    }
    for (const Place& place : places) {
        const Block& block = blocks[place.block];
        const double top = kPageHeight * place.page + place.top;
        if (block.chart != nullptr) {
            drawPanel(svg, layout, *block.chart, place.first, place.last, place.continued, top);
        } else {
            block.draw(svg, top);
        }
    }
    out += "</svg>\n";
    return out;
}
