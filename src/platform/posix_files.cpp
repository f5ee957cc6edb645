// Replacing a file in one step on POSIX: a temporary file in the target's
// directory, then rename().
//
// A temporary file carries its recognisable name (".linkora." and six
// characters) only while its writer holds a lock on it: it is created under
// another name, locked, then renamed without replacing anything. The lock
// lasts until the file is renamed over its target or removed, and goes with
// the writer's process. So a file of that name whose lock can be taken
// belongs to a writer that is gone.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "platform/files.h"

namespace platform {

namespace {

// A symbolic link is followed, so that the file it names is replaced and
// the link stays a link, as when the file is simply rewritten.
std::string resolved(const std::string& target, AtLink atLink = AtLink::followed) {
    if (atLink == AtLink::replaced) return target;
    struct stat info {};
    if (lstat(target.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return target;
    char* real = realpath(target.c_str(), nullptr);
    if (real == nullptr) return target;
    std::string result(real);
    std::free(real);
    return result;
}

// The directory part of `path`, with its final slash; empty for a bare name.
std::string directoryPart(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The permissions the replaced file should carry: the target's own when it
// exists, else those a newly created file would get.
mode_t permissionsFor(const std::string& target) {
    struct stat info {};
    if (lstat(target.c_str(), &info) == 0 && S_ISREG(info.st_mode)) return info.st_mode & 07777;
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

void syncDirectoryOf(const std::string& path) {
    const std::string directory = directoryPart(path);
    const int fd = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    ::close(fd);
}

constexpr char kTempPrefix[] = ".linkora.";          // locked by a live writer
constexpr char kUnlockedPrefix[] = ".linkora-new.";  // not yet (or never) locked
constexpr std::size_t kSuffixLength = 6;             // mkstemp's XXXXXX
constexpr int kNameAttempts = 16;

// Temporary files of this process and the descriptors that hold their locks.
std::map<std::string, int>& heldLocks() {
    static std::map<std::string, int> locks;
    return locks;
}

void releaseLock(const std::string& path) {
    auto& locks = heldLocks();
    const auto at = locks.find(path);
    if (at == locks.end()) return;
    ::close(at->second);
    locks.erase(at);
}

// Renames without replacing a file that exists: 0 done, EEXIST when `to`
// exists, another errno value when the file system cannot do it.
int renameWithoutReplacing(const char* from, const char* to) {
#ifdef RENAME_NOREPLACE
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return errno;
#endif
    if (link(from, to) != 0) return errno;
    unlink(from);
    return 0;
}

bool isTempFileName(const char* name) {
    const std::size_t prefix = sizeof kTempPrefix - 1;
    if (std::strncmp(name, kTempPrefix, prefix) != 0 || std::strlen(name) != prefix + kSuffixLength) return false;
    for (std::size_t i = prefix; name[i] != '\0'; ++i) {
        const char c = name[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
    }
    return true;
}

}  // namespace

int removeStaleTempFilesBeside(const std::string& target) {
    if (target.empty()) return 0;
    const std::string directory = directoryPart(resolved(target));
    DIR* folder = opendir(directory.empty() ? "." : directory.c_str());
    if (folder == nullptr) return 0;
    int removed = 0;
    while (const dirent* entry = readdir(folder)) {
        if (!isTempFileName(entry->d_name)) continue;
        const std::string path = directory + entry->d_name;
        if (heldLocks().count(path) != 0) continue;  // this process writes it
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat held {};
        // Only plain files of this user: never another program's file.
        if (fstat(fd, &held) != 0 || !S_ISREG(held.st_mode) || held.st_uid != geteuid()) {
            ::close(fd);
            continue;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(fd);
            if (error == EWOULDBLOCK || error == EINTR) continue;  // its writer is alive
            break;                                                 // no locks here: no file can be told to be stale
        }
        // The writer is gone; remove the name only while it is still this file.
        struct stat named {};
        if (lstat(path.c_str(), &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino &&
            unlink(path.c_str()) == 0)
            ++removed;
        ::close(fd);
    }
    closedir(folder);
    return removed;
}

std::FILE* createTempFileBeside(const std::string& target, std::string& tempPath, AtLink atLink) {
    tempPath.clear();
    if (target.empty()) return nullptr;
    const std::string real = resolved(target, atLink);
    const std::string directory = directoryPart(real);
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::string pattern = directory + kUnlockedPrefix + "XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        const int fd = mkstemp(name.data());
        if (fd < 0) return nullptr;
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        // Should this fail, the file keeps mkstemp's owner-only permissions.
        fchmod(fd, permissionsFor(real));

        // The lock is held on a descriptor of its own, so that it outlasts
        // the stream's close until the rename over the target.
        std::string path = name.data();
        int lock = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (lock >= 0 && flock(lock, LOCK_EX | LOCK_NB) != 0) {
            ::close(lock);
            lock = -1;
        }
        if (lock >= 0) {
            const std::string recognisable =
                directory + kTempPrefix + path.substr(path.size() - kSuffixLength, kSuffixLength);
            const int renamed = renameWithoutReplacing(path.c_str(), recognisable.c_str());
            if (renamed == EEXIST) {
                ::close(lock);
                ::close(fd);
                unlink(path.c_str());
                continue;
            }
            // Where the rename cannot be made the file keeps its first name,
            // which no cleaner takes for stale.
            if (renamed == 0) path = recognisable;
        }
        std::FILE* file = fdopen(fd, "wb");
        if (file == nullptr) {
            ::close(fd);
            if (lock >= 0) ::close(lock);
            unlink(path.c_str());
            return nullptr;
        }
        if (lock >= 0) heldLocks()[path] = lock;
        tempPath = path;
        return file;
    }
    errno = EEXIST;
    return nullptr;
}

bool replaceFile(const std::string& source, const std::string& target, AtLink atLink) {
    if (source.empty() || target.empty()) return false;
    // The data reaches the disk before the name points at it.
    const int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        ::close(fd);
    }
    const std::string real = resolved(target, atLink);
    if (std::rename(source.c_str(), real.c_str()) != 0) return false;
    releaseLock(source);
    syncDirectoryOf(real);
    return true;
}

bool removeFile(const std::string& path) {
    if (path.empty()) return false;
    const bool removed = unlink(path.c_str()) == 0;
    const int error = errno;
    releaseLock(path);
    errno = error;
    return removed;
}

namespace {

sigset_t maskBeforeHold;

}  // namespace

void holdSignals() {
    sigset_t ending;
    sigemptyset(&ending);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP}) sigaddset(&ending, signal);
    sigprocmask(SIG_BLOCK, &ending, &maskBeforeHold);
}

void releaseSignals() { sigprocmask(SIG_SETMASK, &maskBeforeHold, nullptr); }

MemoryFile::MemoryFile() { file_ = open_memstream(&buffer_, &size_); }

MemoryFile::~MemoryFile() {
    if (file_ != nullptr) std::fclose(file_);
    std::free(buffer_);
}

bool MemoryFile::take(std::string& content) {
    if (file_ == nullptr) return false;
    const bool written = std::ferror(file_) == 0;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (written && closed && buffer_ != nullptr) content.assign(buffer_, size_);
    return written && closed && buffer_ != nullptr;
}

}  // namespace platform
