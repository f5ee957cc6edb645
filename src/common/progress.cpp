#include "common/progress.h"

#include <cstdio>
#include <cstring>

#include "common/console_io.h"
#include "platform/clock.h"

namespace progress {

namespace {

// Terminal redraws at most this often, unless the block changes.
constexpr int64_t kRedrawMicros = 200000;

struct State {
    Mode mode = Mode::Interactive;
    int64_t startMicros = 0;
    const char* phase = "";
    int block = -1;
    int blocks = 0;
    int setpoint = 0;  // setpoints done in the current run of them
    int setpointTotal = 0;
    int setpointsMoved = 0;
    int64_t setpointStartMicros = 0;
    int64_t lastDrawMicros = 0;
    int drawnWidth = 0;  // characters of the status line on screen
    bool lineOpen = false;
    bool counting = true;  // the current block counts among those moved
};

State state;

void draw(bool force, bool summary = false) {
    const int64_t now = platform::monotonicMicros();
    if (!force && now - state.lastDrawMicros < kRedrawMicros) return;
    state.lastDrawMicros = now;
    char elapsed[kDurationSize];
    formatDuration(elapsedSeconds(), elapsed, sizeof elapsed);
    char line[160];
    // The line a phase ends on tells what it moved.
    int length = summary ? std::snprintf(line, sizeof line, "%s: %d blocks, %d setpoints", state.phase, state.blocks,
                                         state.setpointsMoved)
                         : std::snprintf(line, sizeof line, "%s: block %d", state.phase, state.block);
    if (!summary && state.setpointTotal > 0 && length < static_cast<int>(sizeof line)) {
        length += std::snprintf(line + length, sizeof line - static_cast<std::size_t>(length), ", setpoints %d/%d",
                                state.setpoint, state.setpointTotal);
    }
    if (length < static_cast<int>(sizeof line)) {
        length += std::snprintf(line + length, sizeof line - static_cast<std::size_t>(length), ", %s", elapsed);
    }
    // The time left follows from the rate the setpoints have moved at.
    if (!summary && state.setpointTotal > 0 && state.setpoint > 0 && length < static_cast<int>(sizeof line)) {
        const double perSetpoint =
            static_cast<double>(now - state.setpointStartMicros) / 1e6 / static_cast<double>(state.setpoint);
        char left[kDurationSize];
        formatDuration(perSetpoint * (state.setpointTotal - state.setpoint), left, sizeof left);
        length += std::snprintf(line + length, sizeof line - static_cast<std::size_t>(length), ", %s left", left);
    }
    if (length >= static_cast<int>(sizeof line)) length = static_cast<int>(sizeof line) - 1;
    // Blanks cover what a longer line before left.
    const int pad = state.drawnWidth > length ? state.drawnWidth - length : 0;
    conPrintf("\r%s%*s", line, pad, "");
    state.drawnWidth = length;
    state.lineOpen = true;
}

}  // namespace

void setMode(Mode mode) { state.mode = mode; }

Mode mode() { return state.mode; }

void start() {
    const Mode mode = state.mode;
    state = State{};
    state.mode = mode;
    state.startMicros = platform::monotonicMicros();
}

void phase(const char* name) { state.phase = name; }

void block(int functionNumber, bool counted) {
    state.counting = counted;
    if (counted) ++state.blocks;
    state.block = functionNumber;
    state.setpointTotal = 0;
    switch (state.mode) {
        case Mode::Interactive:
            conPrintf("Function = %i", functionNumber);
            conPutc('\r');
            break;
        case Mode::Terminal: draw(true); break;
        case Mode::Log: break;
    }
}

void fileLine(int functionNumber) {
    if (state.mode == Mode::Interactive) conPrintf("Function = %i\r", functionNumber);
}

void setpoint(int index, int total) {
    if (index == 0 || state.setpointTotal != total) state.setpointStartMicros = platform::monotonicMicros();
    state.setpoint = index;
    state.setpointTotal = total;
    switch (state.mode) {
        case Mode::Interactive: conPrintf("\rSetpoint number = %i", index); break;
        case Mode::Terminal: draw(false); break;
        case Mode::Log: break;
    }
}

void shiftProgram(int program) {
    if (state.mode == Mode::Interactive) conPrintf("Program : %i %c", program, '\r');
}

void step(const char* text) {
    switch (state.mode) {
        case Mode::Interactive:
            conPuts(text);
            conPutc('\r');
            break;
        case Mode::Terminal:
            state.phase = text;
            draw(true);
            break;
        case Mode::Log: conPrintf("%s\n", text); break;
    }
}

void endSetpoints(int total, bool completed) {
    if (state.mode == Mode::Interactive) {
        conPutc('\n');
        return;
    }
    const bool ran = state.setpointTotal > 0;  // the counter ran in this block
    state.setpointTotal = 0;
    if (total <= 0) return;
    const int done = completed ? total : ran ? state.setpoint : 0;
    if (state.counting) state.setpointsMoved += done;
    if (state.mode == Mode::Terminal) {
        state.setpoint = done;
        state.setpointTotal = total;
        draw(true);
        state.setpointTotal = 0;
    } else {
        conPrintf("Setpoints: %d of %d\n", done, total);
    }
}

void endLine() {
    switch (state.mode) {
        case Mode::Interactive: conPutc('\n'); break;
        case Mode::Terminal:
            if (state.lineOpen) {
                draw(true, true);
                conPutc('\n');
            }
            break;
        case Mode::Log: break;
    }
    state.lineOpen = false;
    state.drawnWidth = 0;
    state.setpointTotal = 0;
}

int blocksMoved() { return state.blocks; }

int setpointsMoved() { return state.setpointsMoved; }

double elapsedSeconds() { return static_cast<double>(platform::monotonicMicros() - state.startMicros) / 1e6; }

void formatDuration(double seconds, char* out, int size) {
    // Shown up to 99:59:59.
    const int whole = seconds <= 0 ? 0 : seconds >= 359999 ? 359999 : static_cast<int>(seconds + 0.5);
    const auto room = static_cast<std::size_t>(size);
    if (whole >= 3600) {
        std::snprintf(out, room, "%d:%02d:%02d", whole / 3600 % 100, whole / 60 % 60, whole % 60);
    } else {
        std::snprintf(out, room, "%d:%02d", whole / 60 % 60, whole % 60);
    }
}

}  // namespace progress
