#include "link/serial_port.h"

#include <cctype>

#include "link/exchange_health.h"
#include "platform/clock.h"

SerialPort serialPort;

const char* const kCharacterFormatNames[12] = {
    "7N1", "7N2", "7E1", "7E2", "7O1", "7O2", "8N1", "8N2", "8E1", "8E2", "8O1", "8O2",
};

namespace {

struct FormatRow {
    int dataBits;
    platform::Parity parity;
    int stopBits;
};

// Rows in the order of kCharacterFormatNames.
constexpr FormatRow kNamedFormats[12] = {
    {7, platform::Parity::None, 1}, {7, platform::Parity::None, 2}, {7, platform::Parity::Even, 1},
    {7, platform::Parity::Even, 2}, {7, platform::Parity::Odd, 1},  {7, platform::Parity::Odd, 2},
    {8, platform::Parity::None, 1}, {8, platform::Parity::None, 2}, {8, platform::Parity::Even, 1},
    {8, platform::Parity::Even, 2}, {8, platform::Parity::Odd, 1},  {8, platform::Parity::Odd, 2},
};
constexpr FormatRow k7N2 = {7, platform::Parity::None, 2};
constexpr FormatRow k8N1 = {8, platform::Parity::None, 1};

LineObserver lineObserver = nullptr;
LineConsole theLineConsole;

// A request's reply is over, at the latest, three reply time-outs after the
// request (a slow controller may pause for nearly a time-out between
// characters, a few times) plus twice the time the longest reply (512
// characters of up to 12 bits) takes at the line's baud rate: a line still
// sending after that, or sending more than the byte budget between two good
// replies, does not stop sending, whatever it sends.
constexpr int64_t kReplyTimeoutMicros = 3000000;
constexpr int64_t kLongestReplyBits = 512 * 12;

int64_t replyLimitMicros(int baudRate) {
    return 3 * kReplyTimeoutMicros + 2 * kLongestReplyBits * 1000000 / (baudRate > 0 ? baudRate : 9600);
}

}  // namespace

void setLineObserver(LineObserver observer) { lineObserver = observer; }

void setLineConsole(const LineConsole& console) { theLineConsole = console; }

const LineConsole& lineConsole() { return theLineConsole; }

void lineSay(const char* text) {
    if (theLineConsole.say) theLineConsole.say(text);
}

std::optional<int> characterFormatFromName(const std::string& name) {
    if (name.size() != 3) return std::nullopt;
    for (int i = 0; i < 12; ++i) {
        const char* candidate = kCharacterFormatNames[i];
        bool same = true;
        for (int k = 0; k < 3; ++k) {
            if (std::toupper(static_cast<unsigned char>(name[k])) != candidate[k]) same = false;
        }
        if (same) return kFormatNamedFirst + i;
    }
    return std::nullopt;
}

std::optional<platform::LineSettings> lineSettingsForFormat(int code, int baudRate) {
    const FormatRow* row = nullptr;
    if (code == 1 || code == 6) {
        row = &k7N2;
    } else if (code == 2 || code == 3) {
        row = &k8N1;
    } else if (code >= kFormatNamedFirst && code < kFormatNamedFirst + 12) {
        row = &kNamedFormats[code - kFormatNamedFirst];
    } else {
        return std::nullopt;
    }
    platform::LineSettings settings;
    settings.baudRate = baudRate;
    settings.dataBits = row->dataBits;
    settings.parity = row->parity;
    settings.stopBits = row->stopBits;
    return settings;
}

void SerialPort::setDeviceFactory(platform::LineDeviceFactory factory) { factory_ = std::move(factory); }

int SerialPort::fail(const std::string& path, const std::string& reason, const char* fallback) {
    failedDevice_ = path;
    failureReason_ = reason.empty() ? fallback : reason;
    return -1;
}

int SerialPort::open(int portIndex, int characterFormat, int baudRate) {
    if (portIndex < 0 || portIndex > 3) {
        lineSay("Bad COM Port Argument!");
        return fail("COM" + std::to_string(portIndex + 1), "", "no such port");
    }
    return openDevice(platform::portDeviceName(portIndex), characterFormat, baudRate);
}

int SerialPort::openPath(const std::string& path, int characterFormat, int baudRate) {
    return openDevice(path, characterFormat, baudRate);
}

int SerialPort::openDevice(const std::string& path, int characterFormat, int baudRate) {
    // Only one line at a time: a line left open is closed before another is opened.
    if (activeport) close();
    failedDevice_.clear();
    failureReason_.clear();
    failedBabbling_ = false;
    babbling_ = false;
    baudRate_ = baudRate;

    std::unique_ptr<platform::LineDevice> device;
    if (kept_ && keptPath_ == path) {
        device = std::move(kept_);
    } else {
        keepConnectionOnClose(keepConnection_);  // a connection to another port ends
        device = factory_ ? factory_() : platform::makeLineDeviceFor(path);
        if (!device || !device->open(path)) {
            lineSay("Error opening com port.  349");
            failedBabbling_ = device && device->babbling();
            return fail(path, device ? device->lastError() : std::string(), "cannot be opened");
        }
    }
    activeport = std::move(device);
    activePath_ = path;

    if (!activeport->readSettings()) {
        lineSay("GetCommState(activeport,&serialconfig) Error.\r\n");
        const std::string reason = activeport->lastError();
        close();
        return fail(path, reason, "line settings cannot be read");
    }
    const auto settings = lineSettingsForFormat(characterFormat, baudRate);
    if (!settings) {
        lineSay("Wrong format type for Comport Initialization...");
        close();
        return fail(path, "", "unknown character format");
    }
    if (!activeport->applySettings(*settings)) {
        lineSay("SetCommState(activeport,&serialconfig) Error.\r\n");
        const std::string reason = activeport->lastError();
        failedBabbling_ = activeport->babbling();
        close();
        return fail(path, reason, "line settings refused");
    }
    if (!activeport->setReceiveNotification()) {
        lineSay("Error at SetCommMask");
        close();
        return fail(path, "", "receive notification refused");
    }
    // Whatever the line holds now was meant for an earlier run.
    activeport->discardInput();
    startCounting();
    settle();
    outOfStep_ = false;
    portActive = 1;
    return 0;
}

void SerialPort::startCounting() {
    goodReplyBytes_ = activeport ? activeport->bytesReceived() : 0;
    goodReplyMicros_ = requestMicros_ = nowMicros();
}

int64_t SerialPort::requestAgeMicros() const { return nowMicros() - requestMicros_; }

int64_t SerialPort::nowMicros() const { return activeport ? activeport->nowMicros() : platform::monotonicMicros(); }

void SerialPort::pauseMicros(int64_t micros) {
    if (activeport) {
        activeport->pauseMicros(micros);
    } else {
        platform::sleepMicros(micros);
    }
}

void SerialPort::noteGoodReply() {
    if (!babbling_) startCounting();
}

// Gives the line up once it sent more than the byte budget since the last
// good reply, or a byte still arrives when the reply should long be over.
void SerialPort::checkSending(bool byteArrived) {
    if (babbling_ || !activeport) return;
    const uint64_t bytes = activeport->bytesReceived() - goodReplyBytes_;
    const int64_t now = nowMicros();
    if (bytes <= platform::kLineByteBudget && !(byteArrived && now - requestMicros_ > replyLimitMicros(baudRate_)))
        return;
    babbling_ = true;
    babblingReason_ = platform::babblingLineReason(bytes, now - goodReplyMicros_);
}

void SerialPort::keepConnectionOnClose(bool keep) {
    keepConnection_ = keep;
    if (kept_) {
        kept_->close();
        kept_.reset();
    }
}

bool SerialPort::lineLost() const { return babbling_ || (activeport && activeport->connectionLost()); }

std::string SerialPort::lostReason() const {
    if (babbling_) return babblingReason_;
    return activeport ? activeport->lastError() : std::string();
}

bool SerialPort::lineBabbling() const { return babbling_ || (activeport && activeport->babbling()); }

void SerialPort::close() {
    if (activeport && keepConnection_ && activeport->mayKeepConnection() && !lineLost()) {
        kept_ = std::move(activeport);
        keptPath_ = activePath_;
    }
    if (activeport) {
        if (!activeport->close()) lineSay("Error closing serial port.\r\n");
        activeport.reset();
    }
    settle();
    outOfStep_ = false;
    portActive = 0;
}

bool SerialPort::owes(const ReplyForm& form) const {
    for (int i = 0; i < owedCount_; ++i) {
        if (!owed_[i].any && owed_[i] == form) return true;
    }
    return false;
}

bool SerialPort::owesAnyForm() const {
    for (int i = 0; i < owedCount_; ++i) {
        if (owed_[i].any) return true;
    }
    return false;
}

void SerialPort::noteOwed(const ReplyForm& form) {
    if (owedCount_ == kOwedForms) {
        for (int i = 1; i < kOwedForms; ++i) owed_[i - 1] = owed_[i];
        --owedCount_;
    }
    owed_[owedCount_++] = form;
}

void SerialPort::forgetAnyForms() {
    int kept = 0;
    for (int i = 0; i < owedCount_; ++i) {
        if (!owed_[i].any) owed_[kept++] = owed_[i];
    }
    owedCount_ = kept;
}

int SerialPort::write(const void* buffer, std::size_t length) {
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    if (lineObserver) lineObserver(true, bytes, length);
    // Every write is a request, and a byte received before it belongs to an
    // earlier one (a reply that came too late): it is dropped so that it
    // cannot be read as the answer to this one. The answer itself cannot
    // come before the request has been written.
    if (activeport) activeport->discardInput();
    checkSending(false);
    if (babbling_) return 1;
    requestMicros_ = nowMicros();
    if (activeport && activeport->write(bytes, length)) return 0;
    // A lost network connection is a line that stopped answering, not a
    // fault to confirm with a key.
    if (lineLost()) return 1;
    if (theLineConsole.writeFailed) theLineConsole.writeFailed();
    return 1;
}

int SerialPort::readByte(uint8_t& out) {
    // A halted line (a signal pending, the line lost) ends the reply being
    // received too, however the line keeps sending.
    if (!activeport || replyAbandoned()) return 0;
    uint8_t byte = 0;
    const bool got = activeport->readByte(byte);
    checkSending(got);
    if (!got || babbling_) return 0;
    out = byte;
    if (lineObserver) lineObserver(false, &byte, 1);
    return 1;
}
