// The cam chart drawn as text: a fixed number of character cells per turn
// for the whole run, each covering the same share of the turn.
#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "chart/cam_chart.h"

namespace {

// Classes of what a cell holds.
enum Kind { kOn = 0, kAdded = 1, kRemoved = 2, kKinds = 3 };

Kind kindOf(SpanChange change) {
    if (change == SpanChange::Added) return kAdded;
    if (change == SpanChange::Removed) return kRemoved;
    return kOn;
}

struct Cell {
    std::array<double, kKinds> cover{};  // share of the cell that spans of the kind cover
    std::array<bool, kKinds> narrow{};   // a span narrower than a cell
    std::array<bool, kKinds> thin{};     // an on = off mark
    bool fromLeft = false;               // an on-span reaches the cell's left edge
    bool toRight = false;                // an on-span reaches the cell's right edge
};

struct Glyphs {
    const char* off;
    const char* on;
    const char* added;
    const char* removed;
    const char* both;  // added and removed, nothing the same
    const char* thin;
    const char* narrow;
    const char* tick;
    const char* minorTick;
    const char* rule;
};

const Glyphs kAscii = {".", "#", "+", "-", "*", "|", "!", "|", "+", "-"};
const Glyphs kUnicode = {"\u00b7", "\u2588", "\u2580", "\u2584", "\u259a", "\u2502", "!", "\u252c", "+", "\u2500"};
// Left-aligned partial blocks, one to seven eighths.
const char* const kLeftEighths[7] = {"\u258f", "\u258e", "\u258d", "\u258c", "\u258b", "\u258a", "\u2589"};
const char* const kRightHalf = "\u2590";
const char* const kRightEighth = "\u2595";

const char* const kGreen = "\x1b[32m";
const char* const kRed = "\x1b[31m";
const char* const kMagenta = "\x1b[35m";
const char* const kReset = "\x1b[0m";

constexpr int kLabelWidth = 7;  // "chn 128"

// The cells of one lane of a row: cell i covers [i*u, (i+1)*u) of the turn.
std::vector<Cell> cellsOf(const ChartRow& row, int lane, const TextScale& scale, int32_t turn) {
    std::vector<Cell> cells(static_cast<size_t>(scale.cells));
    const double u = scale.unitsPerCell;
    auto cellOf = [&](double position) {
        return std::clamp(static_cast<int>(std::floor(position / u)), 0, scale.cells - 1);
    };
    for (const ChartSpan& span : row.spans) {
        if (span.lane != lane) continue;
        const Kind kind = kindOf(span.change);
        // Positions of the other file's turn, scaled to this one.
        const double toTurn = static_cast<double>(turn) / span.turn;
        double drawn = 0;
        int widest = -1;
        double widestShare = -1;
        for (const SpanPiece& piece : span.pieces) {
            const double from = static_cast<double>(piece.from) * toTurn;
            const double to = static_cast<double>(piece.to) * toTurn;
            if (piece.from == piece.to) {
                cells[static_cast<size_t>(cellOf(from))].thin[kind] = true;
                continue;
            }
            drawn += to - from;
            const int first = cellOf(from);
            const int last = std::clamp(static_cast<int>(std::ceil(to / u)) - 1, first, scale.cells - 1);
            for (int c = first; c <= last; ++c) {
                Cell& cell = cells[static_cast<size_t>(c)];
                const double start = c * u;
                const double end = std::min<double>((c + 1) * u, turn);
                const double share = (std::min(to, end) - std::max(from, start)) / (end - start);
                cell.cover[kind] = std::min(1.0, cell.cover[kind] + share);
                if (share > widestShare) {
                    widestShare = share;
                    widest = c;
                }
                if (kind == kOn) {
                    cell.fromLeft = cell.fromLeft || from <= start;
                    cell.toRight = cell.toRight || to >= end;
                }
            }
        }
        if (!span.thin && widest >= 0 && drawn < u) cells[static_cast<size_t>(widest)].narrow[kind] = true;
    }
    return cells;
}

bool shown(const Cell& cell, Kind kind) { return cell.cover[kind] >= 0.5; }

// The character of a cell and its colour (nullptr: the terminal's own).
std::pair<std::string, const char*> glyphOf(const Cell& cell, const Glyphs& g, bool unicode) {
    if (cell.narrow[kOn] || cell.narrow[kAdded] || cell.narrow[kRemoved]) {
        const char* paint = cell.narrow[kOn] ? nullptr : cell.narrow[kAdded] ? kGreen : kRed;
        return {g.narrow, paint};
    }
    const bool added = shown(cell, kAdded) || cell.thin[kAdded];
    const bool removed = shown(cell, kRemoved) || cell.thin[kRemoved];
    const double on = cell.cover[kOn];
    if (cell.thin[kOn] && on < 0.5) return {g.thin, nullptr};
    if (unicode && on > 0 && !added && !removed) {
        if (on >= 0.875) return {g.on, nullptr};
        const int eighths = std::clamp(static_cast<int>(std::lround(on * 8)), 1, 7);
        if (cell.toRight && !cell.fromLeft) return {eighths >= 4 ? kRightHalf : kRightEighth, nullptr};
        return {kLeftEighths[eighths - 1], nullptr};
    }
    if (shown(cell, kOn)) return {g.on, nullptr};
    if (added && removed) return {g.both, kMagenta};
    if (added) return {shown(cell, kAdded) ? g.added : g.thin, kGreen};
    if (removed) return {shown(cell, kRemoved) ? g.removed : g.thin, kRed};
    return {g.off, nullptr};
}

std::string signOf(const ChartSpan& span) {
    if (span.change == SpanChange::Added) return "+";
    if (span.change == SpanChange::Removed) return "-";
    return "";
}

std::string positionsOf(const ChartRow& row) {
    std::string text;
    for (const ChartSpan& span : row.spans) {
        if (!text.empty()) text += ' ';
        text += signOf(span) + spanPositions(span);
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
        text += signOf(span) + spanPositions(span);
        if (paint != nullptr) text += kReset;
    }
    return text;
}

std::string pad(std::string text, size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

// Ticks at even fractions of the turn: labelled ones, the most divisions
// whose labels fit (those that divide the turn first), and unlabelled ones
// between them where each lies two cells or more from the next.
struct Ticks {
    std::vector<int> columns;  // of each labelled tick, 0..cells (cells: the right edge)
    std::vector<std::string> labels;
    std::vector<int> minor;
};

Ticks ticksFor(int32_t turn, const TextScale& scale) {
    const double u = scale.unitsPerCell;
    auto columnOf = [&](double position) { return static_cast<int>(std::lround(position / u)); };
    auto build = [&](int n) {
        Ticks t;
        for (int k = 0; k <= n; ++k) {
            const double position = static_cast<double>(turn) * k / n;
            t.columns.push_back(k == n ? scale.cells : columnOf(position));
            t.labels.push_back(std::to_string(static_cast<int64_t>(turn) * k / n));
        }
        return t;
    };
    auto fits = [&](const Ticks& t) {
        // Labels start at their tick.
        int free = 0;
        for (size_t k = 0; k < t.columns.size(); ++k) {
            const int len = static_cast<int>(t.labels[k].size());
            const int start = t.columns[k];
            if (start < free) return false;
            free = start + len + 1;
        }
        return true;
    };
    Ticks best = build(1);
    int bestN = 1;
    bool bestDivides = true;
    for (int n : {2, 3, 4, 6, 8, 12, 18, 24, 36}) {
        if (turn < n) break;
        const Ticks t = build(n);
        if (!fits(t)) continue;
        const bool divides = turn % n == 0;
        if (divides || !bestDivides) {
            best = t;
            bestN = n;
            bestDivides = divides;
        }
    }
    for (int k : {5, 4, 3, 2}) {
        const int m = bestN * k;
        if (turn % m != 0 || static_cast<double>(scale.cells) / m < 2) continue;
        for (int i = 1; i < m; ++i) {
            if (i % k != 0) best.minor.push_back(columnOf(static_cast<double>(turn) * i / m));
        }
        break;
    }
    return best;
}

std::string unitsText(int32_t turn, int32_t units) {
    if (turn == 360) return std::to_string(units) + (units == 1 ? " degree" : " degrees");
    return std::to_string(units) + (units == 1 ? " position unit" : " position units");
}

}  // namespace

TextScale textScaleFor(int32_t turn, int width) {
    const int room = std::max(8, width - kLabelWidth - 2);
    TextScale scale;
    if (turn <= room) {
        scale.unitsPerCell = 1;
    } else {
        const int32_t least = static_cast<int32_t>((static_cast<int64_t>(turn) + room - 1) / room);
        scale.unitsPerCell = least;
        // A share that divides the turn, when one lies near.
        for (int64_t u = least; u <= 2 * static_cast<int64_t>(least); ++u) {
            if (turn % u == 0) {
                scale.unitsPerCell = static_cast<int32_t>(u);
                break;
            }
        }
    }
    scale.cells = static_cast<int>((static_cast<int64_t>(turn) + scale.unitsPerCell - 1) / scale.unitsPerCell);
    return scale;
}

std::string textHeadline(const ChartLayout& layout, const std::string& file, const std::string& other,
                         const TextScale& scale) {
    auto names = [&](const std::string& a, const std::string& b) { return b.empty() ? a : a + " against " + b; };
    auto base = [](const std::string& path) {
        const size_t slash = path.find_last_of("/\\");
        return slash == std::string::npos ? path : path.substr(slash + 1);
    };
    std::string first = names(file, other) + ": " + countsText(layout);
    if (first.size() > 80) first = names(base(file), other.empty() ? other : base(other)) + ": " + countsText(layout);
    std::string second =
        "Turn 0.." + std::to_string(layout.turn) + ", 1 cell = " + unitsText(layout.turn, scale.unitsPerCell);
    if (layout.refusedScale) second += " (the scale factor " + std::to_string(*layout.refusedScale) + " is no turn)";
    if (layout.otherTurn) second += "; other file: turn 0.." + std::to_string(*layout.otherTurn) + ", scaled";
    return first + "\n" + second + "\n";
}

std::string drawText(const ChartLayout& layout, const TextStyle& style) {
    const Glyphs& g = style.unicode ? kUnicode : kAscii;
    const TextScale scale = textScaleFor(layout.turn, style.width);
    const Ticks ticks = ticksFor(layout.turn, scale);
    const std::string indent(kLabelWidth + 1, ' ');
    bool anyNote = false, anyLanes = false;

    std::string numbers(static_cast<size_t>(scale.cells) + 12, ' ');
    for (size_t k = 0; k < ticks.columns.size(); ++k)
        numbers.replace(static_cast<size_t>(ticks.columns[k]), ticks.labels[k].size(), ticks.labels[k]);
    while (!numbers.empty() && numbers.back() == ' ') numbers.pop_back();
    std::string rule;
    for (int c = 0; c <= scale.cells; ++c) {
        const bool major = std::find(ticks.columns.begin(), ticks.columns.end(), c) != ticks.columns.end();
        const bool minor = std::find(ticks.minor.begin(), ticks.minor.end(), c) != ticks.minor.end();
        rule += major ? g.tick : minor ? g.minorTick : g.rule;
    }

    std::string out;
    for (const Chart& chart : layout.charts) {
        out += chart.heading() + "\n";
        out += indent + numbers + "\n";
        out += indent + rule + "\n";
        std::vector<const ChartRow*> below;
        for (const ChartRow& row : chart.rows) {
            bool before = false, beyond = false;
            for (const ChartSpan& span : row.spans) {
                before = before || (span.onOutside && span.on < 0) || (span.offOutside && span.off < 0);
                beyond = beyond || (span.onOutside && span.on > 0) || (span.offOutside && span.off > 0);
            }
            const std::string notes = row.notesText();
            anyNote = anyNote || !notes.empty();
            anyLanes = anyLanes || row.lanes > 1;
            std::string after = (notes.empty() ? "" : "[" + notes + "] ") + positionsOf(row);
            const bool fits = kLabelWidth + 3 + scale.cells + static_cast<int>(after.size()) <= style.width;
            for (int lane = 0; lane < row.lanes; ++lane) {
                std::string line = pad(lane == 0 ? row.label() : "", kLabelWidth) + (before ? "<" : " ");
                const char* painted = nullptr;
                for (const Cell& cell : cellsOf(row, lane, scale, layout.turn)) {
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
                if (lane == 0 && fits) {
                    line += ' ';
                    if (!notes.empty()) line += "[" + notes + "] ";
                    line += colouredPositions(row, style.colour);
                }
                while (!line.empty() && line.back() == ' ') line.pop_back();
                out += line + "\n";
            }
            if (!fits) below.push_back(&row);
        }
        // Positions that do not fit after their rows, wrapped at the width.
        for (const ChartRow* row : below) {
            const std::string notes = row->notesText();
            std::string line = "  " + row->label() + (notes.empty() ? "" : " [" + notes + "]") + ":";
            size_t shown = line.size();  // the columns of the line, without colour codes
            for (const ChartSpan& span : row->spans) {
                const std::string word = signOf(span) + spanPositions(span);
                if (shown + 1 + word.size() > static_cast<size_t>(style.width) && shown > 4) {
                    out += line + "\n";
                    line = "   ";
                    shown = line.size();
                }
                const char* paint = !style.colour                        ? nullptr
                                    : span.change == SpanChange::Added   ? kGreen
                                    : span.change == SpanChange::Removed ? kRed
                                                                         : nullptr;
                line += " " + (paint != nullptr ? paint + word + kReset : word);
                shown += 1 + word.size();
            }
            out += line + "\n";
        }
    }
    for (const std::string& change : layout.alsoDiffers) out += "also differs: " + change + "\n";

    // The legend.
    out += std::string("Legend: ") + g.on + " on, " + g.thin + " on = off, " + g.narrow +
           " narrower than a cell, < > outside the turn\n";
    if (layout.against) {
        out += std::string("        ") + g.added + " added (+), " + g.removed + " removed (-), " + g.both +
               " added and removed\n";
    }
    if (anyLanes) out += "        a row's further lines: setpoints that overlap those above\n";
    if (anyNote) out += "        sc speed compensation, to timed output\n";
    const std::vector<const ChartSpan*> outside = layout.outside();
    if (!outside.empty()) {
        out += "Outside the turn 0.." + std::to_string(layout.turn - 1) + ", drawn at the edge:\n";
        for (const ChartSpan* span : outside) out += "  " + outsideNote(*span) + "\n";
    }
    return out;
}
