// Watching the line during a transfer: unanswered requests and the optional
// traffic trace.
#include "transfer/line_watch.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "link/exchange_health.h"
#include "link/serial_port.h"
#include "platform/wall_clock.h"
#include "transfer/outcome.h"

#ifndef LINKORA_VERSION
#define LINKORA_VERSION "unknown"
#endif

namespace linewatch {

namespace {

struct Frame {
    std::string bytes;
    platform::WallTime started;
};

struct WatchState {
    int64_t requests = 0;
    bool requestOpen = false;  // a request is being sent
    char requestStart = 0;
    std::FILE* trace = nullptr;
    std::string tracePathOverride;
    Frame sentFrame;
    Frame receivedFrame;
};

WatchState state;

void appendEscaped(std::string& out, unsigned char c) {
    static const char kDigits[] = "0123456789ABCDEF";
    if (c == '\r') {
        out += "\\r";
    } else if (c == '\n') {
        out += "\\n";
    } else if (c == '\\') {
        out += "\\\\";
    } else if (c >= 32 && c < 127) {
        out += static_cast<char>(c);
    } else {
        out += "\\x";
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
}

// One line per frame: local time with microseconds, direction, hex, text.
void writeFrame(Frame& frame, const char* direction) {
    if (frame.bytes.empty()) return;
    if (state.trace != nullptr) {
        std::tm local{};
        platform::localCalendarTime(frame.started.seconds, local);
        char stamp[40];
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
        static const char kDigits[] = "0123456789ABCDEF";
        std::string hex;
        std::string text;
        for (unsigned char c : frame.bytes) {
            if (!hex.empty()) hex += ' ';
            hex += kDigits[c >> 4];
            hex += kDigits[c & 15];
            appendEscaped(text, c);
        }
        std::fprintf(state.trace, "%s.%06ld %s %s  \"%s\"\n", stamp, static_cast<long>(frame.started.microseconds),
                     direction, hex.c_str(), text.c_str());
        std::fflush(state.trace);
    }
    frame.bytes.clear();
}

// The first line of each run: when, which version, what command line.
void writeHeader() {
    const platform::WallTime now = platform::wallClockNow();
    std::tm local{};
    platform::localCalendarTime(now.seconds, local);
    char stamp[40];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    const std::string& typed = outcome::commandLine();
    std::fprintf(state.trace, "# %s linkora %s: %s\n", stamp, LINKORA_VERSION,
                 typed.empty() ? "interactive" : typed.c_str());
    std::fflush(state.trace);
}

void addByte(Frame& frame, unsigned char c) {
    if (frame.bytes.empty()) frame.started = platform::wallClockNow();
    frame.bytes += static_cast<char>(c);
}

void onSent(unsigned char c) {
    writeFrame(state.receivedFrame, "RX");
    const bool startChar = c == ':' || c == '!';
    if (startChar && !state.sentFrame.bytes.empty()) writeFrame(state.sentFrame, "TX");
    if (!state.requestOpen) {
        state.requestOpen = true;
        state.requestStart = static_cast<char>(c);
    }
    addByte(state.sentFrame, c);
    const bool ends = c == '\n' || (c == '\r' && state.requestStart == '!');
    if (ends) {
        writeFrame(state.sentFrame, "TX");
        state.requestOpen = false;
        ++state.requests;
    }
}

void onReceived(unsigned char c) {
    writeFrame(state.sentFrame, "TX");
    if (state.requestOpen) {
        // Something answered a request that never got its line end.
        state.requestOpen = false;
        ++state.requests;
    }
    addByte(state.receivedFrame, c);
    const bool modbusFrame = !state.receivedFrame.bytes.empty() && state.receivedFrame.bytes[0] == ':';
    if (c == '\n' || c >= 128 || (c == '\r' && !modbusFrame)) writeFrame(state.receivedFrame, "RX");
}

void observe(bool sent, const uint8_t* data, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        if (sent) {
            onSent(data[i]);
        } else {
            onReceived(data[i]);
        }
    }
}

}  // namespace

void setTracePath(const std::string& path) { state.tracePathOverride = path; }

void begin() {
    end();
    std::string path = state.tracePathOverride;
    if (path.empty()) {
        const char* fromEnvironment = std::getenv("LINKORA_TRACE");
        if (fromEnvironment != nullptr) path = fromEnvironment;
    }
    if (!path.empty()) {
        state.trace = std::fopen(path.c_str(), "a");
        if (state.trace == nullptr) {
            outcome::warn(path, std::strerror(errno));
        } else {
            writeHeader();
        }
    }
    state.requestOpen = false;
    setLineObserver(observe);
}

void end() {
    setLineObserver(nullptr);
    writeFrame(state.sentFrame, "TX");
    writeFrame(state.receivedFrame, "RX");
    if (state.trace != nullptr) {
        std::fclose(state.trace);
        state.trace = nullptr;
    }
}

int64_t unansweredRequests() { return failedExchanges(); }

int64_t requestsSent() { return state.requests; }

}  // namespace linewatch
