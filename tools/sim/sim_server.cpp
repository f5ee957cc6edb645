// The pseudo-terminal server: one line in, one reply out, with the wire
// pacing and the faults the command line asks for.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>
#include <cstring>
#include <string>
#include <vector>

#include "sim.h"

namespace sim {

namespace {

// Longest request line kept; anything longer is discarded up to its end.
constexpr size_t kMaxRequestLine = 512;

int signalPipe[2] = {-1, -1};
volatile sig_atomic_t stopRequested = 0;

void onSignal(int) {
    stopRequested = 1;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

int64_t nowMicros() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// Sleeps until the monotonic time `when`; false when a stop was requested.
bool sleepUntil(int64_t when) {
    timespec t{};
    t.tv_sec = when / 1000000;
    t.tv_nsec = (when % 1000000) * 1000;
    while (!stopRequested) {
        const int r = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr);
        if (r == 0) return true;
        if (r != EINTR) return false;
    }
    return false;
}

// Wire time of one character: a start bit, eight data bits, a stop bit.
int64_t charMicros() { return options.baud > 0 ? (10 * 1000000LL + options.baud - 1) / options.baud : 0; }
// Wire time of `count` characters, without rounding each one.
int64_t wireMicros(size_t count) {
    return options.baud > 0 ? static_cast<int64_t>(count) * 10 * 1000000LL / options.baud : 0;
}

struct Server {
    int master = -1;
    int slave = -1;
    std::string slavePath;
    std::FILE* log = nullptr;
    // Per controller: silent until then, rebooting.
    std::vector<int64_t> silentUntil;
    long requests = 0;
    long replies = 0;

    // Replies held back by --late-at, in order, and when they go out.
    std::vector<std::string> held;
    int64_t releaseAt = 0;

    // The line being received.
    std::string line;
    bool receiving = false;
    bool overflow = false;
    char lineEnd = '\n';
    int64_t firstCharAt = 0;

    ~Server() {
        if (log != nullptr) std::fclose(log);
        if (master >= 0) ::close(master);
        if (slave >= 0) ::close(slave);
    }

    bool open(std::string& error);
    void logLine(int64_t first, int64_t last, const char* direction, const std::string& text);
    void logLineSettings();
    std::string lineSettings;  // as last logged
    void feed(char c, int64_t at);
    void handleLine(const std::string& request, int64_t first);
    bool lineSettingsMatch(char start);
    bool writeAll(const char* data, size_t length);
    void sendReply(const std::string& reply, int64_t requestEnd);
    void releaseHeld();
    void save();
    void saveAll();
    int run();
};

bool Server::open(std::string& error) {
    char name[256] = {0};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        error = std::string("openpty: ") + std::strerror(errno);
        return false;
    }
    slavePath = name;
    termios t{};
    if (tcgetattr(slave, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    if (!options.logPath.empty()) {
        log = std::fopen(options.logPath.c_str(), "w");
        if (log == nullptr) {
            error = "cannot create " + options.logPath;
            return false;
        }
        std::fprintf(log,
                     "# linkora-sim traffic: first_us last_us direction bytes text (CLOCK_MONOTONIC, microseconds)\n"
                     "# RX: first = arrival of the first character, last = request complete (its last character,\n"
                     "#     or its wire time under --baud); TX: first and last character sent.\n");
        std::fflush(log);
    }
    return true;
}

void Server::logLine(int64_t first, int64_t last, const char* direction, const std::string& text) {
    if (log == nullptr) return;
    std::string escaped;
    for (unsigned char c : text) {
        if (c == '\r')
            escaped += "\\r";
        else if (c == '\n')
            escaped += "\\n";
        else if (c == '\\')
            escaped += "\\\\";
        else if (c < 32 || c >= 127) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            escaped += hex;
        } else
            escaped += static_cast<char>(c);
    }
    std::fprintf(log, "%lld %lld %s %zu %s\n", static_cast<long long>(first), static_cast<long long>(last), direction,
                 text.size(), escaped.c_str());
    std::fflush(log);
}

bool startAccepted(char c) {
    if (c == ':') return options.protocol != ProtocolChoice::Tvx;
    if (c == '!') return options.protocol != ProtocolChoice::Modbus;
    return false;
}

void Server::feed(char c, int64_t at) {
    // A start character always begins a new line: it never occurs inside one.
    if (startAccepted(c)) {
        receiving = true;
        overflow = false;
        line.assign(1, c);
        lineEnd = c == ':' ? '\n' : '\r';
        firstCharAt = at;
        return;
    }
    if (!receiving) return;
    if (overflow) {
        if (c == lineEnd) receiving = false;
        return;
    }
    line += c;
    if (line.size() > kMaxRequestLine) {
        overflow = true;
        line.clear();
        return;
    }
    if (c == lineEnd) {
        receiving = false;
        handleLine(line, firstCharAt);
    }
}

bool Server::writeAll(const char* data, size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(master, data, length);
        if (n > 0) {
            data += n;
            length -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{master, POLLOUT, 0};
            if (poll(&p, 1, 1000) <= 0) return false;  // nobody reads: give up the reply
            continue;
        }
        return false;
    }
    return true;
}

// Under --baud the reply's characters are timed from the end of the request,
// as an ideal controller would start answering at once; the time spent
// serving the request is hidden in that character time.
void Server::sendReply(const std::string& reply, int64_t requestEnd) {
    const int64_t perChar = charMicros() + options.charDelayMs * 1000LL;
    int64_t first = nowMicros();
    int64_t last = first;
    if (perChar == 0) {
        writeAll(reply.data(), reply.size());
        last = nowMicros();
    } else {
        // Character i leaves once its own wire time has passed.
        const int64_t start = options.baud > 0 ? std::min(first, requestEnd) : first;
        for (size_t i = 0; i < reply.size(); ++i) {
            const int64_t due = start + wireMicros(i + 1) + options.charDelayMs * 1000LL * static_cast<int64_t>(i);
            if (!sleepUntil(due)) break;
            const int64_t sent = nowMicros();
            if (i == 0) first = sent;
            if (!writeAll(&reply[i], 1)) break;
            last = sent;
        }
    }
    logLine(first, last, "TX", reply);
}

// The replies held back go out one after the other, 5 ms apart, as a line
// that stalled delivers them.
void Server::releaseHeld() {
    std::vector<std::string> replies;
    replies.swap(held);
    for (std::size_t i = 0; i < replies.size() && !stopRequested; ++i) {
        if (i > 0 && !sleepUntil(nowMicros() + 5000)) break;
        sendReply(replies[i], nowMicros());
    }
}

void Server::save() {
    if (options.savePath.empty()) return;
    std::string error;
    if (!saveControllerFile(options.savePath, error)) std::fprintf(stderr, "linkora-sim: %s\n", error.c_str());
}

void Server::saveAll() {
    for (int i = 0; i < controllerCount(); ++i) {
        selectController(i);
        save();
    }
}

// The unit address a request is for (two hex digits after the start
// character), or -1.
int requestUnit(const std::string& request) {
    auto digit = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    if (request.size() < 3) return -1;
    const int high = digit(request[1]);
    const int low = digit(request[2]);
    return high < 0 || low < 0 ? -1 : high * 16 + low;
}

// The settings the pseudo-terminal holds, as the client (or a device server
// in front of it) set them, logged when characters arrive under settings
// other than those logged last.
void Server::logLineSettings() {
    termios t{};
    if (log == nullptr || tcgetattr(slave, &t) != 0) return;
    const speed_t speeds[] = {B1200, B2400, B4800, B9600, B19200, B38400, B57600, B115200};
    const int rates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    int rate = 0;
    for (std::size_t i = 0; i < sizeof rates / sizeof rates[0]; ++i) {
        if (cfgetospeed(&t) == speeds[i]) rate = rates[i];
    }
    const tcflag_t size = t.c_cflag & CSIZE;
    const int bits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    const char parity = (t.c_cflag & PARENB) == 0 ? 'N' : (t.c_cflag & PARODD) != 0 ? 'O' : 'E';
    char text[80];
    std::snprintf(text, sizeof text, "%d baud, %d%c%d", rate, bits, parity, (t.c_cflag & CSTOPB) != 0 ? 2 : 1);
    if (lineSettings == text) return;
    lineSettings = text;
    std::fprintf(log, "# line settings: %s\n", text);
    std::fflush(log);
}

// The baud rate and stop bits the client set on the line, against the
// simulator's own: a request sent otherwise is noise to a real controller.
bool Server::lineSettingsMatch(char start) {
    termios t{};
    if (tcgetattr(slave, &t) != 0) return true;
    const int baud = options.baud > 0 ? options.baud : 9600;
    const speed_t speed = cfgetospeed(&t);
    static const std::pair<int, speed_t> kSpeeds[] = {
        {300, B300},   {600, B600},     {1200, B1200},   {2400, B2400},   {4800, B4800},
        {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
    };
    int lineBaud = 0;
    for (const auto& [rate, code] : kSpeeds) {
        if (code == speed) lineBaud = rate;
    }
    const bool twoStopBits = (t.c_cflag & CSTOPB) != 0;
    const bool wanted = start == ':';  // MODBUS: 2 stop bits; TVX Standard: 1
    if (lineBaud == baud && twoStopBits == wanted) return true;
    if (log != nullptr) {
        std::fprintf(log, "# not answered: the line is at %d baud with %d stop bit%s; the simulator's is %d baud, %d\n",
                     lineBaud, twoStopBits ? 2 : 1, twoStopBits ? "s" : "", baud, wanted ? 2 : 1);
        std::fflush(log);
    }
    return false;
}

void Server::handleLine(const std::string& request, int64_t first) {
    int64_t last = nowMicros();
    if (options.baud > 0) {
        const int64_t due = first + wireMicros(request.size());
        if (due > last) {
            if (!sleepUntil(due)) return;
            last = due;
        }
    }
    logLine(first, last, "RX", request);
    // On a line with several controllers the one addressed answers; a request
    // for none of them is served by the current one, which stays silent.
    const int addressed = controllerAt(requestUnit(request));
    if (addressed >= 0) selectController(addressed);
    const size_t current = static_cast<size_t>(std::max(controllerAt(options.unit), 0));
    if (silentUntil.size() < static_cast<size_t>(controllerCount())) silentUntil.resize(controllerCount(), 0);
    if (first < silentUntil[current]) return;  // rebooting
    if (options.checkLine && !lineSettingsMatch(request[0])) return;
    ++requests;
    if (options.silentAfter >= 0 && requests > options.silentAfter) return;
    if (options.dropEvery > 0 && requests % options.dropEvery == 0) return;
    if (options.ignoreAt.count(requests) != 0) return;

    std::optional<std::string> reply;
    if (options.refuseAt.count(requests) != 0) {
        reply = request[0] == ':' ? modbusRefusal(request, options.refuseCode) : tvxRefusal(options.refuseCode);
    } else {
        reply = request[0] == ':' ? serveModbus(request) : serveTvx(request);
    }
    if (reply && options.dropAt.count(requests) != 0) reply.reset();
    if (state.saveRequested) {
        state.saveRequested = false;
        save();
    }
    if (reply) {
        ++replies;
        if (options.garbageEvery > 0 && replies % options.garbageEvery == 0) reply = corruptReply(*reply);
        if (options.garbageAt.count(requests) != 0) reply = corruptReply(*reply);
        // A reply held back keeps its place: the replies after it wait for it.
        if (!held.empty() || options.lateAt.count(requests) != 0) {
            if (held.empty()) releaseAt = first + options.lateMs * 1000LL;
            held.push_back(*reply);
            reply.reset();
        }
    }
    if (reply) {
        // Whatever is still unread on the line is a reply the client gave up on.
        tcflush(slave, TCIFLUSH);
        sendReply(*reply, last);
    }
    if (state.rebootRequested) {
        state.rebootRequested = false;
        resetSequences();
        if (options.forgetDefaultProgram) image.defaultProgram = (image.defaultProgram + 1) % 8;
        silentUntil[current] = nowMicros() + static_cast<int64_t>(options.resetDelay * 1e6);
    }
}

int Server::run() {
    const int64_t endAt = options.maxSeconds > 0 ? nowMicros() + static_cast<int64_t>(options.maxSeconds * 1e6) : 0;
    while (!stopRequested) {
        int timeoutMs = -1;
        if (endAt != 0) {
            const int64_t left = endAt - nowMicros();
            if (left <= 0) break;
            timeoutMs = static_cast<int>(std::min<int64_t>((left + 999) / 1000, 1 << 30));
        }
        if (!held.empty()) {
            const int64_t left = releaseAt - nowMicros();
            if (left <= 0) {
                releaseHeld();
                continue;
            }
            const int wait = static_cast<int>(std::min<int64_t>((left + 999) / 1000, 1 << 30));
            timeoutMs = timeoutMs < 0 ? wait : std::min(timeoutMs, wait);
        }
        pollfd fds[2] = {{master, POLLIN, 0}, {signalPipe[0], POLLIN, 0}};
        const int n = poll(fds, 2, timeoutMs);
        if (n < 0) {
            if (errno == EINTR) continue;
            std::perror("linkora-sim: poll");
            return 1;
        }
        if (fds[1].revents & POLLIN) break;
        if (fds[0].revents & POLLIN) {
            char buffer[256];
            const ssize_t got = ::read(master, buffer, sizeof buffer);
            const int64_t at = nowMicros();
            if (got > 0) logLineSettings();
            for (ssize_t i = 0; i < got && !stopRequested; ++i) feed(buffer[i], at);
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            // Cannot happen while the slave side is held open here; wait
            // rather than spin should the system report it anyway.
            poll(nullptr, 0, 100);
        }
    }
    saveAll();
    return 0;
}

}  // namespace

int runServer() {
    if (pipe(signalPipe) != 0) {
        std::perror("linkora-sim: pipe");
        return 1;
    }
    fcntl(signalPipe[0], F_SETFD, FD_CLOEXEC);
    fcntl(signalPipe[1], F_SETFD, FD_CLOEXEC);
    fcntl(signalPipe[1], F_SETFL, O_NONBLOCK);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Server server;
    std::string error;
    if (!server.open(error)) {
        std::fprintf(stderr, "linkora-sim: %s\n", error.c_str());
        return 1;
    }
    if (!options.linkPath.empty()) {
        ::unlink(options.linkPath.c_str());
        if (symlink(server.slavePath.c_str(), options.linkPath.c_str()) != 0) {
            std::fprintf(stderr, "linkora-sim: cannot link %s: %s\n", options.linkPath.c_str(), std::strerror(errno));
            return 1;
        }
    }
    std::printf("%s\n", server.slavePath.c_str());
    std::fflush(stdout);
    const int result = server.run();
    if (!options.linkPath.empty()) ::unlink(options.linkPath.c_str());
    return result;
}

}  // namespace sim
