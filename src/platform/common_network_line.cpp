// A line that ends at a serial device server on the network: the same
// LineDevice as a local serial line, over TCP, raw or with the telnet COM
// port control option.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>
#include <cstring>
#include <vector>

#include "platform/clock.h"
#include "platform/line_device.h"
#include "platform/socket.h"
#include "platform/telnet_codec.h"

namespace platform {

namespace {

namespace tn = telnet;

constexpr int kConnectTimeoutMs = 5000;
// How long the server has to agree to the options and to acknowledge each
// line setting.
constexpr int kNegotiationMs = 3000;
// How long a purge of the server's receive buffer may take.
constexpr int kPurgeMs = 1000;
// The longest a readByte call waits, as on a serial line.
constexpr int kReadWaitMs = 110;
constexpr int kWriteFixedMs = 100;
constexpr int kWritePerByteMs = 10;
// Received data bytes kept unread at most: a line answers a request with a
// few hundred at most, anything beyond is noise from a server gone astray.
constexpr std::size_t kMaxPending = 8192;
// What is kept of the first text a server sends, for the reason of a
// connection it closes before answering.
constexpr std::size_t kMaxFirstText = 200;
// How long a new connection waits for the server to speak first. A server
// that cannot serve the port says so at once and closes; had we written to
// it meanwhile, that close would reset the connection and take the text
// with it. A telnet server opens with its own negotiation, so the wait ends
// at once on a healthy line; a raw one stays silent and costs this once.
constexpr int kGreetingMs = 150;

bool lowerPrefix(const std::string& name, const char* prefix) {
    const std::size_t length = std::strlen(prefix);
    if (name.size() < length) return false;
    for (std::size_t i = 0; i < length; ++i) {
        if (std::tolower(static_cast<unsigned char>(name[i])) != prefix[i]) return false;
    }
    return true;
}

bool hostNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' || c == '_';
}

bool ipv6Char(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0 || c == ':' || c == '.'; }

class NetworkLineDevice : public LineDevice {
public:
    ~NetworkLineDevice() override { close(); }

    bool open(const std::string& path) override {
        error_.clear();
        if (conn_.socket != kNoSocket) return fail("already open");
        NetworkPort where;
        if (!parseNetworkPort(path, where)) return fail("not a network port (rfc2217://HOST:PORT or tcp://HOST:PORT)");
        conn_ = Connection(where.kind == LineKind::Rfc2217);
        conn_.socket = connectTcp(where.host, where.port, kConnectTimeoutMs, error_);
        if (conn_.socket == kNoSocket) return false;
        pumpUntil(monotonicMicros() + kGreetingMs * 1000LL, [this] { return conn_.received > 0; });
        if (conn_.lost) return closeFailed();
        if (!conn_.telnet) return true;

        if (!send(conn_.options.opening())) return closeFailed();
        const int64_t deadline = monotonicMicros() + kNegotiationMs * 1000LL;
        pumpUntil(deadline, [this] {
            return conn_.options.localEnabled(tn::kOptionComPort).has_value() &&
                   conn_.options.localEnabled(tn::kOptionBinary).has_value() &&
                   conn_.options.remoteEnabled(tn::kOptionBinary).has_value();
        });
        if (conn_.lost) return closeFailed();
        const auto comPort = conn_.options.localEnabled(tn::kOptionComPort);
        if (!comPort) return closeFailed("the server did not answer the COM port control option");
        if (!*comPort) return closeFailed("the server refused the COM port control option");
        if (conn_.options.localEnabled(tn::kOptionBinary) != true ||
            conn_.options.remoteEnabled(tn::kOptionBinary) != true) {
            return closeFailed("the server refused binary transmission");
        }
        return true;
    }

    bool readSettings() override { return conn_.socket != kNoSocket && !conn_.lost; }

    bool applySettings(const LineSettings& settings) override {
        requestedSettings_ = settings;
        if (conn_.socket == kNoSocket || conn_.lost) return false;
        // A raw line keeps the server's own format.
        if (!conn_.telnet) return true;

        struct Asked {
            uint8_t command;
            std::vector<uint8_t> value;
            const char* name;
        };
        const Asked asked[] = {
            {tn::kSetBaudRate, tn::baudRateValue(static_cast<uint32_t>(settings.baudRate)), "baud rate"},
            {tn::kSetDataSize, {static_cast<uint8_t>(settings.dataBits)}, "data size"},
            {tn::kSetParity, {tn::parityValue(settings.parity)}, "parity"},
            {tn::kSetStopSize, {tn::stopSizeValue(settings.stopBits)}, "stop size"},
        };
        std::vector<uint8_t> request;
        for (const Asked& setting : asked) {
            conn_.answers[setting.command].reset();
            const std::vector<uint8_t> command = tn::comPortCommand(setting.command, setting.value);
            request.insert(request.end(), command.begin(), command.end());
        }
        if (!send(request)) return false;
        const int64_t deadline = monotonicMicros() + kNegotiationMs * 1000LL;
        pumpUntil(deadline, [&] {
            for (const Asked& setting : asked) {
                if (!conn_.answers[setting.command]) return false;
            }
            return true;
        });
        if (conn_.lost) return false;
        for (const Asked& setting : asked) {
            const auto& answer = conn_.answers[setting.command];
            if (!answer) return fail(std::string("the server did not acknowledge the ") + setting.name);
            if (*answer != setting.value) {
                return fail(std::string("the server set the ") + setting.name + " to " +
                            tn::describe(setting.command, *answer) + " instead of " +
                            tn::describe(setting.command, setting.value));
            }
        }
        // Whatever came while the line changed format is of no use.
        conn_.purgeDue = true;
        return true;
    }

    bool write(const uint8_t* data, std::size_t length) override {
        if (conn_.socket == kNoSocket || conn_.lost) return false;
        conn_.requested = true;
        if (!conn_.telnet) return sendBytes(data, length);
        std::vector<uint8_t> escaped;
        escaped.reserve(length + 8);
        tn::appendEscaped(escaped, data, length);
        return sendBytes(escaped.data(), escaped.size());
    }

    bool readByte(uint8_t& out) override {
        if (conn_.head < conn_.pending.size()) return handOut(out);
        if (conn_.socket == kNoSocket || conn_.lost) return false;
        const int64_t deadline = monotonicMicros() + kReadWaitMs * 1000LL;
        pumpUntil(deadline, [this] { return conn_.head < conn_.pending.size(); });
        if (conn_.head < conn_.pending.size()) return handOut(out);
        // A reply that is late may still be on its way, held in the server:
        // the next drop of stale input asks the server to purge it as well.
        if (conn_.requested) conn_.purgeDue = true;
        return false;
    }

    void discardInput() override {
        if (conn_.socket == kNoSocket || conn_.lost) {
            dropPending();
            return;
        }
        // What has arrived so far, without waiting (a line that keeps
        // sending is given up at the byte budget).
        pumpUntil(0, [] { return false; });
        const bool stale = conn_.head < conn_.pending.size();
        dropPending();
        // A late reply may have left more of itself in the server's buffer;
        // the server is asked to drop that too, and what it passed on before
        // it acknowledged is dropped here.
        if (conn_.telnet && !conn_.lost && (stale || conn_.purgeDue)) {
            conn_.purgeDue = false;
            conn_.answers[tn::kPurgeData].reset();
            if (send(tn::comPortCommand(tn::kPurgeData, {tn::kPurgeReceiveBuffer}))) {
                pumpUntil(monotonicMicros() + kPurgeMs * 1000LL,
                          [this] { return conn_.answers[tn::kPurgeData].has_value(); });
            }
            dropPending();
        }
    }

    bool close() override {
        if (conn_.socket == kNoSocket) return false;
        closeSocket(conn_.socket);
        conn_.socket = kNoSocket;
        dropPending();
        return true;
    }

    LineSettings requestedSettings() const override { return requestedSettings_; }
    std::string lastError() const override { return error_; }
    bool connectionLost() const override { return conn_.lost; }
    uint64_t bytesReceived() const override { return conn_.received; }
    bool babbling() const override { return conn_.babbling; }
    bool mayKeepConnection() const override { return conn_.socket != kNoSocket && !conn_.lost; }

private:
    bool fail(const std::string& reason) {
        error_ = reason;
        return false;
    }

    // Closes the connection after a failed open; `reason` unless the loss
    // of the connection already gave one.
    bool closeFailed(const std::string& reason = {}) {
        if (!conn_.lost && !reason.empty()) error_ = reason;
        close();
        return false;
    }

    bool handOut(uint8_t& out) {
        out = conn_.pending[conn_.head++];
        if (conn_.head == conn_.pending.size()) dropPending();
        return true;
    }

    void dropPending() {
        conn_.pending.clear();
        conn_.head = 0;
    }

    bool send(const std::vector<uint8_t>& bytes) { return sendBytes(bytes.data(), bytes.size()); }

    bool sendBytes(const uint8_t* data, std::size_t length) {
        const int timeoutMs = kWriteFixedMs + kWritePerByteMs * static_cast<int>(length > 100000 ? 100000 : length);
        std::string error;
        if (sendAll(conn_.socket, data, length, timeoutMs, error)) return true;
        loseConnection(error);
        return false;
    }

    // The connection is gone. A server that cannot serve the line says so in
    // one line of text and closes before it answered anything: that text is
    // the reason.
    void loseConnection(const std::string& systemReason) {
        if (conn_.lost) return;
        conn_.lost = true;
        std::string text = conn_.firstText;
        while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
        bool oneLine = !text.empty() && !conn_.answered && conn_.firstText.size() < kMaxFirstText;
        for (char c : text) {
            const auto u = static_cast<unsigned char>(c);
            if (u < 32 && c != '\t') oneLine = false;
            if (u >= 127) oneLine = false;
        }
        error_ = oneLine ? text : systemReason.empty() ? "the server closed the connection" : systemReason;
    }

    // The line keeps sending whatever is done: it is given up, as a lost
    // connection is, so that every exchange fails at once from here on.
    void giveUpBabbling(uint64_t bytes, int64_t micros) {
        if (conn_.lost) return;
        conn_.lost = true;
        conn_.babbling = true;
        error_ = babblingLineReason(bytes, micros);
        dropPending();
    }

    // Receives and decodes until `done` holds or `deadline` passes (0: only
    // what has already arrived). Answers the server's option requests on
    // the way. Bytes of any kind count against the byte budget, so that a
    // server sending without end (data, telnet commands, a subnegotiation
    // that never ends) cannot hold the wait beyond it, and what has already
    // arrived is taken for one drain's time at most.
    template <typename Done>
    void pumpUntil(int64_t deadline, Done done) {
        uint8_t buffer[512];
        std::vector<uint8_t> data;
        std::vector<tn::Event> events;
        const int64_t started = monotonicMicros();
        const uint64_t startBytes = conn_.received;
        while (!conn_.lost && !done()) {
            const int64_t now = monotonicMicros();
            if (conn_.received - startBytes > kLineByteBudget ||
                (deadline == 0 && now - started >= kDrainMs * 1000LL)) {
                giveUpBabbling(conn_.received - startBytes, now - started);
                return;
            }
            if (deadline != 0) {
                const int64_t left = deadline - now;
                if (left <= 0) return;
                if (!waitReadable(conn_.socket, static_cast<int>((left + 999) / 1000))) return;
            }
            std::string error;
            const Received got = receiveSome(conn_.socket, buffer, sizeof buffer, error);
            if (got.kind == Received::Kind::Nothing) {
                if (deadline == 0) return;
                continue;
            }
            if (got.kind != Received::Kind::Data) {
                loseConnection(got.kind == Received::Kind::Closed ? std::string() : error);
                return;
            }
            conn_.received += got.bytes;
            data.clear();
            events.clear();
            if (conn_.telnet) {
                conn_.decoder.feed(buffer, got.bytes, data, events);
            } else {
                data.assign(buffer, buffer + got.bytes);
            }
            takeData(data);
            std::vector<uint8_t> reply;
            for (const tn::Event& event : events) {
                conn_.options.note(event, reply);
                // The server's notifications (line and modem state) and
                // anything else it says are consumed here.
                if (const auto answer = tn::comPortAnswer(event); answer && answer->command <= tn::kPurgeData) {
                    conn_.answers[answer->command] = answer->value;
                }
            }
            if (!reply.empty() && !send(reply)) return;
        }
    }

    void takeData(const std::vector<uint8_t>& data) {
        if (data.empty()) return;
        if (conn_.firstText.size() < kMaxFirstText) {
            conn_.firstText.append(reinterpret_cast<const char*>(data.data()),
                                   std::min(data.size(), kMaxFirstText - conn_.firstText.size()));
        }
        if (conn_.requested) conn_.answered = conn_.answered || conn_.firstText.size() >= kMaxFirstText;
        if (conn_.pending.size() - conn_.head + data.size() > kMaxPending) return;
        conn_.pending.insert(conn_.pending.end(), data.begin(), data.end());
    }

    // What belongs to one connection: a new one starts from a fresh record.
    struct Connection {
        explicit Connection(bool telnetLine = false) : telnet(telnetLine), options(telnetLine) {}
        SocketHandle socket = kNoSocket;
        bool telnet = false;
        bool lost = false;
        bool babbling = false;   // lost because the line does not stop sending
        bool requested = false;  // a request has been written
        bool answered = false;   // more came than one line of text
        bool purgeDue = true;    // the server may hold input from before
        uint64_t received = 0;   // bytes of any kind since the connection was made
        std::string firstText;
        std::vector<uint8_t> pending;
        std::size_t head = 0;
        tn::Decoder decoder;
        tn::OptionTable options;
        std::optional<std::vector<uint8_t>> answers[tn::kPurgeData + 1];
    };

    Connection conn_;
    std::string error_;
    LineSettings requestedSettings_{};
};

}  // namespace

std::string babblingLineReason(uint64_t bytes, int64_t micros) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "the line does not stop sending (%llu bytes in %.3f s): a device or server on the line may be "
                  "babbling",
                  static_cast<unsigned long long>(bytes), static_cast<double>(micros) / 1e6);
    return text;
}

bool parseNetworkPort(const std::string& name, NetworkPort& out) {
    std::string rest;
    if (lowerPrefix(name, "rfc2217://")) {
        out.kind = LineKind::Rfc2217;
        rest = name.substr(10);
    } else if (lowerPrefix(name, "tcp://")) {
        out.kind = LineKind::Tcp;
        rest = name.substr(6);
    } else {
        return false;
    }
    std::size_t colon = 0;
    if (!rest.empty() && rest[0] == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos || close < 3) return false;
        out.host = rest.substr(1, close - 1);
        for (char c : out.host) {
            if (!ipv6Char(c)) return false;
        }
        if (out.host.find(':') == std::string::npos) return false;
        colon = close + 1;
        if (colon >= rest.size() || rest[colon] != ':') return false;
    } else {
        colon = rest.find(':');
        if (colon == std::string::npos || colon == 0) return false;
        out.host = rest.substr(0, colon);
        for (char c : out.host) {
            if (!hostNameChar(c)) return false;
        }
    }
    out.port = rest.substr(colon + 1);
    if (out.port.empty() || out.port.size() > 5) return false;
    for (char c : out.port) {
        if (c < '0' || c > '9') return false;
    }
    const long number = std::stol(out.port);
    return number >= 1 && number <= 65535;
}

LineKind lineKind(const std::string& name) {
    NetworkPort where;
    return parseNetworkPort(name, where) ? where.kind : LineKind::Serial;
}

int comPortIndex(const std::string& name) {
    if (name.size() != 4 || !lowerPrefix(name, "com") || name[3] < '1' || name[3] > '4') return -1;
    return name[3] - '1';
}

bool validPortName(const std::string& name) {
    return (!name.empty() && name[0] == '/') || lineKind(name) != LineKind::Serial || comPortIndex(name) >= 0;
}

std::unique_ptr<LineDevice> makeLineDeviceFor(const std::string& name) {
    if (lineKind(name) != LineKind::Serial) return std::make_unique<NetworkLineDevice>();
    return makeLineDevice();
}

}  // namespace platform
