#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/clock.h"

namespace platform {

enum class Parity { None, Even, Odd };

// The four line settings the program chooses; everything else about the line
// (raw mode, no flow control) is fixed by the device implementation.
struct LineSettings {
    int baudRate = 9600;
    int dataBits = 8;
    Parity parity = Parity::None;
    int stopBits = 1;
};

// One serial line device. The POSIX body uses termios; a Win32 body can sit
// beside it. Tests substitute a scripted device.
class LineDevice {
public:
    virtual ~LineDevice() = default;
    // Opens an existing device for reading and writing, exclusively.
    virtual bool open(const std::string& path) = 0;
    // Reads the device's current line settings.
    virtual bool readSettings() = 0;
    // Builds and applies the complete line settings in one step.
    virtual bool applySettings(const LineSettings& settings) = 0;
    // Asks to be woken by received characters; nothing to do on POSIX.
    virtual bool setReceiveNotification() { return true; }
    // Hands the whole buffer over; false on a write error.
    virtual bool write(const uint8_t* data, std::size_t length) = 0;
    // Waits at most about 110 ms for one byte; true when one was stored.
    // Bytes already received are handed out without waiting.
    virtual bool readByte(uint8_t& out) = 0;
    // Drops every byte received and not yet read, the device's own and the
    // system's. Nothing to drop by default.
    virtual void discardInput() {}
    // Closes the device; false when the system refused.
    virtual bool close() = 0;
    // The settings the build asked for (tests inspect them).
    virtual LineSettings requestedSettings() const { return {}; }
    // Why the last open, readSettings or applySettings failed, in the
    // system's words; empty when not known.
    virtual std::string lastError() const { return {}; }
    // True once the line's connection is gone for good (a network line whose
    // server closed or reset it); lastError() then says why. A serial line
    // never loses its connection this way.
    virtual bool connectionLost() const { return false; }
    // Bytes of any kind received from the line since it was opened, those
    // that discardInput dropped included (and a network line's telnet
    // commands): what a line that does not stop sending is measured by.
    virtual uint64_t bytesReceived() const { return 0; }
    // True once the line was given up because it does not stop sending;
    // connectionLost() is true then too, and lastError() says how much came.
    virtual bool babbling() const { return false; }
    // The clock the waits on this line are measured by, and a pause on it:
    // the platform's own. A scripted line keeps a clock that its silent
    // reads and its pauses advance, so that tests do not wait out time-outs.
    virtual int64_t nowMicros() const { return monotonicMicros(); }
    virtual void pauseMicros(int64_t micros) { sleepMicros(micros); }
    // True when this open device may stay as it is while the program closes
    // and opens the same port again (a network line's connection, while it
    // holds); a serial line is closed each time.
    virtual bool mayKeepConnection() const { return false; }
};

// The most bytes of any kind that one drain of stale input or one wait of a
// line takes, and the most that may arrive between two good replies: a
// reply is a few hundred bytes at most, a late one and the telnet commands
// of a server add a few hundred more. Past it the line is taken for one that
// does not stop sending.
constexpr uint64_t kLineByteBudget = 4096;
// The longest a drain of stale input takes: one reply time-out.
constexpr int kDrainMs = 3000;
// "the line does not stop sending (N bytes in S s): ..."
std::string babblingLineReason(uint64_t bytes, int64_t micros);

using LineDeviceFactory = std::function<std::unique_ptr<LineDevice>()>;

// The platform's own serial line device.
std::unique_ptr<LineDevice> makeLineDevice();

// The kinds of line a port name leads to: a serial device, or a serial
// device server on the network, reached as "rfc2217://HOST:PORT" (telnet
// with the COM port control option: the line format is set from here) or
// "tcp://HOST:PORT" (raw: the server's own line format applies).
enum class LineKind { Serial, Rfc2217, Tcp };

// The network form of a port name split up; HOST is a name, an IPv4
// address or a bracketed IPv6 address (the brackets are dropped here).
struct NetworkPort {
    LineKind kind = LineKind::Tcp;
    std::string host;
    std::string port;
};
// The network port a name gives, or nothing when it is not one (or not a
// well-formed one).
bool parseNetworkPort(const std::string& name, NetworkPort& out);
// Serial unless the name is a well-formed network port.
LineKind lineKind(const std::string& name);
// 0..3 for COM1..COM4 (either case), -1 for any other name.
int comPortIndex(const std::string& name);
// Whether a port name is one the unattended command line takes: COM1..COM4,
// the path of a device (beginning with '/') or a well-formed network port.
bool validPortName(const std::string& name);

// The device for a port name: a network line for the network forms, the
// platform's serial line for everything else.
std::unique_ptr<LineDevice> makeLineDeviceFor(const std::string& name);

// Whether the platform's serial line can be set to this baud rate.
bool baudRateSupported(int baudRate);

// Maps a menu port index 0..3 (COM1..COM4) to this system's device name:
// the environment variable LINKORA_COMn when set, else the platform default.
std::string portDeviceName(int portIndex);

}  // namespace platform
