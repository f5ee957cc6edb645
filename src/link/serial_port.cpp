#include "link/serial_port.h"

#include <cctype>

#include "common/console_io.h"

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

}  // namespace

void setLineObserver(LineObserver observer) { lineObserver = observer; }

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
        conPuts("Bad COM Port Argument!");
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

    std::unique_ptr<platform::LineDevice> device;
    if (kept_ && keptPath_ == path) {
        device = std::move(kept_);
    } else {
        keepConnectionOnClose(keepConnection_);  // a connection to another port ends
        device = factory_ ? factory_() : platform::makeLineDeviceFor(path);
        if (!device || !device->open(path)) {
            conPuts("Error opening com port.  349");
            return fail(path, device ? device->lastError() : std::string(), "cannot be opened");
        }
    }
    activeport = std::move(device);
    activePath_ = path;

    if (!activeport->readSettings()) {
        conPuts("GetCommState(activeport,&serialconfig) Error.\r\n");
        const std::string reason = activeport->lastError();
        close();
        return fail(path, reason, "line settings cannot be read");
    }
    const auto settings = lineSettingsForFormat(characterFormat, baudRate);
    if (!settings) {
        conPuts("Wrong format type for Comport Initialization...");
        close();
        return fail(path, "", "unknown character format");
    }
    if (!activeport->applySettings(*settings)) {
        conPuts("SetCommState(activeport,&serialconfig) Error.\r\n");
        const std::string reason = activeport->lastError();
        close();
        return fail(path, reason, "line settings refused");
    }
    if (!activeport->setReceiveNotification()) {
        conPuts("Error at SetCommMask");
        close();
        return fail(path, "", "receive notification refused");
    }
    // Whatever the line holds now was meant for an earlier run.
    activeport->discardInput();
    settle();
    outOfStep_ = false;
    portActive = 1;
    return 0;
}

void SerialPort::keepConnectionOnClose(bool keep) {
    keepConnection_ = keep;
    if (kept_) {
        kept_->close();
        kept_.reset();
    }
}

bool SerialPort::lineLost() const { return activeport && activeport->connectionLost(); }

std::string SerialPort::lostReason() const { return activeport ? activeport->lastError() : std::string(); }

void SerialPort::close() {
    if (activeport && keepConnection_ && platform::lineKind(activePath_) != platform::LineKind::Serial &&
        !activeport->connectionLost()) {
        kept_ = std::move(activeport);
        keptPath_ = activePath_;
    }
    if (activeport) {
        if (!activeport->close()) conPuts("Error closing serial port.\r\n");
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
    if (activeport && activeport->write(bytes, length)) return 0;
    // A lost network connection is a line that stopped answering, not a
    // fault to confirm with a key.
    if (lineLost()) return 1;
    conPuts("write error #1 to comm port");
    getKey();
    return 1;
}

int SerialPort::readByte(uint8_t& out) {
    if (!activeport) return 0;
    uint8_t byte = 0;
    if (!activeport->readByte(byte)) return 0;
    out = byte;
    if (lineObserver) lineObserver(false, &byte, 1);
    return 1;
}
