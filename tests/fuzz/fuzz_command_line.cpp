// The unattended command line. The input is split at NUL bytes into the
// arguments after the program name. A command line the checks accept would
// start a transfer, so only the checks run for it; a rejected one goes through
// the whole entry point (usage text, exit status 2 or back to the menus).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_support.h"

// The checks sit in the translation unit's private namespace; the fuzz build
// compiles that unit here instead of linking it.
#include "transfer/command_line.cpp"

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

    Parsed parsed;
    // The questions read files or a controller: only their checks run.
    if (!args[0].empty() && isQuestion(args[0])) {
        const std::string question = parseQuestion(args, parsed);
        if (question.empty() && parsed.fileName.empty()) std::abort();
        return 0;
    }
    const std::string problem = parse(args, parsed);
    if (problem.empty()) {
        if (parsed.unitAddress < 0 || parsed.unitAddress > 255) std::abort();
        if (parsed.devicePath.empty() && (parsed.comPort < 0 || parsed.comPort > 3)) std::abort();
        if (parsed.fileName.empty() || parsed.fileName.size() >= static_cast<std::size_t>(kDataFileNameSize)) {
            std::abort();
        }
        if (parsed.characterFormat != kFormatDefault &&
            !lineSettingsForFormat(parsed.characterFormat, parsed.baudRate)) {
            std::abort();
        }
        if (!lineSettingsForFormat(kFormatNamedFirst, parsed.baudRate)) std::abort();
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
