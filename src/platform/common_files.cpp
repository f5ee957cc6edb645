// Replacing a file with given bytes, and rewriting a file where it stands
// for folders in which nothing can be created beside it. Plain C streams; the
// temporary file and the signal hold are the platform's.
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/files.h"

namespace platform {

namespace {

bool readWhole(const std::string& path, std::string& content) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    content.clear();
    char chunk[4096];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) content.append(chunk, got);
    const bool ok = std::ferror(file) == 0;
    std::fclose(file);
    return ok;
}

// Truncates the file and writes `content` into it.
bool writeWhole(const std::string& path, const std::string& content) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    bool ok = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    ok = std::fflush(file) == 0 && ok;
    ok = std::fclose(file) == 0 && ok;
    return ok;
}

struct SignalsHeld {
    SignalsHeld() { holdSignals(); }
    ~SignalsHeld() { releaseSignals(); }
};

}  // namespace

bool replaceFileWith(const std::string& target, const std::string& content, AtLink atLink) {
    std::string temp;
    std::FILE* file = createTempFileBeside(target, temp, atLink);
    if (file == nullptr) return false;
    const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    const int writeError = errno;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed || !replaceFile(temp, target, atLink)) {
        const int error = written ? errno : writeError;
        removeFile(temp);
        errno = error;
        return false;
    }
    return true;
}

bool rewriteFileInPlace(const std::string& target, const std::string& content) {
    // Only a plain file: a device could be read without end.
    std::error_code error;
    if (target.empty() || !std::filesystem::is_regular_file(target, error)) return false;
    std::string old;
    if (!readWhole(target, old)) return false;
    const SignalsHeld held;
    if (writeWhole(target, content)) return true;
    writeWhole(target, old);
    return false;
}

}  // namespace platform
