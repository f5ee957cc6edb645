#pragma once
// Helpers shared by the test programs: pseudo-terminal pairs, child
// processes on a pseudo-terminal, a scripted line device.
#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/line_device.h"

namespace testing_support {

// A pseudo-terminal pair in raw mode. The slave side is what the program
// under test opens by name; the test talks on the master side.
struct PtyPair {
    int master = -1;
    int slave = -1;
    std::string slaveName;
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;
    void closeSlave();
};

// Reads from fd until `pattern` was seen or `timeoutMs` passed; returns all
// text read (the pattern included when found).
std::string readUntil(int fd, const std::string& pattern, int timeoutMs);
// Reads whatever arrives until `quietMs` pass without a byte (bounded by
// `timeoutMs` in all).
std::string readQuiet(int fd, int quietMs, int timeoutMs);
void writeAll(int fd, const std::string& text);
// Waits until fd has bytes to read; false after `timeoutMs`. On the slave
// side of a pseudo-terminal it tells that what the master wrote has arrived.
bool waitReadable(int fd, int timeoutMs);

// A child process whose standard input and output are a pseudo-terminal.
class PtyProcess {
public:
    // argv[0] is the program path. `cwd` empty: the current folder.
    PtyProcess(const std::vector<std::string>& argv, const std::string& cwd = "",
               const std::vector<std::string>& extraEnv = {});
    ~PtyProcess();
    int master() const { return master_; }
    pid_t pid() const { return pid_; }
    std::string readUntil(const std::string& pattern, int timeoutMs = 5000);
    std::string readQuiet(int quietMs = 200, int timeoutMs = 5000);
    void send(const std::string& keys);
    // Waits for the exit; returns the exit status, or -1 on a time-out (the
    // process is then killed), or 128+signal.
    int wait(int timeoutMs = 10000);

private:
    int master_ = -1;
    pid_t pid_ = -1;
    int status_ = -1;
    bool reaped_ = false;
};

// A child process with standard input from /dev/null and its output (both
// streams) in a file; killed if still running on destruction.
class ChildProcess {
public:
    // argv[0] is the program path. `cwd` empty: the current folder.
    ChildProcess(const std::vector<std::string>& argv, const std::string& outPath, const std::string& cwd = "");
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    pid_t pid() const { return pid_; }
    bool running();
    void kill(int signal);
    // The exit status; -1 when still running after `timeoutMs` (it is then
    // killed), 128+signal after a signal.
    int wait(int timeoutMs);

private:
    void poll();
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = -1;
};

// Waits until the file holds a complete first line and returns it (without
// its line end); empty after `timeoutMs`. The simulator names its line so.
std::string waitForFirstLine(const std::string& path, int timeoutMs);

// Runs a program with pipes; returns exit status, collects stdout+stderr.
int runProgram(const std::vector<std::string>& argv, std::string& output, int timeoutMs = 30000,
               const std::string& stdinText = "", const std::string& cwd = "",
               const std::vector<std::string>& extraEnv = {});

// A fresh temporary folder, removed with its content on destruction.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    std::string file(const std::string& name) const { return path + "/" + name; }
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

// A line device with scripted behaviour: bytes written are collected in
// `sent`; `onSend` may queue reply bytes into `incoming`. readByte takes from
// `incoming` and otherwise reports "nothing" at once. Its clock runs ahead of
// the platform's by `skippedMicros`: a silent read and a pause add to it
// instead of sleeping, so a time-out passes without being waited out.
class ScriptedLineDevice : public platform::LineDevice {
public:
    struct State {
        std::string sent;
        std::deque<uint8_t> incoming;
        std::function<void(State&)> onSend;  // called after each write
        bool failOpen = false;
        bool failApply = false;
        platform::LineSettings applied;
        int opens = 0;
        int closes = 0;
        std::string openedPath;
        int64_t skippedMicros = 0;
    };
    explicit ScriptedLineDevice(std::shared_ptr<State> state) : state_(std::move(state)) {}
    bool open(const std::string& path) override;
    bool readSettings() override { return true; }
    bool applySettings(const platform::LineSettings& s) override;
    bool write(const uint8_t* data, std::size_t length) override;
    bool readByte(uint8_t& out) override;
    bool close() override;
    platform::LineSettings requestedSettings() const override { return state_->applied; }
    int64_t nowMicros() const override;
    void pauseMicros(int64_t micros) override;

private:
    std::shared_ptr<State> state_;
};

}  // namespace testing_support
