#include "shell/menus.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/console_io.h"
#include "handlers/function_handlers.h"
#include "image/controller_image.h"
#include "platform/console.h"
#include "shell/settings_file.h"
#include "transfer/transfer.h"

namespace {

// Set by any valid submenu choice; decides whether the settings are saved.
bool settingsChanged = false;

// The unit address entry holds at most this many characters.
constexpr std::size_t kUnitAddressEntrySize = 127;

constexpr int kExitDone = 0;
constexpr int kExitSettingsFile = 3;
constexpr int kGoOn = -1;

const char kMainMenuText[] =
    "\r\n    ---Main Menu---\n 1. Communication Parameters.\n 2. Upload From Controller to File.\n"
    " 3. Download From File to Controller.\n 4. Exit (ESC)\n\n Choose Option: ";
const char kCommunicationMenuFormat[] =
    "\n      ---Communication Menu---\n   1. Comm Port       : %s\n   2. Baud Rate       : %i\n"
    "   3. Unit Address    : %i\n   4. Protocol        : %s\n   5. Exit (ESC)\n\n   Choose Option: ";

void choosePort(int index) { commSettings.comPort = index; }

void chooseBaudRate(int index) {
    static const int kRates[] = {4800, 9600, 19200, 38400};
    commSettings.baudRate = kRates[index];
}

struct ProtocolChoice {
    uint8_t protocol;
    FunctionHandler handler;  // nullptr: left as it is
    bool resetStartChar;
};

const ProtocolChoice kProtocolChoices[] = {
    {kAutoDetect, nullptr, true},
    {kModbus, modbusFunctionHandler, true},
    {kTvxStandard, tvxFunctionHandler, false},
};

void chooseProtocol(int index) {
    const ProtocolChoice& choice = kProtocolChoices[index];
    commSettings.protocol = choice.protocol;
    if (choice.handler != nullptr) commSettings.functionHandler = choice.handler;
    if (choice.resetStartChar) commSettings.modbusStartChar = ':';
}

struct Submenu {
    const char* text;
    int choices;  // keys '1' .. '0' + choices
    void (*choose)(int index);
    const char* invalidMessage;
};

const Submenu kPortsMenu{"\n      ---Ports---\n   1. COM1\n   2. COM2\n   3. COM3\n   4. COM4\n\n   Choose Option: ", 4,
                         choosePort, "Invalid Com Port specified, press any key...\n"};
const Submenu kBaudRatesMenu{
    "\n      ---Baud Rates---\n   1. 4800\n   2. 9600\n   3. 19200\n   4. 38400\n\n   Choose Option: ", 4,
    chooseBaudRate, "Invalid Baud Rate specified, press any key...\n"};
const Submenu kProtocolsMenu{
    "\n        ---Protocols---\n     1. Auto Detect\n     2. MODBUS\n     3. TVX Standard\n\n"
    "     Choose Option: ",
    3, chooseProtocol, "Invalid protocol specified, press any key...\n"};

void runSubmenu(const Submenu& menu) {
    conPuts(menu.text);
    const int key = getKeyEcho();
    conPuts("\n");
    if (key >= '1' && key < '1' + menu.choices) {
        menu.choose(key - '1');
        settingsChanged = true;
        return;
    }
    if (key == platform::kKeyEscape) return;
    conPuts(menu.invalidMessage);
    getKey();
}

// Reads the entry as "%i" would: decimal, hexadecimal after "0x", octal
// after a leading "0", text after the number ignored.
bool parseUnitAddress(const std::string& entry, long& value) {
    const char* start = entry.c_str();
    char* end = nullptr;
    errno = 0;
    value = std::strtol(start, &end, 0);
    return end != start && errno == 0;
}

const char kSettingsFileFailed[] = "Not able to open configuration file for update...\r\n";

int saveAndLeave() {
    if (!settingsChanged) return kGoOn;
    std::FILE* file = openSettingsFileForUpdate();
    if (file == nullptr) {
        conPuts(kSettingsFileFailed);
        return kExitSettingsFile;
    }
    conPuts("Updating configuration file...\n");
    // The old content is gone already; a line that cannot be written ends
    // the program as an unopenable file does.
    if (!writeSettingsFile(file)) {
        conPuts(kSettingsFileFailed);
        return kExitSettingsFile;
    }
    return kGoOn;
}

}  // namespace

void printBanner() {
    conPrintf("\n      Varimotion\n      Linkora Communications Utility\n      Revision %2.2f", kProgramRevision);
    conPuts("\n");
}

bool enterUnitAddress() {
    conPuts("\nUnit Address= ");
    std::string entry;
    for (;;) {
        const int key = getKey();
        if (key == platform::kKeyEnter) {
            conPuts("\n");
            break;
        }
        if (key == platform::kKeyEscape) return false;
        if (key == platform::kKeyBackspace) {
            if (!entry.empty()) {
                entry.pop_back();
                conPutc('\b');
                conPutc(' ');
                conPutc('\b');
            }
            continue;
        }
        if (key < 0 || key > 255) continue;  // a special key is no character
        if (entry.size() >= kUnitAddressEntrySize) continue;
        conPutc(key);
        entry.push_back(static_cast<char>(key));
    }
    if (entry.empty()) return false;

    long value = 0;
    if (parseUnitAddress(entry, value) && value >= 1 && value <= 254) {
        commSettings.unitAddress = static_cast<int>(value);
        settingsChanged = true;
        return true;
    }
    conPuts("Invalid unit address specified, press any key...\n");
    getKey();
    return false;
}

int communicationMenu() {
    for (;;) {
        clearScreen();
        printBanner();
        conPrintf(kCommunicationMenuFormat, comPortName(commSettings.comPort), commSettings.baudRate,
                  commSettings.unitAddress, protocolName(commSettings.protocol));
        const int key = getKeyEcho();
        conPuts("\n");
        switch (key) {
            case '1': runSubmenu(kPortsMenu); break;
            case '2': runSubmenu(kBaudRatesMenu); break;
            case '3': enterUnitAddress(); break;
            case '4': runSubmenu(kProtocolsMenu); break;
            case '5':
            case platform::kKeyEscape: return saveAndLeave();
            default: break;
        }
    }
}

int mainMenu() {
    for (;;) {
        transferOptions.setDefaults = false;
        transferOptions.keepOffsets = false;
        transferOptions.verifyDownload = false;
        clearScreen();
        printBanner();
        conPuts(kMainMenuText);
        const int key = getKeyEcho();
        switch (key) {
            case '1': {
                settingsChanged = false;
                const int status = communicationMenu();
                if (status >= 0) return status;
                break;
            }
            case '2': {
                const int status = upload(0);
                releaseSetpoints();
                if (status >= kInterruptedStatus) return status;  // ended by a signal
                break;
            }
            case '3': {
                const int status = download(0);
                if (status >= kInterruptedStatus) return status;
                break;
            }
            case '4':
            case platform::kKeyEscape: return kExitDone;
            default: break;
        }
    }
}
