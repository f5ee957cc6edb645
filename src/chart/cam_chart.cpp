// The setpoints of a data file laid out as spans over one turn, per program
// and channel.
#include "chart/cam_chart.h"

#include <algorithm>
#include <map>
#include <unordered_map>

#include "image/value_scan.h"

namespace {

int32_t wrapAdd(int32_t value, int32_t delta) {
    return static_cast<int32_t>(static_cast<uint32_t>(value) + static_cast<uint32_t>(delta));
}

int64_t clampToTurn(int64_t position, int32_t turn) { return std::clamp<int64_t>(position, 0, turn); }

ChartSpan spanOf(const SetpointRecord& s, int32_t turn, SpanChange change) {
    ChartSpan span;
    span.program = static_cast<int64_t>(s.program) + 1;
    span.channel = static_cast<int64_t>(s.channel) + 1;
    span.on = s.on;
    span.off = s.off;
    span.change = change;
    span.onOutside = s.on < 0 || s.on > turn;
    span.offOutside = s.off < 0 || s.off > turn;
    const int64_t on = clampToTurn(s.on, turn);
    const int64_t off = clampToTurn(s.off, turn);
    if (s.on == s.off) {
        span.thin = true;
        span.pieces.push_back({on, on});
    } else if (s.off < s.on) {
        span.wraps = true;
        if (on < turn) span.pieces.push_back({on, turn});
        if (off > 0) span.pieces.push_back({0, off});
        // Nothing of it inside the turn (on at or beyond its end, off at or
        // before its start): a mark at the edge, so that it still shows.
        if (span.pieces.empty()) span.pieces.push_back({on, on});
    } else {
        span.pieces.push_back({on, off});
    }
    return span;
}

bool channelHas(const int32_t (&values)[kMaxChannels], int64_t channel) {
    return channel >= 1 && channel <= kMaxChannels && values[channel - 1] != 0;
}

// The setpoints that the comparison of `other` (first) with `file` (second)
// shows as only in `file` (added) and only in `other` (removed), by record
// index.
void classify(const ImageCopy& file, const ImageCopy& other, std::vector<bool>& added, std::vector<bool>& removed) {
    added.assign(file.setpoints.size(), false);
    removed.assign(other.setpoints.size(), false);
    const Comparison comparison = compareImages(other, file, CompareScope::Files);
    // The comparison names each setpoint line by the file line it came from.
    auto indexByLine = [](const ImageCopy& copy) {
        std::unordered_map<int, size_t> index;
        for (size_t i = 0; i < copy.setpointLines.size() && i < copy.setpoints.size(); ++i)
            index.emplace(copy.setpointLines[i], i);
        return index;
    };
    const auto fileIndex = indexByLine(file);
    const auto otherIndex = indexByLine(other);
    for (const DifferenceLine& d : comparison.lines) {
        if (d.text.rfind("49:", 0) != 0) continue;
        const auto& index = d.sign == '+' ? fileIndex : otherIndex;
        std::vector<bool>& marks = d.sign == '+' ? added : removed;
        if (const auto at = index.find(d.line); at != index.end() && !marks[at->second]) {
            marks[at->second] = true;
            continue;
        }
        // Without its line: the first setpoint not yet marked that the line
        // shows.
        int32_t v[5] = {};
        if (scanValues(d.text, "%i: %i,%i,%i,%i", v, 5) != 5) continue;
        const SetpointRecord shown{wrapAdd(v[1], -1), wrapAdd(v[2], -1), v[3], v[4]};
        const std::vector<SetpointRecord>& records = d.sign == '+' ? file.setpoints : other.setpoints;
        for (size_t i = 0; i < records.size(); ++i) {
            if (!marks[i] && records[i] == shown) {
                marks[i] = true;
                break;
            }
        }
    }
}

}  // namespace

std::string ChartRow::label() const {
    std::string text = "chn " + std::to_string(channel);
    if (speedComp) text += " sc";
    if (timedOutput) text += " to";
    return text;
}

std::vector<const ChartSpan*> ChartLayout::outside() const {
    std::vector<const ChartSpan*> spans;
    for (const Chart& chart : charts) {
        for (const ChartRow& row : chart.rows) {
            for (const ChartSpan& span : row.spans) {
                if (span.onOutside || span.offOutside) spans.push_back(&span);
            }
        }
    }
    return spans;
}

int32_t turnOf(const ImageCopy& file) {
    if (file.blockAbsent[18] == 0 && file.image.scaleFactor[0] >= 1) return file.image.scaleFactor[0];
    return 360;
}

ChartLayout layOutCharts(const ImageCopy& file, const ImageCopy* other, std::optional<int64_t> program) {
    ChartLayout layout;
    layout.turn = turnOf(file);
    if (file.blockAbsent[18] == 0 && file.image.scaleFactor[0] < 1) layout.refusedScale = file.image.scaleFactor[0];
    layout.against = other != nullptr;
    std::vector<bool> added, removed;
    if (other != nullptr) classify(file, *other, added, removed);

    // program -> channel -> row
    std::map<int64_t, std::map<int64_t, ChartRow>> rows;
    auto place = [&](const SetpointRecord& s, SpanChange change) {
        ChartSpan span = spanOf(s, layout.turn, change);
        if (program && span.program != *program) return;
        ChartRow& row = rows[span.program][span.channel];
        row.spans.push_back(std::move(span));
    };
    for (size_t i = 0; i < file.setpoints.size(); ++i) {
        const SpanChange change = other == nullptr ? SpanChange::Plain
                                  : added[i]       ? SpanChange::Added
                                                   : SpanChange::Same;
        place(file.setpoints[i], change);
    }
    if (other != nullptr) {
        for (size_t i = 0; i < other->setpoints.size(); ++i) {
            if (removed[i]) place(other->setpoints[i], SpanChange::Removed);
        }
    }

    for (auto& [number, channels] : rows) {
        Chart chart;
        chart.program = number;
        for (auto& [channel, row] : channels) {
            row.channel = channel;
            row.speedComp = file.blockAbsent[7] == 0 && (channelHas(file.image.speedCompLeading, channel) ||
                                                         channelHas(file.image.speedCompTrailing, channel));
            row.timedOutput = file.blockAbsent[8] == 0 && channelHas(file.image.timedOutputDelay, channel);
            chart.rows.push_back(std::move(row));
        }
        layout.charts.push_back(std::move(chart));
    }
    return layout;
}

std::string spanPositions(const ChartSpan& span) { return std::to_string(span.on) + ".." + std::to_string(span.off); }

std::string outsideNote(const ChartSpan& span) {
    std::string note = "Program " + std::to_string(span.program) + " chn " + std::to_string(span.channel) + ":";
    if (span.onOutside) note += " on " + std::to_string(span.on);
    if (span.offOutside) note += std::string(span.onOutside ? "," : "") + " off " + std::to_string(span.off);
    return note;
}
