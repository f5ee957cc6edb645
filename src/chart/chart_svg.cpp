// The cam chart drawn as one self-contained SVG document. Its size and
// layout follow from the number of charts and rows alone, so that two files
// with the same rows give pictures that lie over each other.
#include <algorithm>
#include <cstdio>
#include <string>

#include "chart/cam_chart.h"

namespace {

constexpr int kWidth = 960;
constexpr int kMargin = 16;
constexpr int kTitleHeight = 40;
constexpr int kPanelHead = 38;  // "Program N" and the scale labels
constexpr int kRowHeight = 20;
constexpr int kPanelFoot = 14;
constexpr int kLegendHeight = 92;
constexpr double kPlotLeft = 140;
constexpr double kPlotRight = 920;
constexpr int kDivisions = 8;

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

struct Svg {
    std::string out;
    int32_t turn = 360;
    double x(int64_t position) const {
        return kPlotLeft + static_cast<double>(position) * (kPlotRight - kPlotLeft) / turn;
    }
    void text(double x, double y, const std::string& body, const char* extra = "") {
        out += "<text x=\"" + number(x) + "\" y=\"" + number(y) + "\"" + extra + ">" + escaped(body) + "</text>\n";
    }
};

void drawSpan(Svg& svg, const ChartSpan& span, double rowTop) {
    // Same spans fill the row's band; with --against, added ones its upper
    // half and removed ones its lower half, so that both show where they
    // overlap.
    double top = rowTop + 3;
    double height = kRowHeight - 6;
    const char* fill = kOnColour;
    std::string edge;
    if (span.change == SpanChange::Added) {
        height /= 2;
        fill = kAddedColour;
    } else if (span.change == SpanChange::Removed) {
        top += height / 2;
        height /= 2;
        fill = kRemovedColour;
        edge = std::string(" stroke=\"") + kRemovedEdge + "\" stroke-width=\"1\"";
    }
    std::string data = " data-program=\"" + std::to_string(span.program) + "\" data-channel=\"" +
                       std::to_string(span.channel) + "\" data-on=\"" + std::to_string(span.on) + "\" data-off=\"" +
                       std::to_string(span.off) + "\"";
    if (span.change != SpanChange::Plain) data += std::string(" data-change=\"") + changeWord(span.change) + "\"";
    const std::string title = "<title>" + escaped(describe(span)) + "</title>";
    for (const SpanPiece& piece : span.pieces) {
        double left = svg.x(piece.from);
        double width = svg.x(piece.to) - left;
        if (span.thin || width < 2) {
            // A mark two units wide at its position, within the plot.
            const double centre = span.thin ? left : left + width / 2;
            left = std::clamp(centre - 1, kPlotLeft, kPlotRight - 2);
            width = 2;
        }
        svg.out += "<rect x=\"" + number(left) + "\" y=\"" + number(top) + "\" width=\"" + number(width) +
                   "\" height=\"" + number(height) + "\" fill=\"" + fill + "\"" + edge + data + ">" + title +
                   "</rect>\n";
    }
    // A position outside the turn: a triangle beside the edge it is drawn at.
    auto marker = [&](bool low, const std::string& what) {
        const double y = rowTop + kRowHeight / 2.0;
        const std::string d = low ? "M" + number(kPlotLeft - 9) + " " + number(y) + " l7 -5 v10 z"
                                  : "M" + number(kPlotRight + 9) + " " + number(y) + " l-7 -5 v10 z";
        svg.out +=
            "<path d=\"" + d + "\" fill=\"" + kOutsideColour + "\"><title>" + escaped(what) + "</title></path>\n";
    };
    const std::string note = outsideNote(span);
    if (span.onOutside) marker(span.on < 0, note);
    if (span.offOutside) marker(span.off < 0, note);
}

}  // namespace

std::string drawSvg(const ChartLayout& layout, const std::string& title, const std::string& nothing) {
    int height = kTitleHeight + kLegendHeight + (nothing.empty() ? 0 : kPanelHead);
    for (const Chart& chart : layout.charts)
        height += kPanelHead + kRowHeight * static_cast<int>(chart.rows.size()) + kPanelFoot;

    Svg svg;
    svg.turn = layout.turn;
    std::string& out = svg.out;
    out.reserve(4096 + 400 * layout.charts.size());
    out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(kWidth) + "\" height=\"" +
           std::to_string(height) + "\" viewBox=\"0 0 " + std::to_string(kWidth) + " " + std::to_string(height) +
           "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    out += "<title>" + escaped(title) + "</title>\n";
    out += "<rect x=\"0\" y=\"0\" width=\"" + std::to_string(kWidth) + "\" height=\"" + std::to_string(height) +
           "\" fill=\"#ffffff\"/>\n";
    svg.text(kMargin, 26, title + ": turn 0.." + std::to_string(layout.turn), " font-size=\"15\" font-weight=\"bold\"");

    double y = kTitleHeight;
    if (!nothing.empty()) {
        svg.text(kMargin, y + 16, nothing);
        y += kPanelHead;
    }
    for (const Chart& chart : layout.charts) {
        const double rowsTop = y + kPanelHead;
        const double rowsHeight = kRowHeight * static_cast<double>(chart.rows.size());
        out += "<g>\n";
        svg.text(kMargin, y + 16, "Program " + std::to_string(chart.program), " font-size=\"13\" font-weight=\"bold\"");
        // Row bands, then the grid over them.
        for (size_t r = 0; r < chart.rows.size(); ++r) {
            const double top = rowsTop + kRowHeight * static_cast<double>(r);
            out += "<rect x=\"" + number(kPlotLeft) + "\" y=\"" + number(top) + "\" width=\"" +
                   number(kPlotRight - kPlotLeft) + "\" height=\"" + std::to_string(kRowHeight) + "\" fill=\"" +
                   (r % 2 == 0 ? "#f3f3f3" : "#fafafa") + "\"/>\n";
        }
        for (int k = 0; k <= kDivisions; ++k) {
            const double x = kPlotLeft + (kPlotRight - kPlotLeft) * k / kDivisions;
            out += "<line x1=\"" + number(x) + "\" y1=\"" + number(rowsTop - 4) + "\" x2=\"" + number(x) + "\" y2=\"" +
                   number(rowsTop + rowsHeight) + "\" stroke=\"" + (k % 2 == 0 ? "#9a9a9a" : "#cfcfcf") +
                   "\" stroke-width=\"1\"/>\n";
            const std::string label = std::to_string(static_cast<int64_t>(layout.turn) * k / kDivisions);
            svg.text(x, rowsTop - 8, label, " text-anchor=\"middle\" font-size=\"10\" fill=\"#444444\"");
        }
        for (size_t r = 0; r < chart.rows.size(); ++r) {
            const ChartRow& row = chart.rows[r];
            const double top = rowsTop + kRowHeight * static_cast<double>(r);
            std::string words = "channel " + std::to_string(row.channel);
            if (row.speedComp) words += ", speed compensation";
            if (row.timedOutput) words += ", timed output";
            out += "<text x=\"" + number(kMargin) + "\" y=\"" + number(top + 14) + "\"><title>" + escaped(words) +
                   "</title>" + escaped(row.label()) + "</text>\n";
            for (const ChartSpan& span : row.spans) drawSpan(svg, span, top);
        }
        out += "</g>\n";
        y += kPanelHead + rowsHeight + kPanelFoot;
    }

    // The legend: swatches, then the positions outside the turn.
    const double top = y + 8;
    double x = kMargin;
    auto swatch = [&](const char* fill, double height, double offset, const std::string& words, const char* edge) {
        out += "<rect x=\"" + number(x) + "\" y=\"" + number(top + offset) + "\" width=\"18\" height=\"" +
               number(height) + "\" fill=\"" + fill + "\"" + edge + "/>\n";
        svg.text(x + 24, top + 11, words);
        x += 24 + 7.0 * static_cast<double>(words.size()) + 16;
    };
    if (layout.against) {
        swatch(kOnColour, 14, 0, "same in both files", "");
        swatch(kAddedColour, 7, 0, "added (only in this file)", "");
        swatch(kRemovedColour, 7, 7, "removed (only in the other file)", " stroke=\"#a01818\" stroke-width=\"1\"");
    } else {
        swatch(kOnColour, 14, 0, "on", "");
    }
    // Second line: the thin mark and the edge marker.
    x = kMargin;
    const double second = top + 22;
    out += "<rect x=\"" + number(x + 8) + "\" y=\"" + number(second) + "\" width=\"2\" height=\"14\" fill=\"" +
           kOnColour + "\"/>\n";
    svg.text(x + 24, second + 11, "on = off");
    x += 24 + 7.0 * 8 + 16;
    out += "<path d=\"M" + number(x + 12) + " " + number(second + 7) + " l7 -5 v10 z\" fill=\"" + kOutsideColour +
           "\"/>\n";
    svg.text(x + 24, second + 11, "position outside the turn, drawn at the edge");
    svg.text(kMargin, top + 52, "sc: speed compensation, to: timed output; positions in the controller's units");
    const std::vector<const ChartSpan*> outside = layout.outside();
    std::string list;
    for (const ChartSpan* span : outside) list += (list.empty() ? "" : "; ") + outsideNote(*span);
    std::string shownList = list;
    if (shownList.size() > 120) shownList = shownList.substr(0, 117) + "...";
    std::string line =
        "Outside the turn 0.." + std::to_string(layout.turn) + ": " + (outside.empty() ? "none" : shownList);
    out += "<text x=\"" + number(kMargin) + "\" y=\"" + number(top + 72) + "\"" +
           (outside.empty() ? "" : " fill=\"#c0392b\"") + ">" +
           (outside.empty() ? "" : "<title>" + escaped(list) + "</title>") + escaped(line) + "</text>\n";
    out += "</svg>\n";
    return out;
}
