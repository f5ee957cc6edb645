// The unattended command line:
//   linkora <direction> <unitAddress> <comPort> <baudRate> <Filename> [options]
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "chart/show_command.h"
#include "common/console_io.h"
#include "common/progress.h"
#include "common/settings.h"
#include "link/serial_port.h"
#include "platform/line_device.h"
#include "platform/process.h"
#include "transfer/connection.h"
#include "transfer/file_commands.h"
#include "transfer/outcome.h"
#include "transfer/transfer.h"
#include "transfer/unit_configuration.h"

namespace {

std::string lowerCase(const char* text) {
    std::string out;
    for (const char* c = text; *c != '\0'; ++c) out += (*c >= 'A' && *c <= 'Z') ? static_cast<char>(*c + 32) : *c;
    return out;
}

const char kUsage[] =
    "Usage: linkora <direction> <unitAddress> <comPort> <baudRate> <Filename>\n"
    "               [options]\n"
    "  direction    u = upload from controller to file,\n"
    "               d = download from file to controller\n"
    "  unitAddress  0..255\n"
    "  comPort      COM1..COM4, or the path of a serial device (/dev/...),\n"
    "               or a serial device server: rfc2217://HOST:PORT (telnet with\n"
    "               the COM port option) or tcp://HOST:PORT (raw: the server's\n"
    "               line settings apply)\n"
    "  baudRate     300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200\n"
    "  options, upload:   [mappingsOnly] [characterFormat]\n"
    "  options, download: [<setDefaults> <keepOffsets> <verifyDownload>]\n"
    "                     [characterFormat]\n"
    "  mappingsOnly, setDefaults, keepOffsets, verifyDownload: Y or N (default N)\n"
    "  characterFormat: 7N1, 7N2, 7E1, 7E2, 7O1, 7O2, 8N1, 8N2, 8E1, 8E2, 8O1, 8O2\n"
    "Exit status:\n"
    "  0 done                        1 transfer failed\n"
    "  2 wrong command line          3 port cannot be opened\n"
    "  4 no controller answered      5 data file cannot be read or written, or\n"
    "                                no data file (refused by a download)\n"
    "  6 verification found differences\n"
    "  7 done, but the file had lines the download ignored or values it cut\n"
    "  8 done, but the controller was found stopped (it may hold an\n"
    "    unfinished download)\n"
    "  9 done, but the controller's restart was not confirmed\n"
    "  128+n ended by signal n       a hand-over ends with the sibling's status\n"
    "Environment:\n"
    "  LINKORA_COM1..LINKORA_COM4  the device (or network port) for COM1..COM4\n"
    "  LINKORA_PROTOCOL=modbus|tvx the protocol, without Auto Detect\n"
    "  LINKORA_TRACE=file          append every frame sent and received to file\n"
    "linkora --version prints the version; man linkora tells more.\n";

const char kQuestionUsage[] =
    "Questions, which change nothing (exit status 0 nothing found,\n"
    "1 findings or differences, 2 trouble):\n"
    "  linkora check <Filename>        lint a data file before a download\n"
    "                                  example: linkora check press.dat\n"
    "  linkora diff <FileA> <FileB>    compare two data files\n"
    "                                  example: linkora diff march.dat april.dat\n"
    "  linkora c <unitAddress> <comPort> <baudRate> <Filename> [characterFormat]\n"
    "                                  compare the controller with a data file\n"
    "                                  example: linkora c 1 COM1 9600 press.dat\n"
    "A download sends nothing of a line that check calls an error; unattended,\n"
    "a download of a file with lines it ignores or changes ends with status 7.\n"
    "Pictures (exit status 0 drawn, 2 trouble):\n"
    "  linkora show <Filename> [--program N] [--against OtherFile] [--svg OUT]\n"
    "                                  draw the programs as timing charts, in the\n"
    "                                  terminal or as SVG of A4 pages (--svg -: to\n"
    "                                  standard output); --against marks the\n"
    "                                  setpoints added and removed since OtherFile\n"
    "                                  and lists every other difference; one SVG\n"
    "                                  holds at most 24 pages: beyond, p.svg becomes\n"
    "                                  p-1.svg, p-2.svg, ... one per program number\n"
    "                                  example: linkora show press.dat --svg p.svg\n";

const int kBaudRates[] = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// A whole-argument integer in the "%i" conventions.
std::optional<long> wholeNumber(const char* text) {
    if (*text == '\0') return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 0);
    if (errno != 0 || *end != '\0') return std::nullopt;
    return value;
}

// Y or N, either case.
std::optional<bool> yesNo(const std::string& text) {
    const std::string word = upper(text);
    if (word == "Y") return true;
    if (word == "N") return false;
    return std::nullopt;
}

struct Parsed {
    bool upload = true;
    int unitAddress = 1;
    int comPort = 0;
    std::string devicePath;
    int baudRate = 9600;
    std::string fileName;
    bool mappingsOnly = false;
    bool setDefaults = false;
    bool keepOffsets = false;
    bool verifyDownload = false;
    int characterFormat = kFormatDefault;
    std::string question;    // check, diff or c; empty for a transfer
    std::string secondFile;  // diff
    ShowRequest show;        // show
};

// The message for a wrong command line, or empty when it is right.
std::string parse(const std::vector<std::string>& args, Parsed& out) {
    // The longest line is a download with its three flags and a format.
    if (args.size() < 5 || args.size() > 9) return "Wrong number of command line arguments!";

    // Address, port and speed are checked before the direction, so that a
    // line with several faults names the first of these.
    const std::optional<long> unit = wholeNumber(args[1].c_str());
    if (!unit || *unit < 0 || *unit > 255) return "unitAddress out of range 0..255";
    out.unitAddress = static_cast<int>(*unit);

    if (!platform::validPortName(args[2])) return "Invalid COM port specified!";
    if (const int com = platform::comPortIndex(args[2]); com >= 0) {
        out.comPort = com;
    } else {
        out.devicePath = args[2];
    }

    const std::optional<long> baud = wholeNumber(args[3].c_str());
    bool knownRate = false;
    for (int rate : kBaudRates) knownRate = knownRate || (baud && *baud == rate);
    if (!knownRate) return "Invalid COM speed specified!";
    out.baudRate = static_cast<int>(*baud);

    const std::string direction = upper(args[0]);
    if (direction == "U") {
        out.upload = true;
        if (args.size() > 7) return "Wrong number of command line arguments!";
    } else if (direction == "D") {
        out.upload = false;
        if (args.size() == 7) return "Wrong number of command line arguments!";
    } else {
        return "Invalid direction specified!";
    }

    out.fileName = args[4];
    if (out.fileName.empty() || out.fileName.size() >= static_cast<std::size_t>(kDataFileNameSize)) {
        return "Filename must have 1 to 4095 characters!";
    }

    std::vector<std::string> options(args.begin() + 5, args.end());
    if (out.upload) {
        // [mappingsOnly] [characterFormat]: a single option is the one it reads as.
        if (!options.empty() && (options.size() == 2 || yesNo(options[0]))) {
            const std::optional<bool> flag = yesNo(options[0]);
            if (!flag) return "Invalid mappingsOnly specified!";
            out.mappingsOnly = *flag;
            options.erase(options.begin());
        }
    } else if (options.size() >= 3) {
        static const char* const kMessages[] = {"Invalid defaultSettings specified!",
                                                "Invalid sacredOffsets specified!",
                                                "Invalid verifyDownload specified!"};
        bool* const flags[] = {&out.setDefaults, &out.keepOffsets, &out.verifyDownload};
        for (int i = 0; i < 3; ++i) {
            const std::optional<bool> flag = yesNo(options[i]);
            if (!flag) return kMessages[i];
            *flags[i] = *flag;
        }
        options.erase(options.begin(), options.begin() + 3);
    }
    if (!options.empty()) {
        const std::optional<int> format = characterFormatFromName(upper(options[0]));
        if (!format) return "Invalid characterFormat specified!";
        out.characterFormat = *format;
    }
    return {};
}

void printUsage() {
    conPuts(kUsage);
    conPuts(kQuestionUsage);
}

bool isQuestion(const std::string& word) {
    const std::string command = lowerCase(word.c_str());
    return command == "check" || command == "diff" || command == "c" || command == "show";
}

// show <Filename> [--program N] [--against OtherFile] [--svg OUT], the
// options in any order.
std::string parseShow(const std::vector<std::string>& args, Parsed& out) {
    if (args.size() < 2) return "Wrong number of command line arguments!";
    out.fileName = args[1];
    bool program = false, against = false, svg = false;
    for (size_t i = 2; i < args.size(); i += 2) {
        const std::string& option = args[i];
        if (option != "--program" && option != "--against" && option != "--svg")
            return "Unknown option " + option + " for show";
        if (i + 1 >= args.size()) return option + " needs a value";
        const std::string& value = args[i + 1];
        if (option == "--program" && !program) {
            const std::optional<long> n = wholeNumber(value.c_str());
            if (!n || *n < 1) return "--program must be a program number from 1";
            out.show.program = *n;
            program = true;
        } else if (option == "--against" && !against) {
            if (value.empty() || value.size() >= static_cast<std::size_t>(kDataFileNameSize))
                return "Filename must have 1 to 4095 characters!";
            out.show.against = value;
            against = true;
        } else if (option == "--svg" && !svg) {
            if (value.empty() || value.size() >= static_cast<std::size_t>(kDataFileNameSize))
                return "Filename must have 1 to 4095 characters!";
            out.show.svg = value;
            svg = true;
        } else {
            return option + " given twice";
        }
    }
    return {};
}

// The questions: check and diff on files, c on a controller and a file.
// Returns the message for a wrong command line, or empty.
std::string parseQuestion(const std::vector<std::string>& args, Parsed& out) {
    const std::string command = lowerCase(args[0].c_str());
    if (command == "check") {
        if (args.size() != 2) return "Wrong number of command line arguments!";
        out.fileName = args[1];
    } else if (command == "show") {
        const std::string problem = parseShow(args, out);
        if (!problem.empty()) return problem;
    } else if (command == "diff") {
        if (args.size() != 3) return "Wrong number of command line arguments!";
        out.fileName = args[1];
        out.secondFile = args[2];
    } else {
        // c takes the upload's arguments without mappingsOnly.
        if (args.size() != 5 && args.size() != 6) return "Wrong number of command line arguments!";
        if (args.size() == 6 && yesNo(args[5])) return "Invalid characterFormat specified!";
        std::vector<std::string> asUpload = args;
        asUpload[0] = "U";
        const std::string problem = parse(asUpload, out);
        if (!problem.empty()) return problem;
    }
    for (const std::string* name : {&out.fileName, &out.secondFile}) {
        if (name->size() >= static_cast<std::size_t>(kDataFileNameSize))
            return "Filename must have 1 to 4095 characters!";
    }
    if (out.fileName.empty() || (command == "diff" && out.secondFile.empty())) {
        return "Filename must have 1 to 4095 characters!";
    }
    out.question = command;
    return {};
}

static_assert(kInterruptedStatus == kExitInterrupted);

// "COM2 (/dev/ttyS1)" or the device path as given.
std::string portDescription() {
    if (!commSettings.devicePath.empty()) return commSettings.devicePath;
    return std::string(comPortName(commSettings.comPort)) + " (" + lineDeviceName() + ")";
}

void printStartLine(bool upload) {
    // A raw network line carries the server's own format: no baud rate is
    // sent anywhere.
    char speed[64];
    if (platform::lineKind(lineDeviceName()) == platform::LineKind::Tcp) {
        std::snprintf(speed, sizeof speed, "with the server's line settings");
    } else {
        std::snprintf(speed, sizeof speed, "at %d baud", commSettings.baudRate);
    }
    conPrintf("linkora: %s unit %d on %s %s %s %s\n", upload ? "upload from" : "download to", commSettings.unitAddress,
              portDescription().c_str(), speed, upload ? "to" : "from", dataFileName);
}

void printEndLine(bool upload, int status) {
    char took[progress::kDurationSize];
    progress::formatDuration(progress::elapsedSeconds(), took, sizeof took);
    const char* direction = upload ? "upload" : "download";
    const char* note = status == kExitDone           ? ""
                       : status == kExitLinesChanged ? " (status 7: lines of the file were ignored or changed)"
                       : status == kExitFoundStopped
                           ? " (status 8: the controller was found stopped; it may hold an unfinished download)"
                       : status == kExitNotRestarted ? " (status 9: the controller's restart was not confirmed)"
                                                     : nullptr;
    if (note != nullptr) {
        conPrintf("linkora: %s done: %d blocks, %d setpoints, %s%s\n", direction, progress::blocksMoved(),
                  progress::setpointsMoved(), took, note);
    } else {
        conPrintf("linkora: %s failed (status %d) after %s\n", direction, status, took);
    }
}

}  // namespace

int runCommandLine(int argc, char** argv) {
    if (argc <= 1) return -1;
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h" || args[0] == "/?")) {
        printUsage();
        return 0;
    }

    Parsed parsed;
    const std::string problem = isQuestion(args[0]) ? parseQuestion(args, parsed) : parse(args, parsed);
    if (!problem.empty() && lowerCase(args[0].c_str()) == "show") {
        // The pictures' standard output may be an SVG: the usage goes with
        // the problem to standard error.
        std::fprintf(stderr, "%s\n%s%s", problem.c_str(), kUsage, kQuestionUsage);
        std::fprintf(stderr, "linkora: command line: %s\n", problem.c_str());
        return kExitUsage;
    }
    if (!problem.empty()) {
        conPrintf("%s\n", problem.c_str());
        printUsage();
        if (!platform::stdinIsTerminal()) {
            std::fprintf(stderr, "linkora: command line: %s\n", problem.c_str());
            return kExitUsage;
        }
        conPuts("Hit any key to continue in interactive mode...");
        getKey();
        conPuts("\n");
        return -1;
    }
    if (parsed.question == "check") return checkDataFileCommand(parsed.fileName);
    if (parsed.question == "diff") return diffDataFilesCommand(parsed.fileName, parsed.secondFile);
    if (parsed.question == "show") {
        parsed.show.file = parsed.fileName;
        return showCommand(parsed.show);
    }

    // LINKORA_PROTOCOL names the controller's protocol, so that no time
    // goes on Auto Detect's probes in the other one.
    if (const char* protocol = std::getenv("LINKORA_PROTOCOL"); protocol != nullptr && *protocol != '\0') {
        const std::string name = lowerCase(protocol);
        if (name == "modbus") {
            commSettings.protocol = kModbus;
        } else if (name == "tvx") {
            commSettings.protocol = kTvxStandard;
        } else {
            conPrintf("LINKORA_PROTOCOL must be modbus or tvx, not \"%s\".\n", protocol);
            std::fprintf(stderr, "linkora: LINKORA_PROTOCOL: must be modbus or tvx, not \"%s\"\n", protocol);
            return kExitUsage;
        }
    }

    commSettings.unitAddress = parsed.unitAddress;
    commSettings.comPort = parsed.comPort;
    commSettings.devicePath = parsed.devicePath;
    commSettings.baudRate = parsed.baudRate;
    commSettings.characterFormat = static_cast<uint8_t>(parsed.characterFormat);
    std::strncpy(dataFileName, parsed.fileName.c_str(), kDataFileNameSize - 1);
    dataFileName[kDataFileNameSize - 1] = '\0';
    transferOptions.mappingsOnly = parsed.mappingsOnly;
    transferOptions.setDefaults = parsed.setDefaults;
    transferOptions.keepOffsets = parsed.keepOffsets;
    transferOptions.verifyDownload = parsed.verifyDownload;
    handOverStatus = -1;

    outcome::begin(true);
    outcome::setCommandLine(argc, argv);
    progress::setMode(platform::stdoutIsTerminal() ? progress::Mode::Terminal : progress::Mode::Log);
    progress::start();
    if (parsed.question == "c") return compareControllerCommand(parsed.fileName);
    printStartLine(parsed.upload);
    const int result = parsed.upload ? upload(1) : download(1);
    // After a hand-over the sibling's own status tells whether it did the
    // transfer.
    if (handOverStatus >= 0) return handOverStatus;
    const int status = outcome::statusFor(result);
    printEndLine(parsed.upload, status);
    return status;
}
