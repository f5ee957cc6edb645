#pragma once
// Programs started by the backup: its own unattended uploads and git, each
// with an argument vector and never through a shell.
#include <sys/types.h>

#include <string>
#include <vector>

namespace fleet {

// The environment of this process with `unset` names left out and `set`
// ("NAME=value") added.
std::vector<std::string> environmentWith(const std::vector<std::string>& unset, const std::vector<std::string>& set);

// Where `program` would be found along PATH; empty when it is not there.
std::string findOnPath(const std::string& program);

// A started program: standard input from /dev/null, standard output to a
// pipe (or /dev/null), standard error to a pipe. It gets SIGTERM when this
// process dies, also when it died before the child could ask for that, and
// it inherits every descriptor not marked close-on-exec (the run's lock, so
// that the lock lasts while a child of a killed run still works).
struct Started {
    pid_t pid = -1;
    int outFd = -1;  // -1 when not captured
    int errFd = -1;
};
// `ownGroup`: the program leads a process group of its own, so that it can be
// ended with everything it started. False when it could not be started.
bool startProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env, bool captureOut,
                  Started& out, bool ownGroup = false);
// A started program's end is waited for with platform::waitProgram.

// What runCaptured returns when the program could not be started, and when
// it was ended at its time limit.
inline constexpr int kNotStarted = -1;
inline constexpr int kTimedOut = -2;

// What a program's standard error is kept to, and by default its output.
inline constexpr std::size_t kCaptureLimit = 64 * 1024;

// Runs a program to its end, collecting both outputs (each kept to its last
// `outLimit` and kCaptureLimit bytes). Past `limitSeconds`, or as soon as `stopFd` (when not -1) can be
// read, the program and its process group get SIGTERM, two seconds later
// SIGKILL. Returns the exit status, kNotStarted, or kTimedOut after the time
// limit.
int runCaptured(const std::vector<std::string>& argv, const std::vector<std::string>& env, std::string& out,
                std::string& err, int limitSeconds, int stopFd = -1, std::size_t outLimit = kCaptureLimit);

// Appends what can be read from fd (at most `limit` bytes kept, the
// oldest dropped); false at the end of the stream or on an error.
bool readInto(int fd, std::string& text, std::size_t limit);

}  // namespace fleet
