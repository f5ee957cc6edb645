#pragma once

// Progress of a transfer as the operator sees it. The menus print the
// historic counters ("Function = n", "Setpoint number = n") that overwrite
// each other with carriage returns. The unattended form on a terminal keeps
// one status line up to date in place (phase, block, setpoints, elapsed time,
// time left); written to a file or a pipe it prints no carriage return at all
// and one line per phase.

namespace progress {

enum class Mode { Interactive, Terminal, Log };

void setMode(Mode mode);
Mode mode();

// Starts counting a run: blocks, setpoints and the clock.
void start();
// Names the phase the status line shows ("reading", "writing", ...).
void phase(const char* name);
// A block of the controller is being moved; `counted`: it counts among the
// blocks the run moved (a block read back for verification does not).
void block(int functionNumber, bool counted = true);
// A value line of the data file is being read.
void fileLine(int functionNumber);
// Setpoint `index` (from 0) of `total` is being moved.
void setpoint(int index, int total);
// Shift counts of program `program` are being read.
void shiftProgram(int program);
// A step shown in place of the counters ("Clearing pulses").
void step(const char* text);
// Ends the setpoint counter of a block of `total` setpoints; `completed`:
// every one of them was moved.
void endSetpoints(int total, bool completed);
// Ends a run of counters: the line end the menus print after them.
void endLine();

// What the run moved so far, and since when.
int blocksMoved();
int setpointsMoved();
double elapsedSeconds();

// "m:ss" or "h:mm:ss" into `out` of `size` characters (kDurationSize
// holds every one).
constexpr int kDurationSize = 40;
void formatDuration(double seconds, char* out, int size);

}  // namespace progress
