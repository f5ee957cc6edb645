#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "image/controller_image.h"
#include "image/data_file_check.h"

// What the positions of setpoints mean, for every part that judges or draws
// them: the turn they lie in, which positions are inside it, the pieces of
// the turn a setpoint is on, and which setpoints of one channel overlap.

// The positions of one turn: the scale factor when it is at least 1, else
// 360.
int32_t turnOfScaleFactor(int32_t scaleFactor);

// A position inside the turn: 0 up to, not including, the turn.
inline bool positionInTurn(int32_t position, int32_t turn) { return position >= 0 && position < turn; }

// A part of the turn a setpoint is on, from up to (not including) to; a
// setpoint with on equal to off is one piece with from equal to to.
struct TurnPiece {
    int64_t from = 0;
    int64_t to = 0;
};

// The pieces of a setpoint, its positions clamped into 0..turn: one piece,
// or two when off lies below on (through zero). A setpoint none of whose
// positions reaches into the turn is one piece at the edge it lies beyond.
std::vector<TurnPiece> piecesOf(int32_t on, int32_t off, int32_t turn);

// Whether two setpoints of one channel are on at one position (a piece from
// equal to to counts at its one position).
bool piecesOverlap(const std::vector<TurnPiece>& a, const std::vector<TurnPiece>& b);

// A setpoint that repeats or overlaps an earlier one of its program and
// channel.
struct SetpointClash {
    size_t index = 0;    // the later record
    size_t earlier = 0;  // the record it repeats or overlaps
    bool repeats = false;
};

// The clashes among `setpoints`, one for each record that repeats or
// overlaps one before it in record order (the first it meets).
std::vector<SetpointClash> setpointClashes(const std::vector<SetpointRecord>& setpoints, int32_t turn);

// The clashes as warnings of `linkora check`, at the file lines of the
// records (`lines` in record order): a download sends such setpoints as
// written, so they do not count among the lines it ignores or changes.
void addSetpointClashFindings(const std::vector<SetpointRecord>& setpoints, const std::vector<int>& lines, int32_t turn,
                              std::vector<Finding>& findings);
