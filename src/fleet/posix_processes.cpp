#include "fleet/posix_processes.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace fleet {

namespace {

constexpr std::size_t kCaptureLimit = 64 * 1024;

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
                  Started& out) {
    out = Started{};
    int errPipe[2] = {-1, -1};
    int outPipe[2] = {-1, -1};
    if (::pipe2(errPipe, O_CLOEXEC) != 0) return false;
    if (captureOut && ::pipe2(outPipe, O_CLOEXEC) != 0) {
        ::close(errPipe[0]);
        ::close(errPipe[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (captureOut) {
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    // The child starts with the default signal handling and mask.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    std::vector<char*> args = pointers(argv);
    std::vector<char*> envp = pointers(env);
    pid_t pid = -1;
    const int started = posix_spawn(&pid, argv[0].c_str(), &actions, &attributes, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(errPipe[1]);
    if (captureOut) ::close(outPipe[1]);
    if (started != 0) {
        ::close(errPipe[0]);
        if (captureOut) ::close(outPipe[0]);
        return false;
    }
    out.pid = pid;
    out.errFd = errPipe[0];
    out.outFd = captureOut ? outPipe[0] : -1;
    return true;
}

int waitProgram(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
                std::string& err) {
    out.clear();
    err.clear();
    Started p;
    if (!startProgram(argv, env, true, p)) return -1;
    int fds[2] = {p.outFd, p.errFd};
    std::string* texts[2] = {&out, &err};
    while (fds[0] >= 0 || fds[1] >= 0) {
        pollfd polled[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
        if (::poll(polled, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i] >= 0 && (polled[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0 &&
                !readInto(fds[i], *texts[i], kCaptureLimit)) {
                ::close(fds[i]);
                fds[i] = -1;
            }
        }
    }
    for (int fd : fds) {
        if (fd >= 0) ::close(fd);
    }
    return waitProgram(p.pid);
}

}  // namespace fleet
