#pragma once
#include <cstdio>
#include <string>

namespace platform {

// Creates a new, empty file in the same directory as `target` (so that it
// can later replace the target in one step) and opens it for writing in
// binary mode. Stores its name in `tempPath`. Returns nullptr on failure,
// with nothing created.
std::FILE* createTempFileBeside(const std::string& target, std::string& tempPath);

// Puts the closed file `source` in the place of `target`, replacing a target
// that exists: readers see either the old or the new file, never a part of
// one. On failure `target` is untouched and `source` is left where it is.
bool replaceFile(const std::string& source, const std::string& target);

// Deletes a file; false when it could not be deleted.
bool removeFile(const std::string& path);

}  // namespace platform
