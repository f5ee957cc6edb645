#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "image/image_compare.h"
#include "image/setpoint_rules.h"

// The cam chart: a data file's setpoints as on-spans over one turn of the
// shaft, one chart per program and one row per output channel. The spans
// are laid out once here; the text and SVG drawings only place them.

// How a span of `linkora show --against` compares with the other file.
enum class SpanChange { Plain, Same, Added, Removed };

// One piece of an on-span, in position units within 0..turn (a span that
// wraps through zero has two).
using SpanPiece = TurnPiece;

// One setpoint of a row: its own values (program and channel 1-based, as in
// the file) and the pieces it is drawn as.
struct ChartSpan {
    int64_t program = 0;
    int64_t channel = 0;
    int32_t on = 0;
    int32_t off = 0;
    int32_t turn = 360;  // the turn of the file it comes from
    SpanChange change = SpanChange::Plain;
    bool thin = false;              // on equals off: a mark at that position
    bool wraps = false;             // off below on: through zero
    bool onOutside = false;         // on is outside the turn: drawn at the edge
    bool offOutside = false;        // off is outside the turn: drawn at the edge
    int lane = 0;                   // 0 the row's first line; overlapping setpoints lie in further lanes
    std::vector<SpanPiece> pieces;  // a thin mark: one piece with from == to
    // The share of the turn at a position of this span, 0..1.
    double share(int64_t position) const { return static_cast<double>(position) / turn; }
};

// A channel's speed compensation and timed output in one file.
struct ChannelNotes {
    bool speedComp = false;
    bool leadingTrailing = false;
    int32_t leading = 0;
    int32_t trailing = 0;
    int32_t timedDelay = 0;  // ms; 0 none
    bool operator==(const ChannelNotes&) const = default;
};

struct ChartRow {
    int64_t channel = 0;                     // 1-based
    ChannelNotes notes;                      // of the file
    std::optional<ChannelNotes> otherNotes;  // of the other file, with --against
    int lanes = 1;
    std::vector<ChartSpan> spans;  // by angle
    // "chn 4".
    std::string label() const;
    // "sc 12, to 50 ms", with "a -> b" where the other file differs; empty
    // when the channel has neither.
    std::string notesText() const;
};

struct Chart {
    int64_t program = 0;  // 1-based
    bool isDefault = false;
    std::vector<ChartRow> rows;  // in channel order
    // "Program 1" or "Program 1 (default)".
    std::string heading() const;
};

struct ChartLayout {
    int32_t turn = 360;  // the axis runs 0..turn
    // The other file's turn when it is another; its setpoints are drawn on
    // it, scaled to the axis.
    std::optional<int32_t> otherTurn;
    // The file's scale factor when it has one that is no turn (below 1);
    // the chart is then drawn over 0..360.
    std::optional<int32_t> refusedScale;
    bool against = false;       // spans carry Same, Added or Removed
    std::vector<Chart> charts;  // in program order
    // With --against: the differences other than setpoints, as
    // "Scale factor 360 -> 720" (the other file's value first).
    std::vector<std::string> alsoDiffers;
    // The programs that hold setpoints in the file (or the other file),
    // whichever program was asked for.
    std::vector<int64_t> programsWithSetpoints;
    // Spans with a position outside the turn, in chart and row order.
    std::vector<const ChartSpan*> outside() const;
    // How many drawn spans have the change.
    size_t count(SpanChange change) const;
    size_t spanCount() const;
};

// The turn of a file: the scale factor of resolver 1 when the file has a
// scale factor line and it is at least 1, else 360.
int32_t turnOf(const ImageCopy& file);

// Lays out the setpoints of `file` (only program `program` when given);
// with `other`, each span is marked as the same in both files or added, and
// the setpoints only `other` holds join as removed spans. The marking is
// the data file comparison's, as `linkora diff OTHER FILE` reports it.
ChartLayout layOutCharts(const ImageCopy& file, const ImageCopy* other, std::optional<int64_t> program);

// "350..20" and the like: the setpoint's positions.
std::string spanPositions(const ChartSpan& span);
// "Program 1 chn 4: on 400" and the like, for the legend.
std::string outsideNote(const ChartSpan& span);
// "2 programs, 7 setpoints", or with --against "5 setpoints the same, 2
// added, 2 removed".
std::string countsText(const ChartLayout& layout);
// "1-3, 7": program numbers in ranges.
std::string numberRanges(const std::vector<int64_t>& numbers);

// The text drawing.
struct TextStyle {
    int width = 80;        // columns
    bool unicode = false;  // block characters; else ASCII
    bool colour = false;   // ANSI colours for added and removed spans
};
// The cells of one turn for a terminal of `width` columns, fixed for the run.
struct TextScale {
    int cells = 60;
    int32_t unitsPerCell = 6;  // position units of the file's turn
};
TextScale textScaleFor(int32_t turn, int width);
// The headline: what is drawn and the scale, within `width` columns where the
// file names allow.
std::string textHeadline(const ChartLayout& layout, const std::string& file, const std::string& other,
                         const TextScale& scale);
std::string drawText(const ChartLayout& layout, const TextStyle& style);

// The SVG drawing: self-contained documents of A4 pages. `nothing`, when
// not empty, says why it holds no chart.
struct SvgHeading {
    std::string file;
    std::string other;    // empty without --against
    std::string nothing;  // why there is no chart, or empty
};
// A document is a column of A4 pages, 960 units (210 mm) wide; it holds at
// most this many, so that it stays within 32 767 pixels, the most that
// rsvg-convert renders.
constexpr int kSvgMostPages = 24;
// The pages drawSvg draws for the layout.
int svgPages(const ChartLayout& layout, const SvgHeading& heading);
std::string drawSvg(const ChartLayout& layout, const SvgHeading& heading);
