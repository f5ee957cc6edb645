// Opening the line and finding a controller on it, in the selected protocol
// or, under Auto Detect, MODBUS first and TVX Standard second.
#include "transfer/connection.h"

#include <cctype>

#include "common/console_io.h"
#include "common/settings.h"
#include "handlers/function_handlers.h"
#include "link/modbus.h"
#include "link/serial_port.h"
#include "link/tvx.h"
#include "platform/interrupts.h"
#include "platform/line_device.h"
#include "transfer/outcome.h"

namespace {

// The last probe ended because the server closed the connection.
bool serverRefused = false;

// Auto Detect closes the line between its probes and opens it again in the
// other format; a network line keeps its connection meanwhile.
class KeptConnection {
public:
    KeptConnection() { serialPort.keepConnectionOnClose(true); }
    ~KeptConnection() { end(); }
    void end() { serialPort.keepConnectionOnClose(false); }
};

// The character format for an attempt in a protocol whose own format is
// `protocolFormat`, unless the user chose one.
int formatFor(int protocolFormat) {
    return commSettings.characterFormat == kFormatDefault ? protocolFormat : commSettings.characterFormat;
}

// A device path from the command line wins over the COM port index.
int openLine(int characterFormat) {
    const int result = !commSettings.devicePath.empty()
                           ? serialPort.openPath(commSettings.devicePath, characterFormat, commSettings.baudRate)
                           : serialPort.open(commSettings.comPort, characterFormat, commSettings.baudRate);
    // A line that does not stop sending while it is opened is a line on
    // which nothing answered.
    if (result != 0)
        outcome::fail(serialPort.failedBabbling() ? kExitNoController : kExitPort, serialPort.failedDevice(),
                      serialPort.failureReason());
    return result;
}

void noAnswer(const char* protocols) {
    if (platform::pendingInterrupt() != 0) return;  // the signal ended the attempt
    // A raw network line keeps the server's own line settings: the baud
    // rate and format given here never reach the line.
    const bool raw = platform::lineKind(lineDeviceName()) == platform::LineKind::Tcp;
    outcome::fail(kExitNoController, lineDeviceName(),
                  "no controller answered at unit " + std::to_string(commSettings.unitAddress) + " (" + protocols +
                      (raw ? "); check the server's own line settings (a tcp:// line keeps the server's baud rate "
                             "and character format; the baud rate given here is not used), the unit address and "
                             "the cable"
                           : "); check the baud rate, character format, unit address and cable"));
}

// Reads holding register 1; the value is dropped. After an attempt that got
// no answer, the next one is a request whose reply cannot be taken for the
// first one's, should that come late.
bool modbusProbe() {
    if (serialPort.repliesOwed()) return !modbusResynchronise(1).faulted();
    int values[1] = {0};
    return modbusTransaction(3, 1, 1, values).code == 0;
}

bool tvxProbe() {
    if (serialPort.repliesOwed()) return !tvxResynchronise(1).faulted();
    int values[8] = {};
    return tvxTransaction(COM_MODEL, "", "W", values).code == COM_OK;
}

// A network line whose server closed the connection before any answer
// (a device server that cannot serve the port says why in one line of
// text): the port cannot be used, and the connection attempt ends. So it
// does on a line that does not stop sending, on which nothing answered.
bool connectionRefusedByServer() {
    if (!serialPort.lineLost()) return false;
    const std::string reason = serialPort.lostReason();
    if (serialPort.lineBabbling()) {
        conPrintf("No response: %s.\n", reason.c_str());
        outcome::fail(kExitNoController, lineDeviceName(), reason);
        return true;
    }
    conPrintf("The server closed the connection: %s\n", reason.c_str());
    outcome::fail(kExitPort, lineDeviceName(), reason);
    return true;
}

void giveUp() {
    serialPort.close();
    commSettings.functionHandler = noopFunctionHandler;
}

// The selected-protocol paths: no answer is shown and waits for a key.
int connectSelected(int characterFormat, bool (*probe)(), int attempts, FunctionHandler handler) {
    if (openLine(characterFormat) != 0) return 1;
    conPrintf("\nSending request to controller...\n");
    bool answered = false;
    for (int i = 0; i < attempts && !answered; ++i) answered = probe();
    if (answered) {
        conPrintf("Controller responding...\n");
        commSettings.functionHandler = handler;
        return 0;
    }
    if (connectionRefusedByServer()) {
        giveUp();
        return 1;
    }
    showMessageAndWait("No response: Nothing connected...");
    noAnswer(protocolName(commSettings.protocol));
    giveUp();
    return 1;
}

struct Probe {
    bool (*send)();
    const char* success;
    const char* failure;
    Protocol protocol;
    FunctionHandler handler;
};

const Probe kModbusProbe = {modbusProbe, "Success: MODBUS selected.\n", "No response: MODBUS.\n", kModbus,
                            modbusFunctionHandler};
const Probe kTvxProbe = {tvxProbe, "Success: TVX Standard selected.\n", "No response: TVX Standard.\n", kTvxStandard,
                         tvxFunctionHandler};

// Two attempts on an open line; the line is closed when neither answered.
int tryProtocol(const Probe& probe) {
    if (probe.send() || probe.send()) {
        conPrintf("%s", probe.success);
        commSettings.protocol = probe.protocol;
        commSettings.functionHandler = probe.handler;
        return 1;
    }
    conPrintf("%s", probe.failure);
    serverRefused = connectionRefusedByServer();
    giveUp();
    return 0;
}

}  // namespace

std::string lineDeviceName() {
    return commSettings.devicePath.empty() ? platform::portDeviceName(commSettings.comPort) : commSettings.devicePath;
}

std::string lineLossText() {
    if (serialPort.outOfStep()) return "the line is lost";
    if (!serialPort.lineLost()) return {};
    const std::string reason = serialPort.lostReason();
    if (serialPort.lineBabbling()) return reason;
    return "the network connection was lost: " + (reason.empty() ? "the server closed the connection" : reason);
}

std::string controllerGoneText() {
    const std::string loss = lineLossText();
    return loss.empty() ? "the controller stopped answering" : loss;
}

namespace {

// A phrase as a sentence on a line of its own; a lost line says why.
void showSentence(std::string text) {
    if (serialPort.outOfStep() && text == "the line is lost")
        text += ": after a reply that came too late or not at all, three requests to bring it back in step went "
                "unanswered";
    text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    conPrintf("\n%s.\n", text.c_str());
}

}  // namespace

void showLineLoss() {
    const std::string loss = lineLossText();
    if (!loss.empty()) showSentence(loss);
}

void showControllerGone() { showSentence(controllerGoneText()); }

int tryModbus() { return tryProtocol(kModbusProbe); }

int tryTvxStandard() { return tryProtocol(kTvxProbe); }

int connectToController() {
    // The line asks the console through these while the transfer runs.
    setLineConsole({dropKeyPressed, confirmLineWriteError, conPuts});
    if (serialPort.portActive == 1) {
        conPrintf("Error:  Communications port already active.  Cannot continue.");
        return 0;
    }
    switch (commSettings.protocol) {
        case kModbus: {
            commSettings.modbusStartChar = ':';
            const int result = connectSelected(formatFor(kFormat7N2), modbusProbe, 1, modbusFunctionHandler);
            if (result != 0) commSettings.modbusStartChar = ':';
            return result;
        }
        case kTvxStandard: return connectSelected(formatFor(kFormat8N1), tvxProbe, 2, tvxFunctionHandler);
        case kAutoDetect: {
            KeptConnection kept;
            serverRefused = false;
            if (openLine(formatFor(kFormat7N2)) != 0) return 1;
            conPrintf("Auto Detect: trying MODBUS...\n");
            if (tryModbus() == 1) return 0;
            if (serverRefused) return 1;
            conPrintf("No response: trying TVX Standard...\n");
            if (openLine(formatFor(kFormat8N1)) != 0) return 1;
            kept.end();
            if (tryTvxStandard() == 1) return 0;
            if (serverRefused) return 1;
            noAnswer("neither MODBUS nor TVX Standard");
            return 1;
        }
        default: return 1;
    }
}
