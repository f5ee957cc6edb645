#pragma once
#include <functional>
#include <string>
#include <vector>

// The unattended command line: one table of commands (name, usage, handler)
// that finds the command by its first word, in any case, and builds the help
// text. A first word that names no command is read as a transfer's
// direction, so that its message says what is wrong.

// What a command makes of its words: the message for a wrong command line,
// or the run itself.
struct PreparedCommand {
    std::string wrongLine;
    std::function<int()> run;
};

// The words after the program name, read by their command; nothing runs.
PreparedCommand prepareCommand(const std::vector<std::string>& args);

// Whether the command runs as a program of its own, before the settings
// file is read and the terminal is set up (linkora backup).
bool runsOnItsOwn(const char* firstWord);

// argv as given to main. Returns the exit status, or -1 when the command
// line was wrong and typed on a terminal: the program goes on with the
// menus.
int runCommandLine(int argc, char** argv);

// The help text: every command's usage, in the table's order.
std::string helpText();
