#pragma once
// One controller of a backup run: its upload's job, how the finished upload
// is set against the backup (settle), and the report of the whole run.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "fleet/inventory.h"
#include "fleet/posix_history.h"
#include "fleet/posix_processes.h"
#include "image/image_compare.h"

namespace fleet {

// The backup's own files in the folder, all beginning with this prefix
// (never the ".linkora." of an upload's temporary file).
inline constexpr char kOwnPrefix[] = ".linkora-backup";

// What became of one controller in a run; `pending` until it is known.
enum class Outcome { pending, unchanged, changed, added, failed };
// The outcome's word in the result lines and the report ("new" for added).
const char* outcomeWord(Outcome outcome);

struct Job {
    const InventoryEntry* entry = nullptr;
    std::string key;
    std::string target;  // DIR/NAME.DAT
    std::string temp;    // what the upload writes
    std::string dir;
    // The last backup: NAME.DAT in the last commit, its bytes (`committed`)
    // when the file in the folder differs from it.
    bool inHead = false;
    bool headDiffers = false;
    std::string committed;
    // The outcome.
    Outcome result = Outcome::pending;
    std::string reason;
    std::vector<std::string> notes;  // after the result: found stopped, a hand edit kept
    bool stopped = false;            // found stopped, or its restart not confirmed
    int tries = 0;
    long long lastBackedUp = 0;  // seconds since 1970, 0 never
    bool stale = false;
    std::string written;  // the hash of what this run put in place as NAME.DAT
    int status = -1;      // of the upload; -1 not started
    std::unique_ptr<ImageCopy> uploaded;
    int changedValues = 0;
    std::vector<std::string> differences;
    // The approved version, where there is one, and how far the file the
    // controller holds is from it (-1 unknown).
    const Approval* approval = nullptr;
    int approvedDiffers = -1;
    std::vector<std::string> approvedLines;
    double seconds = 0;
    std::string commit;
    // While it runs.
    Started process;
    bool signalled = false;  // the run's signal passed on to it
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

// The values that change lines change: a '-' line and the '+' line after it
// count once, a lone line once.
int countChanges(const std::vector<DifferenceLine>& lines);

// A file set against its approved version: `values` counted as the change
// lines count them, -1 when the approved file cannot be read.
struct Drift {
    int values = -1;
    std::vector<DifferenceLine> lines;
};
Drift driftFrom(History& history, const Approval& approval, const ImageCopy& now);

// What the report says of the run as a whole.
struct RunRecord {
    long long started = 0;  // seconds since 1970
    long long ended = 0;
    std::string host;
    std::string inventory;
    std::string dir;
    int status = 0;
    std::string reason;  // empty: none
    std::string push = "off";
    int counts[5] = {};  // unchanged, changed, new, failed, stopped
};

// "2026-12-08T03:00:12Z"
std::string isoTime(long long seconds);

// The report file: the run's record, then one JSON object per controller and
// line, written beside its place and put there in one step. False, with
// `error`, when it cannot be.
bool writeReport(const std::string& path, const RunRecord& run, const std::vector<std::unique_ptr<Job>>& jobs,
                 std::string& error);

// `text` put at `path` in one step: the platform's temporary file beside
// it, renamed over it; a link at `path` is replaced, never written through.
bool replaceFile(const std::string& path, const std::string& text, std::string& error);

// A hash of a file's bytes, as the state of the folder records it.
std::string contentHash(const std::string& bytes);

}  // namespace fleet
