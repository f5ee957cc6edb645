#include "fleet/posix_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "fleet/inventory.h"

namespace fleet {

namespace {

// Bounds of the walk through refs/.
constexpr int kMaxRefDepth = 32;
constexpr int kMaxRefEntries = 100000;

void walkRefs(const std::string& gitDir, const std::string& below, int depth, int& budget,
              std::vector<std::string>& removed) {
    if (depth > kMaxRefDepth) return;
    DIR* folder = ::opendir((gitDir + "/" + below).c_str());
    if (folder == nullptr) return;
    while (const dirent* entry = ::readdir(folder)) {
        if (--budget < 0) break;
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string relative = below + "/" + name;
        struct stat st {};
        if (::lstat((gitDir + "/" + relative).c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            walkRefs(gitDir, relative, depth + 1, budget, removed);
        } else if (name.size() > 5 && name.compare(name.size() - 5, 5, ".lock") == 0 &&
                   (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) && ::unlink((gitDir + "/" + relative).c_str()) == 0) {
            removed.push_back(relative);
        }
    }
    ::closedir(folder);
}

}  // namespace

std::string kindOf(mode_t mode) {
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    return S_ISREG(mode) ? "a file" : "not a file";
}

std::string notRegular(const std::string& path, const std::string& shown) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return {};
    return shown + " is " + kindOf(st.st_mode) + ", not a file";
}

int openRegular(const std::string& path, int flags, std::string& problem, mode_t mode) {
    problem.clear();
    struct stat named {};
    const bool there = ::lstat(path.c_str(), &named) == 0;
    if (there && !S_ISREG(named.st_mode)) {
        problem = path + " is " + kindOf(named.st_mode) + ", not a file";
        return -1;
    }
    // Made new when not there: O_EXCL never follows a link planted meanwhile.
    const int create = !there && (flags & O_CREAT) != 0 ? O_CREAT | O_EXCL : 0;
    const int fd =
        ::open(path.c_str(), (flags & ~(O_CREAT | O_EXCL)) | create | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    struct stat opened {};
    if (fd < 0 || ::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) ||
        (there && (opened.st_dev != named.st_dev || opened.st_ino != named.st_ino))) {
        const int error = errno;
        if (fd >= 0) ::close(fd);
        problem = path + ": " +
                  (fd < 0 && error == ELOOP ? "is a symbolic link, not a file"
                   : fd < 0                 ? std::strerror(error)
                                            : "changed while it was opened");
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool readOpenFile(int fd, const std::string& path, std::size_t limit, std::string& text, std::string& problem) {
    text.clear();
    problem.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) problem = path + ": " + std::strerror(errno);
        if (n <= 0) break;
        if (text.size() + static_cast<std::size_t>(n) > limit) {
            problem = path + " is larger than " + std::to_string(limit) + " bytes";
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return problem.empty();
}

bool readRegular(const std::string& path, std::size_t limit, std::string& text, std::string& problem) {
    text.clear();
    const int fd = openRegular(path, O_RDONLY, problem);
    if (fd < 0) return false;
    const bool read = readOpenFile(fd, path, limit, text, problem);
    ::close(fd);
    return read;
}

std::string ownershipProblem(const std::string& path, const struct stat& st) {
    if (st.st_uid != ::geteuid()) {
        return path + " is owned by user " + std::to_string(st.st_uid) + "; run the backup as that user";
    }
    if ((st.st_mode & 022) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return path + " may be written by others (mode " + mode + ", owner user " + std::to_string(st.st_uid) +
               "); only its owner may write it: chmod go-w " + path;
    }
    return {};
}

void removeStaleGitLocks(const std::string& gitDir, std::vector<std::string>& removed) {
    for (const char* name : {"index.lock", "HEAD.lock"}) {
        const std::string path = gitDir + "/" + name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) &&
            ::unlink(path.c_str()) == 0)
            removed.push_back(name);
    }
    struct stat refs {};
    int budget = kMaxRefEntries;
    if (::lstat((gitDir + "/refs").c_str(), &refs) == 0 && S_ISDIR(refs.st_mode))
        walkRefs(gitDir, "refs", 1, budget, removed);
}

bool readInventoryFile(const std::string& path, std::string& text, std::string& problem) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        problem = path + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        problem = path + " is " + kindOf(st.st_mode) + ", not a file";
        ::close(fd);
        return false;
    }
    const bool read = readOpenFile(fd, path, kMaxInventoryBytes, text, problem);
    ::close(fd);
    if (problem == path + " is larger than " + std::to_string(kMaxInventoryBytes) + " bytes") {
        problem = path + ": larger than 1 MiB (an inventory is at most 1 MiB and " +
                  std::to_string(kMaxInventoryEntries) + " controllers)";
    }
    return read;
}

}  // namespace fleet
