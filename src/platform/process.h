#pragma once
#include <string>
#include <vector>

namespace platform {

// Runs `program` with `arguments` (not counting the program itself) and waits
// for it to end. The program is looked up along PATH the way the system
// does it, and no command interpreter stands in between, so the arguments
// reach it exactly as given. Pending console output is flushed first.
// Returns the program's exit status (128 + n when signal n ended it), or -1
// when it could not be started.
int runProgram(const std::string& program, const std::vector<std::string>& arguments);

// What waitProgram returns for a program that has not ended, when asked
// not to wait.
inline constexpr int kStillRunning = -3;
// The end of a program this one started (`pid` its process id): its exit
// status, 128 + n when signal n ended it, -1 when it cannot be told. With
// `block` false it returns kStillRunning at once while the program runs.
int waitProgram(long pid, bool block = true);

// True when standard input is an interactive terminal or console, so that a
// key can be asked for.
bool stdinIsTerminal();
// Whether standard output is a terminal (not a file or a pipe).
bool stdoutIsTerminal();
// The width of the terminal standard output goes to, in columns; 0 when it
// is no terminal or does not say.
int stdoutColumns();
// The locale's character set is UTF-8: the first of LC_ALL, LC_CTYPE and
// LANG that is set names it. On a Windows console its output code page
// decides instead.
bool stdoutTakesUtf8();
// The locale rule alone (both platforms).
bool localeNamesUtf8();
// Whether standard output is a terminal that shows ANSI colours (TERM set
// and not "dumb", NO_COLOR not set).
bool stdoutTakesColour();

}  // namespace platform
