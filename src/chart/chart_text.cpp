// The cam chart drawn as text: one character column per slice of the turn.
#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "chart/cam_chart.h"

namespace {

// Classes of what a column holds.
enum Kind { kOn = 0, kAdded = 1, kRemoved = 2, kKinds = 3 };

Kind kindOf(SpanChange change) {
    if (change == SpanChange::Added) return kAdded;
    if (change == SpanChange::Removed) return kRemoved;
    return kOn;
}

struct Cell {
    std::array<double, kKinds> cover{};  // share of the column that spans of the kind cover
    std::array<bool, kKinds> forced{};   // a span that would otherwise not show at all
    std::array<bool, kKinds> thin{};     // an on = off mark
    bool fromLeft = false;               // an on-span reaches the column's left edge
    bool toRight = false;                // an on-span reaches the column's right edge
};

struct Glyphs {
    const char* off;
    const char* on;
    const char* added;
    const char* removed;
    const char* both;  // added and removed, nothing the same
    const char* thin;
    const char* tick;
    const char* rule;
};

const Glyphs kAscii = {".", "#", "+", "-", "*", "|", "|", "-"};
const Glyphs kUnicode = {"\u00b7", "\u2588", "\u2580", "\u2584", "\u259a", "\u2502", "\u252c", "\u2500"};
// Left-aligned partial blocks, one to seven eighths.
const char* const kLeftEighths[7] = {"\u258f", "\u258e", "\u258d", "\u258c", "\u258b", "\u258a", "\u2589"};
const char* const kRightHalf = "\u2590";
const char* const kRightEighth = "\u2595";

const char* const kGreen = "\x1b[32m";
const char* const kRed = "\x1b[31m";
const char* const kMagenta = "\x1b[35m";
const char* const kReset = "\x1b[0m";

// Columns of the bar: cell i covers [i*turn/width, (i+1)*turn/width).
std::vector<Cell> cellsOf(const ChartRow& row, int width, int32_t turn) {
    std::vector<Cell> cells(static_cast<size_t>(width));
    const double slice = static_cast<double>(turn) / width;
    auto columnOf = [&](double position) {
        return std::clamp(static_cast<int>(std::floor(position / slice)), 0, width - 1);
    };
    for (const ChartSpan& span : row.spans) {
        const Kind kind = kindOf(span.change);
        for (const SpanPiece& piece : span.pieces) {
            const double from = static_cast<double>(piece.from);
            const double to = static_cast<double>(piece.to);
            if (span.thin || piece.from == piece.to) {
                cells[static_cast<size_t>(columnOf(from))].thin[kind] = true;
                continue;
            }
            const int first = columnOf(from);
            const int last = std::clamp(static_cast<int>(std::ceil(to / slice)) - 1, first, width - 1);
            int widest = first;
            double widestShare = -1;
            bool shows = false;
            for (int c = first; c <= last; ++c) {
                Cell& cell = cells[static_cast<size_t>(c)];
                const double start = c * slice;
                const double end = (c + 1) * slice;
                const double share = (std::min(to, end) - std::max(from, start)) / slice;
                cell.cover[kind] = std::min(1.0, cell.cover[kind] + share);
                if (share > widestShare) {
                    widestShare = share;
                    widest = c;
                }
                shows = shows || share >= 0.5;
                if (kind == kOn) {
                    cell.fromLeft = cell.fromLeft || from <= start;
                    cell.toRight = cell.toRight || to >= end;
                }
            }
            if (!shows) cells[static_cast<size_t>(widest)].forced[kind] = true;
        }
    }
    return cells;
}

bool shown(const Cell& cell, Kind kind) { return cell.cover[kind] >= 0.5 || cell.forced[kind]; }

// The character of a column and its colour (nullptr: the terminal's own).
std::pair<std::string, const char*> glyphOf(const Cell& cell, const Glyphs& g, bool unicode) {
    const bool added = shown(cell, kAdded) || cell.thin[kAdded];
    const bool removed = shown(cell, kRemoved) || cell.thin[kRemoved];
    const double on = cell.cover[kOn];
    if (unicode && on > 0 && !added && !removed) {
        if (on >= 0.875) return {g.on, nullptr};
        const int eighths = std::clamp(static_cast<int>(std::lround(on * 8)), 1, 7);
        if (cell.toRight && !cell.fromLeft) return {eighths >= 4 ? kRightHalf : kRightEighth, nullptr};
        return {kLeftEighths[eighths - 1], nullptr};
    }
    if (shown(cell, kOn)) return {g.on, nullptr};
    if (cell.thin[kOn] && !added && !removed) return {g.thin, nullptr};
    if (added && removed) return {g.both, kMagenta};
    if (added) return {shown(cell, kAdded) ? g.added : g.thin, kGreen};
    if (removed) return {shown(cell, kRemoved) ? g.removed : g.thin, kRed};
    if (cell.thin[kOn]) return {g.thin, nullptr};
    return {g.off, nullptr};
}

std::string positionsOf(const ChartRow& row) {
    std::string text;
    for (const ChartSpan& span : row.spans) {
        if (!text.empty()) text += ' ';
        if (span.change == SpanChange::Added) text += '+';
        if (span.change == SpanChange::Removed) text += '-';
        text += spanPositions(span);
    }
    return text;
}

// The positions with the added and removed ones in colour.
std::string colouredPositions(const ChartRow& row, bool colour) {
    if (!colour) return positionsOf(row);
    std::string text;
    for (const ChartSpan& span : row.spans) {
        if (!text.empty()) text += ' ';
        const char* paint = span.change == SpanChange::Added     ? kGreen
                            : span.change == SpanChange::Removed ? kRed
                                                                 : nullptr;
        if (paint != nullptr) text += paint;
        if (span.change == SpanChange::Added) text += '+';
        if (span.change == SpanChange::Removed) text += '-';
        text += spanPositions(span);
        if (paint != nullptr) text += kReset;
    }
    return text;
}

std::string pad(std::string text, size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

// Ticks at even fractions of the turn: the most divisions (2, 4, 8, 16, 32)
// whose labels fit, those that divide the turn first.
struct Scale {
    int divisions = 1;
    std::vector<int> columns;  // of each tick, 0..width (width: the right edge)
    std::vector<std::string> labels;
};

Scale scaleFor(int32_t turn, int width) {
    auto build = [&](int n) {
        Scale s;
        s.divisions = n;
        for (int k = 0; k <= n; ++k) {
            s.columns.push_back(static_cast<int>(static_cast<int64_t>(k) * width / n));
            s.labels.push_back(std::to_string(static_cast<int64_t>(turn) * k / n));
        }
        return s;
    };
    auto fits = [&](const Scale& s) {
        // Labels start at their tick; the last one ends at the right edge.
        int free = 0;
        for (int k = 0; k <= s.divisions; ++k) {
            const int len = static_cast<int>(s.labels[static_cast<size_t>(k)].size());
            const int start =
                k == s.divisions ? s.columns[static_cast<size_t>(k)] + 1 - len : s.columns[static_cast<size_t>(k)];
            if (start < free) return false;
            free = start + len + 1;
        }
        return true;
    };
    Scale best = build(1);
    bool bestDivides = true;
    for (int n = 2; n <= 32; n *= 2) {
        const Scale s = build(n);
        if (!fits(s)) break;
        const bool divides = turn % n == 0;
        if (divides || !bestDivides) {
            best = s;
            bestDivides = divides;
        }
    }
    return best;
}

}  // namespace

std::string drawText(const ChartLayout& layout, const TextStyle& style) {
    const Glyphs& g = style.unicode ? kUnicode : kAscii;
    size_t labelWidth = 6;
    size_t positionsWidth = 0;
    bool anyNote = false;
    for (const Chart& chart : layout.charts) {
        for (const ChartRow& row : chart.rows) {
            labelWidth = std::max(labelWidth, row.label().size() + 1);
            positionsWidth = std::max(positionsWidth, positionsOf(row).size() + 1);
            anyNote = anyNote || row.speedComp || row.timedOutput;
        }
    }
    // Label, an edge column each side of the bar, the positions after it
    // when that leaves the bar most of the room.
    const int room = std::max(8, style.width - static_cast<int>(labelWidth) - 2);
    const bool positionsAfter = room - static_cast<int>(positionsWidth) >= std::max(16, room * 3 / 5);
    const int width = positionsAfter ? room - static_cast<int>(positionsWidth) : room;
    const Scale scale = scaleFor(layout.turn, width);
    const std::string indent(labelWidth + 1, ' ');

    std::string out;
    for (const Chart& chart : layout.charts) {
        out += "Program " + std::to_string(chart.program) + "\n";
        std::string numbers(static_cast<size_t>(width) + 1, ' ');
        std::string rule;
        for (int k = 0; k <= scale.divisions; ++k) {
            const std::string& label = scale.labels[static_cast<size_t>(k)];
            const int column = scale.columns[static_cast<size_t>(k)];
            const int start = k == scale.divisions ? column + 1 - static_cast<int>(label.size()) : column;
            numbers.replace(static_cast<size_t>(std::max(0, start)), label.size(), label);
        }
        for (int c = 0, k = 0; c <= width; ++c) {
            const bool tick = k <= scale.divisions && scale.columns[static_cast<size_t>(k)] == c;
            if (tick) ++k;
            while (k <= scale.divisions && scale.columns[static_cast<size_t>(k)] == c) ++k;
            rule += tick ? g.tick : g.rule;
        }
        while (!numbers.empty() && numbers.back() == ' ') numbers.pop_back();
        out += indent + numbers + "\n";
        out += indent + rule + "\n";
        std::vector<const ChartRow*> below;
        for (const ChartRow& row : chart.rows) {
            bool before = false, beyond = false;
            for (const ChartSpan& span : row.spans) {
                before = before || (span.onOutside && span.on < 0) || (span.offOutside && span.off < 0);
                beyond = beyond || (span.onOutside && span.on > 0) || (span.offOutside && span.off > 0);
            }
            std::string line = pad(row.label(), labelWidth) + (before ? "<" : " ");
            const char* painted = nullptr;
            for (const Cell& cell : cellsOf(row, width, layout.turn)) {
                const auto [glyph, paint] = glyphOf(cell, g, style.unicode);
                const char* want = style.colour ? paint : nullptr;
                if (want != painted) {
                    line += want != nullptr ? want : kReset;
                    painted = want;
                }
                line += glyph;
            }
            if (painted != nullptr) line += kReset;
            line += beyond ? ">" : " ";
            if (positionsAfter) {
                line += ' ';
                line += colouredPositions(row, style.colour);
            } else {
                below.push_back(&row);
            }
            while (!line.empty() && line.back() == ' ') line.pop_back();
            out += line + "\n";
        }
        // Positions that do not fit after their rows, wrapped at the width.
        for (const ChartRow* row : below) {
            std::string line = "  " + row->label() + ":";
            const std::string all = positionsOf(*row);
            size_t at = 0;
            while (at < all.size()) {
                size_t next = all.find(' ', at);
                if (next == std::string::npos) next = all.size();
                const std::string word = all.substr(at, next - at);
                if (line.size() + 1 + word.size() > static_cast<size_t>(style.width) && line.size() > 4) {
                    out += line + "\n";
                    line = "   ";
                }
                line += " " + word;
                at = next + 1;
            }
            out += line + "\n";
        }
    }

    // The legend.
    out += std::string("Legend: ") + g.on + " on, " + g.thin + " on = off, < > position outside the turn\n";
    if (layout.against) {
        out += std::string("        ") + g.added + " added (+), " + g.removed + " removed (-), " + g.both +
               " added and removed\n";
    }
    if (anyNote) out += "        sc speed compensation, to timed output\n";
    const std::vector<const ChartSpan*> outside = layout.outside();
    if (!outside.empty()) {
        out += "Outside the turn 0.." + std::to_string(layout.turn) + ", drawn at the edge:\n";
        for (const ChartSpan* span : outside) out += "  " + outsideNote(*span) + "\n";
    }
    return out;
}
