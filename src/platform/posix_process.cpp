// Starting another program on POSIX: posix_spawnp, no shell in between.
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/process.h"

#include "platform/console.h"

extern char** environ;

namespace platform {

int runProgram(const std::string& program, const std::vector<std::string>& arguments) {
    if (program.empty()) return -1;
    std::fflush(nullptr);  // what this program printed comes before the other's output

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    // The other program gets the terminal as the operator had it.
    restoreTerminal();
    pid_t child = 0;
    if (posix_spawnp(&child, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        resumeTerminal();
        return -1;
    }

    // 127 is also what a C library that cannot report a failed exec to the
    // parent leaves behind.
    const int status = waitProgram(child);
    resumeTerminal();
    return status;
}

int waitProgram(long pid, bool block) {
    int status = 0;
    pid_t ended = 0;
    while ((ended = waitpid(static_cast<pid_t>(pid), &status, block ? 0 : WNOHANG)) < 0) {
        if (errno != EINTR) return -1;
    }
    if (ended == 0) return kStillRunning;
    // A program ended by a signal reports 128 + its number, as shells do.
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool stdinIsTerminal() { return isatty(STDIN_FILENO) == 1; }

bool stdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

int stdoutColumns() {
    winsize size{};
    if (isatty(STDOUT_FILENO) != 1 || ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

bool stdoutTakesUtf8() { return localeNamesUtf8(); }

bool stdoutTakesColour() {
    const char* term = std::getenv("TERM");
    const char* noColour = std::getenv("NO_COLOR");
    return stdoutIsTerminal() && term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0 &&
           (noColour == nullptr || *noColour == '\0');
}

}  // namespace platform
