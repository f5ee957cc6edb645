// The transfers of the unattended command line: u, d and c read, checked and
// run.
#include "transfer/command_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/command_words.h"
#include "common/console_io.h"
#include "common/progress.h"
#include "common/settings.h"
#include "link/serial_port.h"
#include "platform/line_device.h"
#include "platform/process.h"
#include "transfer/compare_controller.h"
#include "transfer/connection.h"
#include "transfer/outcome.h"
#include "transfer/transfer.h"
#include "transfer/unit_configuration.h"

namespace {

// Y or N, either case.
std::optional<bool> yesNo(const std::string& text) {
    const std::string word = upperCase(text);
    if (word == "Y") return true;
    if (word == "N") return false;
    return std::nullopt;
}

// An upload or a download: the message for a wrong command line, or empty
// when it is right.
std::string parseDirection(const std::vector<std::string>& args, TransferLine& out) {
    // The longest line is a download with its three flags and a format.
    if (args.size() < 5 || args.size() > 9) return "Wrong number of command line arguments!";

    // Address, port and speed are checked before the direction, so that a
    // line with several faults names the first of these.
    const std::optional<long> unit = wholeNumber(args[1]);
    if (!unit || *unit < 0 || *unit > 255) return "unitAddress out of range 0..255";
    out.unitAddress = static_cast<int>(*unit);

    if (!platform::validPortName(args[2])) return "Invalid COM port specified!";
    if (const int com = platform::comPortIndex(args[2]); com >= 0) {
        out.comPort = com;
    } else {
        out.devicePath = args[2];
    }

    const std::optional<int> baud = lineSpeed(args[3]);
    if (!baud) return "Invalid COM speed specified!";
    out.baudRate = *baud;

    const std::string direction = upperCase(args[0]);
    const bool upload = direction == "U";
    if (upload) {
        out.kind = TransferKind::Upload;
        if (args.size() > 7) return "Wrong number of command line arguments!";
    } else if (direction == "D") {
        out.kind = TransferKind::Download;
        if (args.size() == 7) return "Wrong number of command line arguments!";
    } else {
        return "Invalid direction specified!";
    }

    out.fileName = args[4];
    if (std::string problem = fileNameProblem(out.fileName); !problem.empty()) return problem;

    std::vector<std::string> options(args.begin() + 5, args.end());
    if (upload) {
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
        const std::optional<int> format = characterFormatFromName(upperCase(options[0]));
        if (!format) return "Invalid characterFormat specified!";
        out.characterFormat = *format;
    }
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

std::string parseTransferLine(const std::vector<std::string>& args, TransferLine& out) {
    if (args.empty()) return "Wrong number of command line arguments!";
    if (lowerCase(args[0]) != "c") return parseDirection(args, out);
    // c takes the upload's arguments without mappingsOnly.
    if (args.size() != 5 && args.size() != 6) return "Wrong number of command line arguments!";
    if (args.size() == 6 && yesNo(args[5])) return "Invalid characterFormat specified!";
    std::vector<std::string> asUpload = args;
    asUpload[0] = "U";
    const std::string problem = parseDirection(asUpload, out);
    out.kind = TransferKind::Compare;
    return problem;
}

int runTransferLine(const TransferLine& line) {
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

    commSettings.unitAddress = line.unitAddress;
    commSettings.comPort = line.comPort;
    commSettings.devicePath = line.devicePath;
    commSettings.baudRate = line.baudRate;
    commSettings.characterFormat = static_cast<uint8_t>(line.characterFormat);
    std::strncpy(dataFileName, line.fileName.c_str(), kDataFileNameSize - 1);
    dataFileName[kDataFileNameSize - 1] = '\0';
    transferOptions.mappingsOnly = line.mappingsOnly;
    transferOptions.setDefaults = line.setDefaults;
    transferOptions.keepOffsets = line.keepOffsets;
    transferOptions.verifyDownload = line.verifyDownload;
    handOverStatus = -1;

    outcome::begin(true);
    progress::setMode(platform::stdoutIsTerminal() ? progress::Mode::Terminal : progress::Mode::Log);
    progress::start();
    if (line.kind == TransferKind::Compare) return compareControllerCommand(line.fileName);
    const bool uploading = line.kind == TransferKind::Upload;
    printStartLine(uploading);
    const int result = uploading ? upload(1) : download(1);
    // After a hand-over the sibling's own status tells whether it did the
    // transfer.
    if (handOverStatus >= 0) return handOverStatus;
    const int status = outcome::statusFor(result);
    printEndLine(uploading, status);
    return status;
}
