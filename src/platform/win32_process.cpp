// Starting another program on Windows: CreateProcessA with a command line
// quoted the way the C runtime splits it again, no command interpreter.
#include <windows.h>

#include <cstdio>

#include "platform/process.h"

namespace platform {

namespace {

// One argument as the runtime's command-line parser reads it back unchanged:
// quoted when it holds blanks or quotes, backslashes doubled only where they
// precede a quote.
void appendQuoted(std::string& line, const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) {
        line += argument;
        return;
    }
    line += '"';
    std::size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            line.append(backslashes * 2 + 1, '\\');
        } else {
            line.append(backslashes, '\\');
        }
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, '\\');
    line += '"';
}

// The exit code of a process, waiting for its end or not.
int endOf(HANDLE process, bool block) {
    const DWORD waited = WaitForSingleObject(process, block ? INFINITE : 0);
    if (waited == WAIT_TIMEOUT) return kStillRunning;
    DWORD code = 0;
    if (waited != WAIT_OBJECT_0 || !GetExitCodeProcess(process, &code)) return -1;
    return static_cast<int>(code);
}

}  // namespace

int runProgram(const std::string& program, const std::vector<std::string>& arguments) {
    // The program's own name is read without backslash escapes, so it can
    // only be quoted as a whole.
    if (program.empty() || program.find('"') != std::string::npos) return -1;
    std::string line;
    if (program.find_first_of(" \t") != std::string::npos) {
        line = '"' + program + '"';
    } else {
        line = program;
    }
    for (const std::string& argument : arguments) {
        line += ' ';
        appendQuoted(line, argument);
    }
    if (line.size() >= 32767) return -1;  // the system's limit for a command line

    std::fflush(nullptr);  // what this program printed comes before the other's output

    std::vector<char> commandLine(line.begin(), line.end());
    commandLine.push_back('\0');
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    // No application name: the system looks the program up (this program's
    // directory, the current one, the system directories, then PATH) and
    // adds ".exe" when the name has no extension. Handles are inherited so
    // that redirected standard streams reach the other program too.
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        return -1;
    }
    CloseHandle(process.hThread);
    const int result = endOf(process.hProcess, true);
    CloseHandle(process.hProcess);
    return result;
}

int waitProgram(long pid, bool block) {
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) return -1;
    const int result = endOf(process, block);
    CloseHandle(process);
    return result;
}

bool stdinIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

bool stdoutIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

int stdoutColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) == 0) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

bool stdoutTakesUtf8() {
    DWORD mode = 0;
    if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0) return GetConsoleOutputCP() == CP_UTF8;
    return localeNamesUtf8();
}

// The console shows escape sequences only where virtual terminal processing
// is on; the chart goes without colour there.
bool stdoutTakesColour() { return false; }

}  // namespace platform
