// Replacing a file in one step on POSIX: a temporary file in the target's
// directory, then rename().
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/files.h"

namespace platform {

namespace {

// A symbolic link is followed, so that the file it names is replaced and
// the link stays a link, as when the file is simply rewritten.
std::string resolved(const std::string& target) {
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
    if (stat(target.c_str(), &info) == 0) return info.st_mode & 07777;
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

}  // namespace

std::FILE* createTempFileBeside(const std::string& target, std::string& tempPath) {
    tempPath.clear();
    if (target.empty()) return nullptr;
    const std::string real = resolved(target);
    const std::string pattern = directoryPart(real) + ".linkora.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');

    const int fd = mkstemp(name.data());
    if (fd < 0) return nullptr;
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    // Should this fail, the file keeps mkstemp's owner-only permissions.
    fchmod(fd, permissionsFor(real));
    std::FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        ::close(fd);
        unlink(name.data());
        return nullptr;
    }
    tempPath = name.data();
    return file;
}

bool replaceFile(const std::string& source, const std::string& target) {
    if (source.empty() || target.empty()) return false;
    // The data reaches the disk before the name points at it.
    const int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        ::close(fd);
    }
    const std::string real = resolved(target);
    if (std::rename(source.c_str(), real.c_str()) != 0) return false;
    syncDirectoryOf(real);
    return true;
}

bool removeFile(const std::string& path) { return !path.empty() && unlink(path.c_str()) == 0; }

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
