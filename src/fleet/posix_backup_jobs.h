#pragma once
// One controller of a backup run: its upload's job, how the finished upload
// is set against the backup (settle), and the report of the whole run.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "fleet/inventory.h"
#include "fleet/posix_processes.h"
#include "image/image_compare.h"

namespace fleet {

// The backup's own files in the folder, all beginning with this prefix
// (never the ".linkora." of an upload's temporary file).
inline constexpr char kOwnPrefix[] = ".linkora-backup";

struct Job {
    const InventoryEntry* entry = nullptr;
    std::string key;
    std::string target;  // DIR/NAME.DAT
    std::string temp;    // what the upload writes
    // The outcome.
    std::string result;  // unchanged, changed, new, failed
    std::string reason;
    int status = -1;  // of the upload; -1 not started
    std::unique_ptr<ImageCopy> uploaded;
    int changedValues = 0;
    std::vector<std::string> differences;
    double seconds = 0;
    std::string commit;
    // While it runs.
    Started process;
    std::string err;
    std::chrono::steady_clock::time_point startedAt;
};

// The folder part of a path: "." when it has none.
std::string folderOf(const std::string& path);

// Empty when the backup NAME.DAT is a regular file or not there; otherwise
// why it is never opened ("NAME.DAT is a symbolic link, not a file; it is
// left alone").
std::string leftAlone(const Job& job);

// The finished upload set against the backup; the backup replaced when it
// differs. Fills in the job's outcome.
void settle(Job& job);

// The report file: one JSON object per controller and line, written beside
// its place and put there in one step. False, with `error`, when it cannot be.
bool writeReport(const std::string& path, const std::vector<std::unique_ptr<Job>>& jobs, std::string& error);

}  // namespace fleet
