#include "fleet/posix_processes.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/process.h"

extern char** environ;

namespace fleet {

namespace {

std::vector<char*> pointers(const std::vector<std::string>& words) {
    std::vector<char*> out;
    out.reserve(words.size() + 1);
    for (const std::string& w : words) out.push_back(const_cast<char*>(w.c_str()));
    out.push_back(nullptr);
    return out;
}

}  // namespace

std::vector<std::string> environmentWith(const std::vector<std::string>& unset, const std::vector<std::string>& set) {
    std::vector<std::string> out;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool drop = false;
        for (const std::string& u : unset) drop = drop || name == u;
        for (const std::string& s : set) drop = drop || name == s.substr(0, s.find('='));
        if (!drop) out.push_back(entry);
    }
    out.insert(out.end(), set.begin(), set.end());
    return out;
}

std::string findOnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) return {};
    std::string list = path;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(':', start);
        if (end == std::string::npos) end = list.size();
        std::string dir = list.substr(start, end - start);
        if (dir.empty()) dir = ".";
        const std::string candidate = dir + "/" + program;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return {};
}

bool startProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env, bool captureOut,
                  Started& out, bool ownGroup) {
    out = Started{};
    if (argv.empty()) return false;
    // Everything the child needs is made before fork: after it, only calls
    // that are safe in a child of a process.
    std::vector<char*> args = pointers(argv);
    std::vector<char*> envp = pointers(env);
    int errPipe[2] = {-1, -1};
    int outPipe[2] = {-1, -1};
    int execPipe[2] = {-1, -1};  // carries errno when exec fails
    auto closeAll = [&] {
        for (int fd : {errPipe[0], errPipe[1], outPipe[0], outPipe[1], execPipe[0], execPipe[1]}) {
            if (fd >= 0) ::close(fd);
        }
    };
    if (::pipe2(errPipe, O_CLOEXEC) != 0 || (captureOut && ::pipe2(outPipe, O_CLOEXEC) != 0) ||
        ::pipe2(execPipe, O_CLOEXEC) != 0) {
        closeAll();
        return false;
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        closeAll();
        return false;
    }
    if (pid == 0) {
        if (ownGroup) ::setpgid(0, 0);
        // Told to end when the run dies; a run that died before this line
        // left the child to another parent already.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);
        const int in = ::open("/dev/null", O_RDONLY);
        const int devNull = captureOut ? -1 : ::open("/dev/null", O_WRONLY);
        if (in < 0 || ::dup2(in, STDIN_FILENO) < 0 || ::dup2(captureOut ? outPipe[1] : devNull, STDOUT_FILENO) < 0 ||
            ::dup2(errPipe[1], STDERR_FILENO) < 0) {
            ::_exit(127);
        }
        // The child starts with the default signal handling and mask.
        struct sigaction byDefault {};
        byDefault.sa_handler = SIG_DFL;
        sigemptyset(&byDefault.sa_mask);
        for (int s = 1; s < NSIG; ++s) ::sigaction(s, &byDefault, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(args[0], args.data(), envp.data());
        const int error = errno;
        [[maybe_unused]] const ssize_t n = ::write(execPipe[1], &error, sizeof error);
        ::_exit(127);
    }
    if (ownGroup) ::setpgid(pid, pid);  // also here: the group exists before anything signals it
    ::close(errPipe[1]);
    if (captureOut) ::close(outPipe[1]);
    ::close(execPipe[1]);
    int error = 0;
    ssize_t n;
    while ((n = ::read(execPipe[0], &error, sizeof error)) < 0 && errno == EINTR) {}
    ::close(execPipe[0]);
    if (n > 0) {
        ::close(errPipe[0]);
        if (captureOut) ::close(outPipe[0]);
        platform::waitProgram(pid);
        errno = error;
        return false;
    }
    out.pid = pid;
    out.errFd = errPipe[0];
    out.outFd = captureOut ? outPipe[0] : -1;
    return true;
}

bool readInto(int fd, std::string& text, std::size_t limit) {
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) return false;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > limit) text.erase(0, text.size() - limit);
    return true;
}

int runCaptured(const std::vector<std::string>& argv, const std::vector<std::string>& env, std::string& out,
                std::string& err, int limitSeconds, int stopFd, std::size_t outLimit) {
    out.clear();
    err.clear();
    Started p;
    if (!startProgram(argv, env, true, p, true)) return kNotStarted;
    using Clock = std::chrono::steady_clock;
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(limitSeconds);
    int stage = 0;      // 1 after SIGTERM, 2 after SIGKILL
    bool told = false;  // ended through stopFd, not by the time limit
    int fds[2] = {p.outFd, p.errFd};
    std::string* texts[2] = {&out, &err};
    while (fds[0] >= 0 || fds[1] >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            if (stage == 2) break;  // something outside the group still holds the pipes
            ::kill(-p.pid, stage == 0 ? SIGTERM : SIGKILL);
            ++stage;
            deadline = Clock::now() + std::chrono::seconds(2);
            continue;
        }
        pollfd polled[3] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}, {stage == 0 ? stopFd : -1, POLLIN, 0}};
        const int ready = ::poll(polled, 3, static_cast<int>(std::min<long long>(left, 1000)));
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if ((polled[2].revents & POLLIN) != 0) {
            told = true;
            deadline = Clock::now();
            continue;
        }
        if (ready == 0 && stage == 0) {
            // The program ended, but something it left behind (a daemon)
            // still holds its outputs: the program's status counts.
            const int status = platform::waitProgram(p.pid, false);
            if (status != platform::kStillRunning) {
                for (int fd : fds) {
                    if (fd >= 0) ::close(fd);
                }
                return status;
            }
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i] >= 0 && (polled[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0 &&
                !readInto(fds[i], *texts[i], i == 0 ? outLimit : kCaptureLimit)) {
                ::close(fds[i]);
                fds[i] = -1;
            }
        }
    }
    for (int fd : fds) {
        if (fd >= 0) ::close(fd);
    }
    if (stage > 0) {
        ::kill(-p.pid, SIGKILL);
        const int status = platform::waitProgram(p.pid);
        return told ? status : kTimedOut;
    }
    return platform::waitProgram(p.pid);
}

}  // namespace fleet
