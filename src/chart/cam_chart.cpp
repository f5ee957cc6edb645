// The setpoints of a data file laid out as spans over one turn, per program
// and channel, the overlapping ones in lanes of their own.
#include "chart/cam_chart.h"

#include <algorithm>
#include <map>
#include <set>
#include <unordered_map>

#include "image/field_names.h"
#include "image/value_scan.h"

namespace {

int32_t wrapAdd(int32_t value, int32_t delta) {
    return static_cast<int32_t>(static_cast<uint32_t>(value) + static_cast<uint32_t>(delta));
}

ChartSpan spanOf(const SetpointRecord& s, int32_t turn, SpanChange change) {
    ChartSpan span;
    span.program = static_cast<int64_t>(s.program) + 1;
    span.channel = static_cast<int64_t>(s.channel) + 1;
    span.on = s.on;
    span.off = s.off;
    span.turn = turn;
    span.change = change;
    span.onOutside = !positionInTurn(s.on, turn);
    span.offOutside = !positionInTurn(s.off, turn);
    span.thin = s.on == s.off;
    span.wraps = s.off < s.on;
    span.pieces = piecesOf(s.on, s.off, turn);
    return span;
}

bool channelHas(const int32_t (&values)[kMaxChannels], int64_t channel) {
    return channel >= 1 && channel <= kMaxChannels && values[channel - 1] != 0;
}

ChannelNotes notesOf(const ImageCopy& file, int64_t channel) {
    ChannelNotes notes;
    if (channel < 1 || channel > kMaxChannels) return notes;
    const auto c = static_cast<size_t>(channel - 1);
    if (file.blockAbsent[7] == 0 &&
        (channelHas(file.image.speedCompLeading, channel) || channelHas(file.image.speedCompTrailing, channel))) {
        notes.speedComp = true;
        notes.leadingTrailing = file.image.options[kOptionLeadingTrailing] != 0;
        notes.leading = file.image.speedCompLeading[c];
        notes.trailing = file.image.speedCompTrailing[c];
    }
    if (file.blockAbsent[8] == 0) notes.timedDelay = file.image.timedOutputDelay[c];
    return notes;
}

// The setpoints that the comparison of `other` (first) with `file` (second)
// shows as only in `file` (added) and only in `other` (removed), by record
// index.
void classify(const ImageCopy& file, const ImageCopy& other, const Comparison& comparison, std::vector<bool>& added,
              std::vector<bool>& removed) {
    added.assign(file.setpoints.size(), false);
    removed.assign(other.setpoints.size(), false);
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

// The pieces of a span in units common to both files' turns.
std::vector<TurnPiece> commonPieces(const ChartSpan& span, int64_t common) {
    std::vector<TurnPiece> pieces = span.pieces;
    const int64_t factor = common / span.turn;
    for (TurnPiece& p : pieces) {
        p.from *= factor;
        p.to *= factor;
    }
    return pieces;
}

// Puts each span in the first lane where it overlaps no span of its own
// file: the file's spans (plain, same, added) among themselves, the removed
// ones among the other file's (same, removed).
void assignLanes(ChartRow& row, int64_t common) {
    std::vector<std::vector<std::vector<TurnPiece>>> fileLanes, otherLanes;
    auto place = [](std::vector<std::vector<std::vector<TurnPiece>>>& lanes, const std::vector<TurnPiece>& pieces,
                    int from) {
        for (int lane = from;; ++lane) {
            if (static_cast<size_t>(lane) >= lanes.size()) lanes.resize(static_cast<size_t>(lane) + 1);
            bool free = true;
            for (const auto& other : lanes[static_cast<size_t>(lane)]) {
                if (piecesOverlap(other, pieces)) {
                    free = false;
                    break;
                }
            }
            if (free) {
                lanes[static_cast<size_t>(lane)].push_back(pieces);
                return lane;
            }
        }
    };
    for (ChartSpan& span : row.spans) {
        if (span.change == SpanChange::Removed) continue;
        const std::vector<TurnPiece> pieces = commonPieces(span, common);
        span.lane = place(fileLanes, pieces, 0);
        if (span.change == SpanChange::Same) {
            if (otherLanes.size() <= static_cast<size_t>(span.lane))
                otherLanes.resize(static_cast<size_t>(span.lane) + 1);
            otherLanes[static_cast<size_t>(span.lane)].push_back(pieces);
        }
    }
    for (ChartSpan& span : row.spans) {
        if (span.change == SpanChange::Removed) span.lane = place(otherLanes, commonPieces(span, common), 0);
    }
    row.lanes = 1;
    for (const ChartSpan& span : row.spans) row.lanes = std::max(row.lanes, span.lane + 1);
}

std::string speedCompText(const ChannelNotes& n) {
    if (!n.speedComp) return "none";
    return n.leadingTrailing ? std::to_string(n.leading) + "/" + std::to_string(n.trailing) : std::to_string(n.leading);
}

std::string delayText(const ChannelNotes& n) {
    return n.timedDelay != 0 ? std::to_string(n.timedDelay) + " ms" : "none";
}

}  // namespace

std::string ChartRow::label() const { return "chn " + std::to_string(channel); }

std::string ChartRow::notesText() const {
    std::string text;
    auto add = [&](const char* what, const std::string& mine, const std::string* theirs) {
        if (mine == "none" && (theirs == nullptr || *theirs == "none")) return;
        if (!text.empty()) text += ", ";
        text += what;
        text += ' ';
        text += theirs == nullptr || *theirs == mine ? mine : *theirs + " -> " + mine;
    };
    const std::string sc = speedCompText(notes), to = delayText(notes);
    std::string otherSc, otherTo;
    if (otherNotes) {
        otherSc = speedCompText(*otherNotes);
        otherTo = delayText(*otherNotes);
    }
    add("sc", sc, otherNotes ? &otherSc : nullptr);
    add("to", to, otherNotes ? &otherTo : nullptr);
    return text;
}

std::string Chart::heading() const { return "Program " + std::to_string(program) + (isDefault ? " (default)" : ""); }

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

size_t ChartLayout::count(SpanChange change) const {
    size_t n = 0;
    for (const Chart& chart : charts)
        for (const ChartRow& row : chart.rows)
            for (const ChartSpan& span : row.spans) n += span.change == change ? 1 : 0;
    return n;
}

size_t ChartLayout::spanCount() const {
    size_t n = 0;
    for (const Chart& chart : charts)
        for (const ChartRow& row : chart.rows) n += row.spans.size();
    return n;
}

int32_t turnOf(const ImageCopy& file) {
    return turnOfScaleFactor(file.blockAbsent[18] == 0 ? file.image.scaleFactor[0] : 0);
}

ChartLayout layOutCharts(const ImageCopy& file, const ImageCopy* other, std::optional<int64_t> program) {
    ChartLayout layout;
    layout.turn = turnOf(file);
    if (file.blockAbsent[18] == 0 && file.image.scaleFactor[0] < 1) layout.refusedScale = file.image.scaleFactor[0];
    layout.against = other != nullptr;
    const int32_t otherTurn = other != nullptr ? turnOf(*other) : layout.turn;
    if (otherTurn != layout.turn) layout.otherTurn = otherTurn;
    const int64_t common = static_cast<int64_t>(layout.turn) * (otherTurn == layout.turn ? 1 : otherTurn);
    std::vector<bool> added, removed;
    if (other != nullptr) {
        const Comparison comparison = compareImages(*other, file, CompareScope::Files);
        classify(file, *other, comparison, added, removed);
        layout.alsoDiffers = valueChanges(comparison.lines);
    }

    // program -> channel -> row
    std::map<int64_t, std::map<int64_t, ChartRow>> rows;
    std::set<int64_t> programs;
    auto place = [&](const SetpointRecord& s, int32_t turn, SpanChange change) {
        const int64_t number = static_cast<int64_t>(s.program) + 1;
        programs.insert(number);
        if (program && number != *program) return;
        ChartSpan span = spanOf(s, turn, change);
        rows[span.program][span.channel].spans.push_back(std::move(span));
    };
    for (size_t i = 0; i < file.setpoints.size(); ++i) {
        const SpanChange change = other == nullptr ? SpanChange::Plain
                                  : added[i]       ? SpanChange::Added
                                                   : SpanChange::Same;
        place(file.setpoints[i], layout.turn, change);
    }
    if (other != nullptr) {
        for (size_t i = 0; i < other->setpoints.size(); ++i) {
            if (removed[i]) place(other->setpoints[i], otherTurn, SpanChange::Removed);
        }
    }
    layout.programsWithSetpoints.assign(programs.begin(), programs.end());

    const bool hasDefault = file.blockAbsent[6] == 0;
    for (auto& [number, channels] : rows) {
        Chart chart;
        chart.program = number;
        chart.isDefault = hasDefault && static_cast<int64_t>(file.image.defaultProgram) + 1 == number;
        for (auto& [channel, row] : channels) {
            row.channel = channel;
            row.notes = notesOf(file, channel);
            if (other != nullptr) row.otherNotes = notesOf(*other, channel);
            // By angle: the share of the turn where each span comes on.
            std::stable_sort(row.spans.begin(), row.spans.end(), [](const ChartSpan& a, const ChartSpan& b) {
                auto at = [](const ChartSpan& s, int32_t position) {
                    return s.share(std::clamp<int64_t>(position, 0, s.turn));
                };
                if (at(a, a.on) != at(b, b.on)) return at(a, a.on) < at(b, b.on);
                return at(a, a.off) < at(b, b.off);
            });
            assignLanes(row, common);
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

std::string countsText(const ChartLayout& layout) {
    if (!layout.against) {
        const size_t n = layout.spanCount();
        return std::to_string(layout.charts.size()) + (layout.charts.size() == 1 ? " program, " : " programs, ") +
               std::to_string(n) + (n == 1 ? " setpoint" : " setpoints");
    }
    const size_t same = layout.count(SpanChange::Same);
    return std::to_string(same) + (same == 1 ? " setpoint" : " setpoints") + " the same, " +
           std::to_string(layout.count(SpanChange::Added)) + " added, " +
           std::to_string(layout.count(SpanChange::Removed)) + " removed";
}

std::string numberRanges(const std::vector<int64_t>& numbers) {
    std::string text;
    for (size_t i = 0; i < numbers.size();) {
        size_t j = i;
        while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1) ++j;
        if (!text.empty()) text += ", ";
        text += std::to_string(numbers[i]);
        if (j > i) text += (j == i + 1 ? ", " : "-") + std::to_string(numbers[j]);
        i = j + 1;
    }
    return text;
}
