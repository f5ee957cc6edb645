#pragma once
// The files of a backup folder, which others may have planted: opened
// without following links and only when they are regular files, the folder
// and its repository owned by the user that runs the backup.
#include <sys/stat.h>

#include <string>
#include <vector>

namespace fleet {

// What a file that is not a regular one is: "a symbolic link", "a folder",
// "a FIFO", "a device", "a socket".
std::string kindOf(mode_t mode);

// Empty when `path` is a regular file or is not there; otherwise
// "<shown> is a symbolic link, not a file" and so on. Nothing is opened.
std::string notRegular(const std::string& path, const std::string& shown);

// Opens `path` without following a link, and only when it is a regular file
// (a FIFO or a device is never opened). With O_CREAT in `flags` a file that
// is not there is made with `mode`. -1 with `problem` otherwise.
int openRegular(const std::string& path, int flags, std::string& problem, mode_t mode = 0644);

// The rest of an open file, at most `limit` bytes; false with `problem` (which
// names `path`) when it cannot be read or is larger.
bool readOpenFile(int fd, const std::string& path, std::size_t limit, std::string& text, std::string& problem);

// The whole of a regular file, at most `limit` bytes; false with `problem`
// when it is not one, cannot be read or is larger.
bool readRegular(const std::string& path, std::size_t limit, std::string& text, std::string& problem);

// Empty when the folder or file `path` (with its `st`) belongs to this user
// and nobody else may write it; otherwise what is wrong with it.
std::string ownershipProblem(const std::string& path, const struct stat& st);

// Removes the lock files of a git that was stopped: index.lock, HEAD.lock
// and any refs/**.lock in `gitDir`, never following a link. `removed` gets
// their names below `gitDir`.
void removeStaleGitLocks(const std::string& gitDir, std::vector<std::string>& removed);

// An inventory: a regular file of at most 1 MiB. It may be reached through a
// link (it lies outside the backup folder), but a FIFO or a device is never
// waited for. False with `problem` naming `path`.
bool readInventoryFile(const std::string& path, std::string& text, std::string& problem);

}  // namespace fleet
