#include "support/test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testing_support {

namespace {

// What one silent read of a scripted line takes on its clock.
constexpr int64_t kSilentReadMicros = 5000;

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void makeRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
}

std::vector<char*> cStrings(const std::vector<std::string>& v) {
    std::vector<char*> out;
    for (const auto& s : v) out.push_back(const_cast<char*>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

}  // namespace

PtyPair::PtyPair() {
    char name[256] = {0};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    slaveName = name;
    makeRaw(master);
    makeRaw(slave);
}

PtyPair::~PtyPair() {
    if (master >= 0) ::close(master);
    closeSlave();
}

void PtyPair::closeSlave() {
    if (slave >= 0) ::close(slave);
    slave = -1;
}

std::string readUntil(int fd, const std::string& pattern, int timeoutMs) {
    std::string out;
    const int64_t end = nowMs() + timeoutMs;
    while (pattern.empty() || out.find(pattern) == std::string::npos) {
        const int64_t left = end - nowMs();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(left));
        if (r <= 0) break;
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

bool waitReadable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN) != 0;
}

std::string readQuiet(int fd, int quietMs, int timeoutMs) {
    std::string out;
    const int64_t end = nowMs() + timeoutMs;
    for (;;) {
        const int64_t left = end - nowMs();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(std::min<int64_t>(left, quietMs)));
        if (r <= 0) break;
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

void writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return;
        }
        done += static_cast<size_t>(n);
    }
}

PtyProcess::PtyProcess(const std::vector<std::string>& argv, const std::string& cwd,
                       const std::vector<std::string>& extraEnv) {
    winsize ws{};
    ws.ws_row = 50;
    ws.ws_col = 132;
    pid_ = forkpty(&master_, nullptr, nullptr, &ws);
    if (pid_ < 0) throw std::runtime_error("forkpty failed");
    if (pid_ == 0) {
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        for (const auto& e : extraEnv) putenv(const_cast<char*>(e.c_str()));
        auto args = cStrings(argv);
        execv(args[0], args.data());
        _exit(127);
    }
}

PtyProcess::~PtyProcess() {
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) ::close(master_);
}

std::string PtyProcess::readUntil(const std::string& pattern, int timeoutMs) {
    return testing_support::readUntil(master_, pattern, timeoutMs);
}

std::string PtyProcess::readQuiet(int quietMs, int timeoutMs) {
    return testing_support::readQuiet(master_, quietMs, timeoutMs);
}

void PtyProcess::send(const std::string& keys) { writeAll(master_, keys); }

int PtyProcess::wait(int timeoutMs) {
    if (reaped_) return status_;
    const int64_t end = nowMs() + timeoutMs;
    for (;;) {
        int st = 0;
        const pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return status_;
        }
        // Keep the pty drained so the child never blocks on output.
        testing_support::readQuiet(master_, 20, 20);
        if (nowMs() > end) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            reaped_ = true;
            status_ = -1;
            return -1;
        }
    }
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& outPath, const std::string& cwd) {
    pid_ = fork();
    if (pid_ == 0) {
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int null = ::open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(out, 1);
        dup2(out, 2);
        auto args = cStrings(argv);
        execv(args[0], args.data());
        _exit(127);
    }
}

ChildProcess::~ChildProcess() {
    if (running()) kill(SIGKILL);
    wait(5000);
}

bool ChildProcess::running() {
    poll();
    return pid_ > 0 && !reaped_;
}

void ChildProcess::kill(int signal) {
    if (pid_ > 0 && !reaped_) ::kill(pid_, signal);
}

int ChildProcess::wait(int timeoutMs) {
    const int64_t end = nowMs() + timeoutMs;
    while (!reaped_ && pid_ > 0) {
        poll();
        if (reaped_) break;
        if (nowMs() > end) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            reaped_ = true;
            status_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
}

void ChildProcess::poll() {
    if (pid_ <= 0 || reaped_) return;
    int raw = 0;
    if (waitpid(pid_, &raw, WNOHANG) == pid_) {
        reaped_ = true;
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    }
}

std::string waitForFirstLine(const std::string& path, int timeoutMs) {
    const int64_t end = nowMs() + timeoutMs;
    for (;;) {
        const std::string text = readFile(path);
        const std::size_t lineEnd = text.find('\n');
        if (lineEnd != std::string::npos) return text.substr(0, lineEnd);
        if (nowMs() > end) return "";
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int runProgram(const std::vector<std::string>& argv, std::string& output, int timeoutMs, const std::string& stdinText,
               const std::string& cwd, const std::vector<std::string>& extraEnv) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        ::close(in[0]);
        ::close(in[1]);
        ::close(out[0]);
        ::close(out[1]);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        for (const auto& e : extraEnv) putenv(const_cast<char*>(e.c_str()));
        auto args = cStrings(argv);
        execv(args[0], args.data());
        _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    writeAll(in[1], stdinText);
    ::close(in[1]);
    output.clear();
    const int64_t end = nowMs() + timeoutMs;
    for (;;) {
        const int64_t left = end - nowMs();
        if (left <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        pollfd p{out[0], POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(left));
        if (r <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        char buf[4096];
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        output.append(buf, static_cast<size_t>(n));
    }
    ::close(out[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/linkora-test-XXXXXX";
    const char* p = mkdtemp(tmpl);
    if (!p) throw std::runtime_error("mkdtemp failed");
    path = p;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

bool ScriptedLineDevice::open(const std::string& path) {
    state_->openedPath = path;
    if (state_->failOpen) return false;
    ++state_->opens;
    return true;
}

bool ScriptedLineDevice::applySettings(const platform::LineSettings& s) {
    state_->applied = s;
    return !state_->failApply;
}

bool ScriptedLineDevice::write(const uint8_t* data, std::size_t length) {
    state_->sent.append(reinterpret_cast<const char*>(data), length);
    if (state_->onSend) state_->onSend(*state_);
    return true;
}

bool ScriptedLineDevice::readByte(uint8_t& out) {
    if (state_->incoming.empty()) {
        // A silent line: the read's own time-out passes on the line's clock.
        state_->skippedMicros += kSilentReadMicros;
        return false;
    }
    out = state_->incoming.front();
    state_->incoming.pop_front();
    return true;
}

int64_t ScriptedLineDevice::nowMicros() const { return platform::monotonicMicros() + state_->skippedMicros; }

void ScriptedLineDevice::pauseMicros(int64_t micros) {
    if (micros > 0) state_->skippedMicros += micros;
}

bool ScriptedLineDevice::close() {
    ++state_->closes;
    return true;
}

}  // namespace testing_support
