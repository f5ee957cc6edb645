// Replacing a file in one step on Windows: a temporary file in the target's
// directory, then MoveFileExA with MOVEFILE_REPLACE_EXISTING.
#include <windows.h>

#include <cstdio>

#include "platform/files.h"

namespace platform {

namespace {

// The directory of `path` as GetTempFileNameA wants it: "." for a bare name,
// the drive for "C:name", the root kept as "\" or "C:\".
std::string directoryPart(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    const bool drive = path.size() >= 2 && path[1] == ':';
    if (slash == std::string::npos) return drive ? path.substr(0, 2) : std::string(".");
    if (slash == 0 || (drive && slash == 2)) return path.substr(0, slash + 1);
    return path.substr(0, slash);
}

}  // namespace

std::FILE* createTempFileBeside(const std::string& target, std::string& tempPath, AtLink) {
    tempPath.clear();
    if (target.empty()) return nullptr;
    const std::string directory = directoryPart(target);
    // The name is up to MAX_PATH characters; the directory must leave room
    // for the 14 the system adds.
    if (directory.size() > MAX_PATH - 14) return nullptr;
    char name[MAX_PATH + 1] = {};
    if (GetTempFileNameA(directory.c_str(), "lko", 0, name) == 0) return nullptr;
    std::FILE* file = std::fopen(name, "wb");
    if (file == nullptr) {
        DeleteFileA(name);
        return nullptr;
    }
    tempPath = name;
    return file;
}

// The temporary files here carry the system's own names and are not told
// apart from a live writer's: nothing is removed.
int removeStaleTempFilesBeside(const std::string&) { return 0; }

bool replaceFile(const std::string& source, const std::string& target, AtLink) {
    if (source.empty() || target.empty()) return false;
    return MoveFileExA(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool removeFile(const std::string& path) { return !path.empty() && DeleteFileA(path.c_str()) != 0; }

// Nothing to hold here: Ctrl+C reaches the program through its console
// control handler.
void holdSignals() {}
void releaseSignals() {}

// No memory streams here: a temporary file of the system's stands in.
MemoryFile::MemoryFile() { file_ = std::tmpfile(); }

MemoryFile::~MemoryFile() {
    if (file_ != nullptr) std::fclose(file_);
}

bool MemoryFile::take(std::string& content) {
    if (file_ == nullptr) return false;
    bool ok = std::fflush(file_) == 0 && std::ferror(file_) == 0;
    std::rewind(file_);
    content.clear();
    char chunk[4096];
    std::size_t got = 0;
    while (ok && (got = std::fread(chunk, 1, sizeof chunk, file_)) > 0) content.append(chunk, got);
    ok = ok && std::ferror(file_) == 0;
    std::fclose(file_);
    file_ = nullptr;
    return ok;
}

}  // namespace platform
