// Setpoint positions within a turn, and the setpoints of one channel that
// repeat or overlap.
#include "image/setpoint_rules.h"

#include <algorithm>
#include <map>
#include <tuple>
#include <utility>

#include "image/data_file_text.h"

int32_t turnOfScaleFactor(int32_t scaleFactor) { return scaleFactor >= 1 ? scaleFactor : 360; }

std::vector<TurnPiece> piecesOf(int32_t on, int32_t off, int32_t turn) {
    const int64_t from = std::clamp<int64_t>(on, 0, turn);
    const int64_t to = std::clamp<int64_t>(off, 0, turn);
    std::vector<TurnPiece> pieces;
    if (on == off) {
        pieces.push_back({from, from});
    } else if (off < on) {
        if (from < turn) pieces.push_back({from, turn});
        if (to > 0) pieces.push_back({0, to});
        if (pieces.empty()) pieces.push_back({from, from});
    } else {
        pieces.push_back({from, to});
    }
    return pieces;
}

namespace {

bool overlap(const TurnPiece& a, const TurnPiece& b) {
    if (a.from == a.to && b.from == b.to) return a.from == b.from;
    if (a.from == a.to) return b.from <= a.from && a.from < b.to;
    if (b.from == b.to) return a.from <= b.from && b.from < a.to;
    return a.from < b.to && b.from < a.to;
}

}  // namespace

bool piecesOverlap(const std::vector<TurnPiece>& a, const std::vector<TurnPiece>& b) {
    for (const TurnPiece& p : a) {
        for (const TurnPiece& q : b) {
            if (overlap(p, q)) return true;
        }
    }
    return false;
}

std::vector<SetpointClash> setpointClashes(const std::vector<SetpointRecord>& setpoints, int32_t turn) {
    std::vector<SetpointClash> clashes;
    std::vector<bool> clashed(setpoints.size(), false);
    // Repeats first: the same on and off in one program and channel.
    std::map<std::tuple<int32_t, int32_t, int32_t, int32_t>, size_t> first;
    std::map<std::pair<int32_t, int32_t>, std::vector<size_t>> channels;
    for (size_t i = 0; i < setpoints.size(); ++i) {
        const SetpointRecord& s = setpoints[i];
        const auto [at, inserted] = first.emplace(std::tuple{s.program, s.channel, s.on, s.off}, i);
        if (!inserted) {
            clashes.push_back({i, at->second, true});
            clashed[i] = true;
            continue;
        }
        channels[{s.program, s.channel}].push_back(i);
    }
    // Overlaps: the pieces of each channel swept in the order of their
    // start; a piece that starts before the furthest end so far overlaps
    // the piece with that end.
    struct Piece {
        TurnPiece piece;
        size_t index;
    };
    for (const auto& [channel, records] : channels) {
        if (records.size() < 2) continue;
        std::vector<Piece> pieces;
        for (size_t i : records) {
            for (const TurnPiece& p : piecesOf(setpoints[i].on, setpoints[i].off, turn)) pieces.push_back({p, i});
        }
        std::sort(pieces.begin(), pieces.end(), [](const Piece& a, const Piece& b) {
            const bool aMark = a.piece.from == a.piece.to, bMark = b.piece.from == b.piece.to;
            return std::tuple(a.piece.from, aMark, -a.piece.to) < std::tuple(b.piece.from, bMark, -b.piece.to);
        });
        const Piece* furthest = nullptr;
        for (const Piece& p : pieces) {
            if (furthest != nullptr && furthest->index != p.index && overlap(furthest->piece, p.piece)) {
                const size_t later = std::max(p.index, furthest->index);
                const size_t earlier = std::min(p.index, furthest->index);
                if (!clashed[later]) {
                    clashes.push_back({later, earlier, false});
                    clashed[later] = true;
                }
            }
            if (p.piece.from != p.piece.to && (furthest == nullptr || p.piece.to > furthest->piece.to)) furthest = &p;
        }
    }
    std::sort(clashes.begin(), clashes.end(),
              [](const SetpointClash& a, const SetpointClash& b) { return a.index < b.index; });
    return clashes;
}

void addSetpointClashFindings(const std::vector<SetpointRecord>& setpoints, const std::vector<int>& lines, int32_t turn,
                              std::vector<Finding>& findings) {
    auto lineOf = [&](size_t i) { return i < lines.size() ? lines[i] : 0; };
    for (const SetpointClash& c : setpointClashes(setpoints, turn)) {
        const SetpointRecord& s = setpoints[c.index];
        const SetpointRecord& e = setpoints[c.earlier];
        const std::string what = textf("setpoint %d..%d of program %lld chn %lld", s.on, s.off,
                                       static_cast<long long>(s.program) + 1, static_cast<long long>(s.channel) + 1);
        if (c.repeats) {
            findings.push_back({lineOf(c.index), false,
                                textf("%s repeats line %d; it is sent as written", what.c_str(), lineOf(c.earlier))});
        } else {
            findings.push_back({lineOf(c.index), false,
                                textf("%s overlaps %d..%d of line %d; both are sent as written", what.c_str(), e.on,
                                      e.off, lineOf(c.earlier))});
        }
    }
}
