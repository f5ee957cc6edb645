#pragma once
#include <cstddef>
#include <cstdio>
#include <string>

namespace platform {

// What replacing a file does with a symbolic link at its place: the file the
// link names is replaced and the link stays (as when the file is simply
// rewritten), or the link itself is replaced and never followed (a folder
// whose links are not to be trusted). Windows knows only the first.
enum class AtLink { followed, replaced };

// Creates a new, empty file in the same directory as `target` (so that it
// can later replace the target in one step) and opens it for writing in
// binary mode. Stores its name in `tempPath`. Returns nullptr on failure,
// with nothing created.
//
// The temporary-file rule (POSIX): the file is created under another name,
// locked, and only then given its recognisable name ".linkora.XXXXXX"; the
// lock is held until replaceFile() or removeFile() and ends with the
// process. Where locks are not supported the file keeps its first name
// (".linkora-new.XXXXXX"), which no cleaner removes.
std::FILE* createTempFileBeside(const std::string& target, std::string& tempPath, AtLink atLink = AtLink::followed);

// Removes the temporary files of writers that are gone from the directory
// of `target`: plain files of this user named ".linkora.XXXXXX" whose lock
// can be taken. A file whose lock is held (a live writer, also in another
// process) stays; where locks are not supported nothing is removed. Returns
// how many were removed. On Windows it removes nothing.
int removeStaleTempFilesBeside(const std::string& target);

// Puts the closed file `source` in the place of `target`, replacing a target
// that exists: readers see either the old or the new file, never a part of
// one. On failure `target` is untouched and `source` is left where it is.
bool replaceFile(const std::string& source, const std::string& target, AtLink atLink = AtLink::followed);

// `content` put at `target` in one step: a temporary file beside it,
// written, then put in its place. False, with errno, when it cannot be;
// then no temporary file is left.
bool replaceFileWith(const std::string& target, const std::string& content, AtLink atLink = AtLink::followed);

// Deletes a file; false when it could not be deleted.
bool removeFile(const std::string& path);

// Rewrites the existing file `target` with `content` where it stands, for a
// folder in which no file can be created beside it. The old content is read
// first and the signals that would end the program are held off while the
// file is written; when a write fails the old content is written back. Not
// atomic: a power loss during the write can still cut the file. False when
// the file could not be read or rewritten.
bool rewriteFileInPlace(const std::string& target, const std::string& content);

// Holds off the signals that would end the program (interrupt, terminate,
// hang-up, quit) until releaseSignals(), which delivers what arrived
// meanwhile. Both do nothing where there are no such signals.
void holdSignals();
void releaseSignals();

// A stream for writing whose bytes are kept in memory, so that text can be
// formatted before any file is touched.
class MemoryFile {
public:
    MemoryFile();
    ~MemoryFile();
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    // nullptr when the stream could not be opened.
    std::FILE* file() const { return file_; }
    // Closes the stream and hands over what was written; false when writing
    // failed.
    bool take(std::string& content);

private:
    std::FILE* file_ = nullptr;
    char* buffer_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace platform
