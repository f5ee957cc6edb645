// The serial line device on the Windows communications API.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "platform/clock.h"
#include "platform/line_device.h"

namespace platform {

namespace {

// Time-outs in milliseconds: the gap allowed between two received bytes,
// and for reading and writing a part per byte plus a fixed part.
constexpr DWORD kReadIntervalMs = 10;
constexpr DWORD kReadPerByteMs = 10;
constexpr DWORD kReadFixedMs = 100;
constexpr DWORD kWritePerByteMs = 10;
constexpr DWORD kWriteFixedMs = 100;
// The longest a one-byte read may take with the values above.
constexpr int64_t kReadWaitMicros = (kReadPerByteMs + kReadFixedMs) * 1000;

// The name CreateFileA needs: a bare "COMn" goes through the device
// namespace, which is the only way to reach COM10 and above. Names that
// already carry a path are used as they are.
std::string deviceName(const std::string& name) {
    if (name.find_first_of("\\/:") != std::string::npos) return name;
    return "\\\\.\\" + name;
}

// Waits without spinning until `deadline` (microseconds of monotonicMicros).
void waitUntil(int64_t deadline) {
    const int64_t left = deadline - monotonicMicros();
    if (left > 0) sleepMicros(left);
}

class Win32LineDevice : public LineDevice {
public:
    ~Win32LineDevice() override {
        if (activeport_ != INVALID_HANDLE_VALUE) close();
    }

    bool open(const std::string& path) override {
        error_.clear();
        if (activeport_ != INVALID_HANDLE_VALUE || path.empty()) return false;
        // Exclusive (no sharing), existing devices only, synchronous I/O.
        const HANDLE handle =
            CreateFileA(deviceName(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            noteError();
            return false;
        }
        activeport_ = handle;
        haveCurrent_ = false;
        return true;
    }

    bool readSettings() override {
        if (activeport_ == INVALID_HANDLE_VALUE) return false;
        DCB settings{};
        settings.DCBlength = sizeof settings;
        haveCurrent_ = GetCommState(activeport_, &settings) != 0;
        if (!haveCurrent_) noteError();
        if (haveCurrent_) serialconfig_ = settings;
        return haveCurrent_;
    }

    bool applySettings(const LineSettings& settings) override {
        requested_ = settings;
        if (activeport_ == INVALID_HANDLE_VALUE || settings.baudRate <= 0) return false;
        if (settings.dataBits < 5 || settings.dataBits > 8) return false;
        if (settings.stopBits != 1 && settings.stopBits != 2) return false;
        if (!haveCurrent_ && !readSettings()) return false;

        // Only the four chosen fields change; flow control, handshake lines
        // and special characters stay as the system reported them.
        DCB config = serialconfig_;
        config.BaudRate = static_cast<DWORD>(settings.baudRate);
        config.ByteSize = static_cast<BYTE>(settings.dataBits);
        switch (settings.parity) {
            case Parity::None: config.Parity = NOPARITY; break;
            case Parity::Even: config.Parity = EVENPARITY; break;
            case Parity::Odd: config.Parity = ODDPARITY; break;
        }
        config.fParity = settings.parity == Parity::None ? FALSE : TRUE;
        config.StopBits = settings.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
        if (!SetCommState(activeport_, &config)) {
            noteError();
            return false;
        }
        serialconfig_ = config;

        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = kReadIntervalMs;
        timeouts.ReadTotalTimeoutMultiplier = kReadPerByteMs;
        timeouts.ReadTotalTimeoutConstant = kReadFixedMs;
        timeouts.WriteTotalTimeoutMultiplier = kWritePerByteMs;
        timeouts.WriteTotalTimeoutConstant = kWriteFixedMs;
        // A refusal is not fatal: readByte bounds its own wait in any case.
        timeoutsSet_ = SetCommTimeouts(activeport_, &timeouts) != 0;
        return true;
    }

    bool setReceiveNotification() override {
        return activeport_ != INVALID_HANDLE_VALUE && SetCommMask(activeport_, EV_RXCHAR) != 0;
    }

    bool write(const uint8_t* data, std::size_t length) override {
        if (activeport_ == INVALID_HANDLE_VALUE) return false;
        while (length > 0) {
            const DWORD chunk = length > 0x10000 ? 0x10000 : static_cast<DWORD>(length);
            DWORD written = 0;
            if (!WriteFile(activeport_, data, chunk, &written, nullptr)) {
                // "Pending" means the system has taken the bytes over.
                return GetLastError() == ERROR_IO_PENDING;
            }
            // The write time-out ran out with nothing taken: the line is stuck.
            if (written == 0) return false;
            data += written;
            length -= written;
        }
        return true;
    }

    bool readByte(uint8_t& out) override {
        const int64_t deadline = monotonicMicros() + kReadWaitMicros;
        if (activeport_ == INVALID_HANDLE_VALUE) {
            waitUntil(deadline);
            return false;
        }
        // Without the time-outs a read could block for good.
        if (!timeoutsSet_) return readWaiting(out, deadline);
        uint8_t byte = 0;
        DWORD got = 0;
        if (ReadFile(activeport_, &byte, 1, &got, nullptr) && got == 1) {
            ++received_;
            out = byte;
            return true;
        }
        // A read that failed at once (a device that went away) must not turn
        // the caller's polling loop into a busy one.
        waitUntil(deadline);
        return false;
    }

    // One purge, however much the line sends meanwhile; what it drops is
    // counted as received.
    void discardInput() override {
        if (activeport_ == INVALID_HANDLE_VALUE) return;
        DWORD errors = 0;
        COMSTAT status{};
        if (ClearCommError(activeport_, &errors, &status)) received_ += status.cbInQue;
        PurgeComm(activeport_, PURGE_RXCLEAR);
    }

    bool close() override {
        if (activeport_ == INVALID_HANDLE_VALUE) return false;
        const bool ok = CloseHandle(activeport_) != 0;
        activeport_ = INVALID_HANDLE_VALUE;
        haveCurrent_ = false;
        timeoutsSet_ = false;
        return ok;
    }

    LineSettings requestedSettings() const override { return requested_; }
    std::string lastError() const override { return error_; }
    uint64_t bytesReceived() const override { return received_; }

private:
    // Notes the system's text for the last error, without its line end.
    void noteError() {
        char text[256] = {};
        const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                            GetLastError(), 0, text, sizeof text, nullptr);
        error_.assign(text, length);
        while (!error_.empty() && (error_.back() == '\n' || error_.back() == '\r' || error_.back() == ' '))
            error_.pop_back();
        if (!error_.empty() && error_.back() == '.') error_.pop_back();
    }

    // Reads a byte only when the driver holds one, polling the queue in
    // short sleeps until the deadline.
    bool readWaiting(uint8_t& out, int64_t deadline) {
        for (;;) {
            DWORD errors = 0;
            COMSTAT status{};
            if (ClearCommError(activeport_, &errors, &status) && status.cbInQue > 0) {
                uint8_t byte = 0;
                DWORD got = 0;
                if (ReadFile(activeport_, &byte, 1, &got, nullptr) && got == 1) {
                    ++received_;
                    out = byte;
                    return true;
                }
            }
            if (monotonicMicros() >= deadline) return false;
            sleepMicros(5000);
        }
    }

    HANDLE activeport_ = INVALID_HANDLE_VALUE;
    DCB serialconfig_{};
    bool haveCurrent_ = false;
    std::string error_;
    bool timeoutsSet_ = false;
    uint64_t received_ = 0;
    LineSettings requested_{};
};

}  // namespace

std::unique_ptr<LineDevice> makeLineDevice() { return std::make_unique<Win32LineDevice>(); }

bool baudRateSupported(int baudRate) {
    static const int kRates[] = {CBR_110,   CBR_300,   CBR_600,    CBR_1200,   CBR_2400,
                                 CBR_4800,  CBR_9600,  CBR_14400,  CBR_19200,  CBR_38400,
                                 CBR_56000, CBR_57600, CBR_115200, CBR_128000, CBR_256000};
    for (int rate : kRates)
        if (rate == baudRate) return true;
    return false;
}

std::string portDeviceName(int portIndex) {
    if (portIndex < 0 || portIndex > 3) return std::string();
    const std::string name = "COM" + std::to_string(portIndex + 1);
    const char* mapped = std::getenv(("LINKORA_" + name).c_str());
    if (mapped != nullptr && *mapped != '\0') return mapped;
    return name;
}

}  // namespace platform
