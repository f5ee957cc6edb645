// The unattended command line. The input is split at NUL bytes into the
// arguments after the program name. A command line its command accepts
// would start a transfer, read files or run backups, so only the reading of
// its words runs for it; a rejected one goes through the whole entry point
// (help text, exit status 2 or back to the menus).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/settings.h"
#include "fuzz_support.h"
#include "link/serial_port.h"
#include "shell/command_line.h"
#include "transfer/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const bool ready = [] {
        fuzzing::installQuietConsole();
        return true;
    }();
    (void)ready;
    if (size > 2000) return 0;
    std::vector<std::string> args(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            if (args.size() == 16) return 0;
            args.emplace_back();
        } else {
            args.back() += static_cast<char>(data[i]);
        }
    }

    const PreparedCommand prepared = prepareCommand(args);
    if (prepared.wrongLine.empty()) {
        if (!prepared.run) std::abort();
        // A transfer the checks accept holds only what the controller and
        // the line can take.
        TransferLine line;
        if (parseTransferLine(args, line).empty()) {
            if (line.unitAddress < 0 || line.unitAddress > 255) std::abort();
            if (line.devicePath.empty() && (line.comPort < 0 || line.comPort > 3)) std::abort();
            if (line.fileName.empty() || line.fileName.size() >= static_cast<std::size_t>(kDataFileNameSize)) {
                std::abort();
            }
            if (line.characterFormat != kFormatDefault && !lineSettingsForFormat(line.characterFormat, line.baudRate)) {
                std::abort();
            }
            if (!lineSettingsForFormat(kFormatNamedFirst, line.baudRate)) std::abort();
        }
        return 0;
    }

    std::vector<char*> argv;
    static char program[] = "linkora";
    argv.push_back(program);
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int status = runCommandLine(static_cast<int>(argv.size() - 1), argv.data());
    if (status != 2 && status != -1 && status != 0) std::abort();
    return 0;
}
