// The serial line device on POSIX termios.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#ifdef __linux__
#include <linux/serial.h>
#include <sys/sysmacros.h>
#endif
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/line_device.h"

namespace platform {

namespace {

// The longest a readByte call waits for a byte.
constexpr int kReadWaitMs = 110;
// One read takes whatever has arrived, up to this much; readByte hands the
// bytes out one by one. A MODBUS reply of the longest kind fits at once.
constexpr std::size_t kReadBufferSize = 512;
// Write time-out: a fixed part and a part per byte, as for the read side.
constexpr int kWriteFixedMs = 100;
constexpr int kWritePerByteMs = 10;

struct BaudRow {
    int rate;
    speed_t speed;
};

const BaudRow kBaudRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},       {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},     {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},   {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},
#ifdef B460800
    {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600}, {1000000, B1000000},
    {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
#endif
};

bool speedFor(int rate, speed_t& speed) {
    for (const BaudRow& row : kBaudRates) {
        if (row.rate == rate) {
            speed = row.speed;
            return true;
        }
    }
    return false;
}

struct SizeRow {
    int bits;
    tcflag_t flag;
};
const SizeRow kDataBits[] = {{5, CS5}, {6, CS6}, {7, CS7}, {8, CS8}};

bool sizeFlagFor(int bits, tcflag_t& flag) {
    for (const SizeRow& row : kDataBits) {
        if (row.bits == bits) {
            flag = row.flag;
            return true;
        }
    }
    return false;
}

int remainingMs(int64_t deadline) {
    const int64_t left = deadline - monotonicMicros();
    return left <= 0 ? 0 : static_cast<int>((left + 999) / 1000);
}

// Waits until `deadline` without looking at any descriptor.
void waitUntil(int64_t deadline) {
    int ms;
    while ((ms = remainingMs(deadline)) > 0) poll(nullptr, 0, ms);
}

class PosixLineDevice : public LineDevice {
public:
    ~PosixLineDevice() override {
        if (fd_ >= 0) close();
    }

    bool open(const std::string& path) override {
        error_.clear();
        if (fd_ >= 0 || path.empty()) return fail(path.empty() ? ENOENT : EBUSY);
        // No O_CREAT: only an existing device is opened.
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return fail(errno);
        // The lock refuses a second open even within this process (TIOCEXCL
        // alone does not stop a privileged one).
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int lockError = errno == EWOULDBLOCK ? EBUSY : errno;
            ::close(fd);
            return fail(lockError);
        }
        exclusive_ = isatty(fd) && ioctl(fd, TIOCEXCL) == 0;
        fd_ = fd;
        haveCurrent_ = false;
        head_ = tail_ = 0;
        received_ = 0;
        enterLowLatency();
        return true;
    }

    bool readSettings() override {
        if (fd_ < 0) return false;
        haveCurrent_ = tcgetattr(fd_, &current_) == 0;
        if (!haveCurrent_) fail(errno);
        return haveCurrent_;
    }

    bool applySettings(const LineSettings& settings) override {
        requested_ = settings;
        if (fd_ < 0) return false;
        speed_t speed{};
        tcflag_t sizeFlag{};
        if (!speedFor(settings.baudRate, speed) || !sizeFlagFor(settings.dataBits, sizeFlag)) return false;
        if (settings.stopBits != 1 && settings.stopBits != 2) return false;
        if (!haveCurrent_ && !readSettings()) return false;

        termios t = current_;
        cfmakeraw(&t);
        t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
        t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
        t.c_cflag |= CLOCAL | CREAD | sizeFlag;
        if (settings.parity != Parity::None) t.c_cflag |= PARENB;
        if (settings.parity == Parity::Odd) t.c_cflag |= PARODD;
        if (settings.stopBits == 2) t.c_cflag |= CSTOPB;
        t.c_cc[VMIN] = 0;  // reads never block: poll() does the waiting
        t.c_cc[VTIME] = 0;
        if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) return false;

        const bool applied = tcsetattr(fd_, TCSANOW, &t) == 0;
        const int applyError = errno;
        if (!applied) fail(applyError);
        if (applied && !pseudoTerminal()) {
            current_ = t;
            return true;
        }
        // A pseudo-terminal keeps 8 data bits and no parity whatever is asked,
        // and refuses a request that changes nothing else. It is accepted when
        // what it can hold, baud rate and stop bits, reads back as asked.
        if (!pseudoTerminal() || (!applied && applyError != EINVAL)) return false;
        termios back{};
        if (tcgetattr(fd_, &back) != 0) return false;
        if (cfgetospeed(&back) != speed || (back.c_cflag & CSTOPB) != (t.c_cflag & CSTOPB)) return false;
        current_ = back;
        return true;
    }

    bool write(const uint8_t* data, std::size_t length) override {
        if (fd_ < 0) return false;
        const int64_t deadline =
            monotonicMicros() + (kWriteFixedMs + kWritePerByteMs * static_cast<int64_t>(length)) * 1000;
        while (length > 0) {
            const ssize_t n = ::write(fd_, data, length);
            if (n > 0) {
                data += n;
                length -= static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                const int ms = remainingMs(deadline);
                if (ms == 0) return false;
                pollfd p{fd_, POLLOUT, 0};
                if (poll(&p, 1, ms) < 0 && errno != EINTR) return false;
                continue;
            }
            return false;
        }
        return true;
    }

    bool readByte(uint8_t& out) override {
        if (head_ < tail_) {
            out = buffer_[head_++];
            return true;
        }
        const int64_t deadline = monotonicMicros() + kReadWaitMs * 1000;
        if (fd_ < 0) {
            waitUntil(deadline);
            return false;
        }
        for (;;) {
            const int ms = remainingMs(deadline);
            pollfd p{fd_, POLLIN, 0};
            const int n = poll(&p, 1, ms);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            if (p.revents & POLLIN) {
                const ssize_t got = ::read(fd_, buffer_, sizeof buffer_);
                if (got > 0) {
                    received_ += static_cast<uint64_t>(got);
                    head_ = 1;
                    tail_ = static_cast<std::size_t>(got);
                    out = buffer_[0];
                    return true;
                }
                if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
                    if (ms == 0) return false;
                    continue;
                }
            }
            // Hang-up or error (the other end of a pseudo-terminal went
            // away): the byte is not coming, but the caller's loop must not
            // turn into a busy one, so the full wait is kept.
            waitUntil(deadline);
            return false;
        }
    }

    // One flush, however much the line sends meanwhile; what it drops is
    // counted as received.
    void discardInput() override {
        head_ = tail_ = 0;
        if (fd_ < 0) return;
        int queued = 0;
        if (ioctl(fd_, FIONREAD, &queued) == 0 && queued > 0) received_ += static_cast<uint64_t>(queued);
        tcflush(fd_, TCIFLUSH);
    }

    bool close() override {
        if (fd_ < 0) return false;
        leaveLowLatency();
        if (exclusive_) ioctl(fd_, TIOCNXCL);
        flock(fd_, LOCK_UN);
        const bool ok = ::close(fd_) == 0;
        fd_ = -1;
        exclusive_ = false;
        haveCurrent_ = false;
        head_ = tail_ = 0;
        return ok;
    }

    LineSettings requestedSettings() const override { return requested_; }
    std::string lastError() const override { return error_; }
    uint64_t bytesReceived() const override { return received_; }

private:
    // Notes the system's reason; always false, for the caller to return.
    bool fail(int error) {
        error_ = std::strerror(error);
        return false;
    }

    // Many USB serial adapters hold received bytes for a latency timer
    // (16 ms on common chips) unless the port is in low-latency mode, which
    // would add that much to every exchange. Drivers without the setting
    // (pseudo-terminals) refuse it, and the line is used as it is.
    void enterLowLatency() {
#ifdef __linux__
        serial_struct serial{};
        if (ioctl(fd_, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY) != 0) return;
        serial.flags |= ASYNC_LOW_LATENCY;
        lowLatencySet_ = ioctl(fd_, TIOCSSERIAL, &serial) == 0;
#endif
    }

    // Puts back the flags the line had before open.
    void leaveLowLatency() {
#ifdef __linux__
        if (!lowLatencySet_) return;
        lowLatencySet_ = false;
        serial_struct serial{};
        if (ioctl(fd_, TIOCGSERIAL, &serial) != 0) return;
        serial.flags &= ~ASYNC_LOW_LATENCY;
        ioctl(fd_, TIOCSSERIAL, &serial);
#endif
    }

    bool pseudoTerminal() const {
        char name[256];
        if (ttyname_r(fd_, name, sizeof name) == 0 && std::strncmp(name, "/dev/pts/", 9) == 0) return true;
#ifdef __linux__
        // Pseudo-terminal slaves have majors 136..143 on Linux.
        struct stat info {};
        if (fstat(fd_, &info) == 0 && S_ISCHR(info.st_mode)) {
            const unsigned majorNumber = major(info.st_rdev);
            return majorNumber >= 136 && majorNumber <= 143;
        }
#endif
        return false;
    }

    int fd_ = -1;
    bool exclusive_ = false;
    bool lowLatencySet_ = false;
    // Received bytes not yet handed out: buffer_[head_, tail_).
    uint8_t buffer_[kReadBufferSize];
    std::size_t head_ = 0;
    std::size_t tail_ = 0;
    uint64_t received_ = 0;
    bool haveCurrent_ = false;
    std::string error_;
    termios current_{};
    LineSettings requested_{};
};

}  // namespace

std::unique_ptr<LineDevice> makeLineDevice() { return std::make_unique<PosixLineDevice>(); }

bool baudRateSupported(int baudRate) {
    speed_t speed{};
    return speedFor(baudRate, speed);
}

std::string portDeviceName(int portIndex) {
    if (portIndex < 0 || portIndex > 3) return std::string();
    const std::string variable = "LINKORA_COM" + std::to_string(portIndex + 1);
    const char* mapped = std::getenv(variable.c_str());
    if (mapped != nullptr && *mapped != '\0') return mapped;
    return "/dev/ttyS" + std::to_string(portIndex);
}

}  // namespace platform
