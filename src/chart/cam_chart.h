#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "image/image_compare.h"

// The cam chart: a data file's setpoints as on-spans over one turn of the
// shaft, one chart per program and one row per output channel. The spans
// are laid out once here; the text and SVG drawings only place them.

// How a span of `linkora show --against` compares with the other file.
enum class SpanChange { Plain, Same, Added, Removed };

// One piece of an on-span, in position units within 0..turn (a span that
// wraps through zero has two).
struct SpanPiece {
    int64_t from = 0;
    int64_t to = 0;
};

// One setpoint of a row: its own values (program and channel 1-based, as in
// the file) and the pieces it is drawn as.
struct ChartSpan {
    int64_t program = 0;
    int64_t channel = 0;
    int32_t on = 0;
    int32_t off = 0;
    SpanChange change = SpanChange::Plain;
    bool thin = false;              // on equals off: a mark at that position
    bool wraps = false;             // off below on: through zero
    bool onOutside = false;         // on is outside the turn: drawn at the edge
    bool offOutside = false;        // off is outside the turn: drawn at the edge
    std::vector<SpanPiece> pieces;  // a thin mark: one piece with from == to
};

struct ChartRow {
    int64_t channel = 0;  // 1-based
    bool speedComp = false;
    bool timedOutput = false;
    std::vector<ChartSpan> spans;  // in the file's order, removed ones last
    // "chn 4", with " sc" / " to" where the channel has a speed
    // compensation / a timed output.
    std::string label() const;
};

struct Chart {
    int64_t program = 0;         // 1-based
    std::vector<ChartRow> rows;  // in channel order
};

struct ChartLayout {
    int32_t turn = 360;  // the axis runs 0..turn
    // The file's scale factor when it has one that is no turn (below 1);
    // the chart is then drawn over 0..360.
    std::optional<int32_t> refusedScale;
    bool against = false;       // spans carry Same, Added or Removed
    std::vector<Chart> charts;  // in program order
    // Spans with a position outside the turn, in chart and row order.
    std::vector<const ChartSpan*> outside() const;
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

// The text drawing.
struct TextStyle {
    int width = 80;        // columns
    bool unicode = false;  // block characters; else ASCII
    bool colour = false;   // ANSI colours for added and removed spans
};
std::string drawText(const ChartLayout& layout, const TextStyle& style);

// The SVG drawing: one self-contained document; `nothing`, when not empty,
// says why it holds no chart.
std::string drawSvg(const ChartLayout& layout, const std::string& title, const std::string& nothing = {});
