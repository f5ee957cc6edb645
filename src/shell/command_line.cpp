// The unattended command line: the one table of commands, the help text
// built from it, and what a wrong command line does.
#include "shell/command_line.h"

#include <cstdio>
#include <string>
#include <vector>

#include "chart/show_command.h"
#include "common/command_words.h"
#include "common/console_io.h"
#include "fleet/backup.h"
#include "fleet/site.h"
#include "platform/process.h"
#include "questions/file_questions.h"
#include "transfer/command_line.h"
#include "transfer/outcome.h"

namespace {

const char kTransferUsage[] =
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

const char kCheckUsage[] =
    "Questions, which change nothing (exit status 0 nothing found,\n"
    "1 findings or differences, 2 trouble):\n"
    "  linkora check <Filename>        lint a data file before a download\n"
    "                                  example: linkora check press.dat\n";

const char kDiffUsage[] =
    "  linkora diff <FileA> <FileB> [--into DIR]\n"
    "                                  compare two data files; NAME@approved or\n"
    "                                  NAME@REV is NAME.DAT as approved or at git\n"
    "                                  revision REV in the backups of DIR (default\n"
    "                                  the current folder)\n"
    "                                  example: linkora diff march.dat april.dat\n"
    "                                  example: linkora diff p@approved p@HEAD\n";

const char kCompareUsage[] =
    "  linkora c <unitAddress> <comPort> <baudRate> <Filename> [characterFormat]\n"
    "                                  compare the controller with a data file\n"
    "                                  example: linkora c 1 COM1 9600 press.dat\n"
    "A download sends nothing of a line that check calls an error; unattended,\n"
    "a download of a file with lines it ignores or changes ends with status 7.\n";

const char kShowUsage[] =
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

// The transfers and c: their words read by the transfer.
PreparedCommand transferCommand(const std::vector<std::string>& args) {
    TransferLine line;
    std::string problem = parseTransferLine(args, line);
    if (!problem.empty()) return {problem, nullptr};
    return {{}, [line] { return runTransferLine(line); }};
}

PreparedCommand checkCommand(const std::vector<std::string>& args) {
    std::string path;
    std::string problem = parseCheckLine(args, path);
    if (!problem.empty()) return {problem, nullptr};
    return {{}, [path] { return checkDataFileCommand(path); }};
}

// diff compares files, or versions of a backup folder's history
// (press-a@approved, press-a@HEAD~1) read by the backups.
PreparedCommand diffCommand(const std::vector<std::string>& args) {
    std::string pathA, pathB, into;
    std::string problem = parseDiffLine(args, pathA, pathB, into);
    if (!problem.empty()) return {problem, nullptr};
    return {{}, [pathA, pathB, into] {
                DataSource a{pathA, false, {}}, b{pathB, false, {}};
                for (DataSource* source : {&a, &b}) {
                    if (!fleet::isVersionArgument(source->name)) continue;
                    std::string why;
                    if (!fleet::versionText(into.empty() ? "." : into, source->name, source->text, why)) {
                        conPrintf("%s: %s\n", source->name.c_str(), why.c_str());
                        return 2;
                    }
                    source->isText = true;
                }
                return diffDataFilesCommand(a, b);
            }};
}

PreparedCommand showCommandLine(const std::vector<std::string>& args) {
    ShowRequest request;
    std::string problem = parseShowLine(args, request);
    if (!problem.empty()) return {problem, nullptr};
    return {{}, [request] { return showCommand(request); }};
}

// The backups read their own options and print their own usage.
PreparedCommand backupCommand(const std::vector<std::string>& args) {
    const std::vector<std::string> options(args.begin() + 1, args.end());
    return {{}, [options] { return fleet::backupCommand(options); }};
}

// The plant's page reads its own options and prints its own usage.
PreparedCommand siteCommand(const std::vector<std::string>& args) {
    const std::vector<std::string> options(args.begin() + 1, args.end());
    return {{}, [options] { return fleet::siteCommand(options); }};
}

// Restore, approve and the history's text conversion read their own options
// and print their own usage.
PreparedCommand restoreCommand(const std::vector<std::string>& args) {
    const std::vector<std::string> options(args.begin() + 1, args.end());
    return {{}, [options] { return fleet::restoreCommand(options); }};
}

PreparedCommand approveCommand(const std::vector<std::string>& args) {
    const std::vector<std::string> options(args.begin() + 1, args.end());
    return {{}, [options] { return fleet::approveCommand(options); }};
}

PreparedCommand textconvCommand(const std::vector<std::string>& args) {
    const std::vector<std::string> options(args.begin() + 1, args.end());
    return {{}, [options] { return fleet::textconvCommand(options); }};
}

// Where a command says that its line is wrong.
enum class WrongLine {
    Console,        // on the console with the help text; on a terminal the menus follow
    StandardError,  // with the help text on standard error (its standard output may be an SVG)
};

struct Command {
    const char* name;   // the first word, in any case
    const char* usage;  // its part of the help text; nullptr: told in the row above
    PreparedCommand (*prepare)(const std::vector<std::string>& args);
    WrongLine wrongLine;
    bool onItsOwn;  // runs without the settings file and the terminal
};

const Command kCommands[] = {
    {"u", kTransferUsage, transferCommand, WrongLine::Console, false},
    {"d", nullptr, transferCommand, WrongLine::Console, false},
    {"check", kCheckUsage, checkCommand, WrongLine::Console, false},
    {"diff", kDiffUsage, diffCommand, WrongLine::Console, false},
    {"c", kCompareUsage, transferCommand, WrongLine::Console, false},
    {"show", kShowUsage, showCommandLine, WrongLine::StandardError, false},
    {"backup", fleet::kBackupUsage, backupCommand, WrongLine::Console, true},
    {"site", fleet::kSiteUsage, siteCommand, WrongLine::Console, true},
    {"restore", fleet::kRestoreUsage, restoreCommand, WrongLine::Console, true},
    {"approve", fleet::kApproveUsage, approveCommand, WrongLine::Console, true},
    {"textconv", fleet::kTextconvUsage, textconvCommand, WrongLine::Console, true},
};

// The command the first word names; any other word is a transfer's
// direction, which the transfer names as wrong.
const Command& commandFor(const std::string& word) {
    const std::string name = lowerCase(word);
    for (const Command& command : kCommands) {
        if (name == command.name) return command;
    }
    return kCommands[0];
}

bool isHelp(const std::vector<std::string>& args) {
    return args.size() == 1 && (args[0] == "--help" || args[0] == "-h" || args[0] == "/?");
}

}  // namespace

std::string helpText() {
    std::string text;
    for (const Command& command : kCommands) {
        if (command.usage != nullptr) text += command.usage;
    }
    return text;
}

PreparedCommand prepareCommand(const std::vector<std::string>& args) {
    if (args.empty()) return {"Wrong number of command line arguments!", nullptr};
    return commandFor(args[0]).prepare(args);
}

bool runsOnItsOwn(const char* firstWord) { return commandFor(firstWord).onItsOwn; }

int runCommandLine(int argc, char** argv) {
    if (argc <= 1) return -1;
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (isHelp(args)) {
        conPuts(helpText().c_str());
        return 0;
    }
    const Command& command = commandFor(args[0]);
    const PreparedCommand prepared = command.prepare(args);
    if (prepared.wrongLine.empty()) {
        // The trace of a transfer names the command line as typed.
        outcome::setCommandLine(argc, argv);
        return prepared.run();
    }
    const std::string& problem = prepared.wrongLine;
    if (command.wrongLine == WrongLine::StandardError) {
        std::fprintf(stderr, "%s\n%s", problem.c_str(), helpText().c_str());
        std::fprintf(stderr, "linkora: command line: %s\n", problem.c_str());
        return kExitUsage;
    }
    conPrintf("%s\n", problem.c_str());
    conPuts(helpText().c_str());
    if (!platform::stdinIsTerminal()) {
        std::fprintf(stderr, "linkora: command line: %s\n", problem.c_str());
        return kExitUsage;
    }
    conPuts("Hit any key to continue in interactive mode...");
    getKey();
    conPuts("\n");
    return -1;
}
