// The operator's console on a POSIX terminal: single keys without line
// editing or echo, output written straight to standard output.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "platform/console.h"

namespace platform {

namespace {

// How long the rest of a terminal escape sequence may take to arrive.
constexpr int kSequenceGapMs = 30;
// A CSI sequence longer than this is not a key; the rest is dropped.
constexpr int kMaxSequenceLength = 32;

termios savedTerminal{};
volatile sig_atomic_t terminalSaved = 0;
volatile sig_atomic_t terminalRaw = 0;

void restoreOnSignal(int signalNumber) {
    restoreTerminal();
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

// Ctrl-Z: the shell gets the terminal as it was found while the program is
// stopped; once continued, single-key mode is put back.
void suspendOnSignal(int) {
    const int savedErrno = errno;
    restoreTerminal();
    signal(SIGTSTP, SIG_DFL);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &stop, nullptr);
    raise(SIGTSTP);  // stops here until continued
    signal(SIGTSTP, suspendOnSignal);
    resumeTerminal();
    errno = savedErrno;
}

// Waits at most `timeoutMs` (negative: without limit) for input on fd 0.
bool inputWithin(int timeoutMs) {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    for (;;) {
        const int n = poll(&p, 1, timeoutMs);
        if (n > 0) return true;
        if (n == 0) return false;
        if (errno != EINTR) return false;
    }
}

// One byte from standard input: 1 stored, 0 end of input, -1 error.
int readInputByte(unsigned char& byte) {
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, &byte, 1);
        if (n == 1) return 1;
        if (n == 0) return 0;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            inputWithin(-1);
            continue;
        }
        return -1;
    }
}

class PosixConsole : public Console {
public:
    int getKey() override {
        if (pending_ >= 0) {
            const int key = pending_;
            pending_ = -1;
            return key;
        }
        if (atEnd_) return kKeyEscape;
        unsigned char byte = 0;
        if (readInputByte(byte) <= 0) {
            atEnd_ = true;
            return kKeyEscape;
        }
        if (!isatty(STDIN_FILENO)) return byte == '\n' ? kKeyEnter : byte;
        if (byte == 127) return kKeyBackspace;
        if (byte == kKeyEscape) return afterEscape();
        return byte;
    }

    bool keyWaiting() override { return pending_ >= 0 || atEnd_ || inputWithin(0); }

    void write(const char* text, std::size_t length) override {
        while (length > 0) {
            const ssize_t n = ::write(STDOUT_FILENO, text, length);
            if (n > 0) {
                text += n;
                length -= static_cast<std::size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pollfd p{STDOUT_FILENO, POLLOUT, 0};
                if (poll(&p, 1, 1000) <= 0) return;
            } else {
                return;  // the screen is gone; nothing sensible is left to do
            }
        }
    }

    void clearScreen() override {
        static const char kClear[] = "\x1b[2J\x1b[H";
        write(kClear, sizeof kClear - 1);
    }

private:
    // ESC arrived on a terminal: a lone ESC key, or the start of a sequence
    // sent by an arrow, function or Home/End key.
    int afterEscape() {
        if (!inputWithin(kSequenceGapMs)) return kKeyEscape;
        unsigned char next = 0;
        if (readInputByte(next) <= 0) {
            atEnd_ = true;
            return kKeyEscape;
        }
        if (next == 'O') {  // SS3: one final byte
            if (inputWithin(kSequenceGapMs)) readInputByte(next);
            return kKeySpecial;
        }
        if (next == '[') {  // CSI: parameters and intermediates up to a final byte
            for (int i = 0; i < kMaxSequenceLength && inputWithin(kSequenceGapMs); ++i) {
                if (readInputByte(next) <= 0) break;
                if (next >= 0x40 && next <= 0x7e) break;
            }
            return kKeySpecial;
        }
        // ESC followed by an ordinary key: the ESC counts, the key comes next.
        pending_ = next == 127 ? kKeyBackspace : next;
        return kKeyEscape;
    }

    int pending_ = -1;
    bool atEnd_ = false;
};

PosixConsole& platformConsole() {
    static PosixConsole instance;
    return instance;
}

Console* installed = nullptr;

}  // namespace

Console& console() { return installed != nullptr ? *installed : platformConsole(); }

void setConsole(Console* replacement) { installed = replacement; }

void initTerminal() {
    if (terminalSaved || !isatty(STDIN_FILENO)) return;
    if (tcgetattr(STDIN_FILENO, &savedTerminal) != 0) return;
    terminalSaved = 1;

    std::atexit(restoreTerminal);
    struct sigaction action {};
    action.sa_handler = restoreOnSignal;
    sigemptyset(&action.sa_mask);
    static const int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    for (int signalNumber : kSignals) sigaction(signalNumber, &action, nullptr);
    signal(SIGTSTP, suspendOnSignal);

    resumeTerminal();
}

void resumeTerminal() {
    if (!terminalSaved || terminalRaw) return;
    // Only input becomes raw: output keeps its newline translation so that
    // "\n" starts the next line at its first column.
    termios raw = savedTerminal;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | IXON);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) terminalRaw = 1;
}

void restoreTerminal() {
    if (!terminalRaw) return;
    tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    terminalRaw = 0;
}

}  // namespace platform
