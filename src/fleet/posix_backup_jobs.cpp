#include "fleet/posix_backup_jobs.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <sstream>

#include "fleet/posix_folder.h"
#include "image/field_names.h"
#include "platform/files.h"

namespace fleet {

namespace {

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u%04x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// The upload's reason for failing: its first "linkora: " line on standard
// error, without that prefix.
std::string failureReason(const std::string& err, int status) {
    std::istringstream lines(err);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("linkora: ", 0) == 0 && line.size() > 9) return line.substr(9);
    }
    if (status == -1) return "the upload could not be started";
    if (status >= 128) return "the upload ended by signal " + std::to_string(status - 128);
    return "the upload ended with status " + std::to_string(status);
}

// The largest data file the backup reads.
constexpr std::size_t kMaxDataFile = 16 * 1024 * 1024;

// A data file's bytes read as one: 0 done, 1 it cannot be read, 2 it is no
// data file.
int loadText(const std::string& bytes, std::unique_ptr<ImageCopy>& out) {
    std::string copy = bytes.empty() ? std::string(1, '\n') : bytes;
    std::FILE* file = ::fmemopen(copy.data(), copy.size(), "rb");
    if (file == nullptr) return 1;
    const int result = loadDataFile(file, out);
    std::fclose(file);
    return result;
}

// The upload put in the place of the backup in one step: rename() replaces
// the name itself and never writes through a link.
bool putInPlace(const std::string& temp, const std::string& target) {
    std::string problem;
    const int fd = openRegular(temp, O_RDONLY, problem);
    if (fd < 0) {
        errno = EINVAL;
        return false;
    }
    ::fsync(fd);
    ::close(fd);
    if (::rename(temp.c_str(), target.c_str()) != 0) return false;
    const int folder = ::open(folderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return true;
}

// The upload's statuses that leave a complete file: 0 done; 8 done, the
// controller found stopped; 9 done, its restart not confirmed.
bool uploadLeftCompleteFile(int status) { return status == 0 || status == 8 || status == 9; }

// The approved version in the report: null when there is none.
std::string approvedRecord(const Job& job) {
    if (job.approval == nullptr) return "null";
    const Approval& a = *job.approval;
    return "{\"commit\":" + jsonString(a.commit) + ",\"date\":" + jsonString(isoTime(a.date)) +
           ",\"by\":" + jsonString(a.by) +
           ",\"differs\":" + (job.approvedDiffers < 0 ? "null" : std::to_string(job.approvedDiffers)) + "}";
}

}  // namespace

int countChanges(const std::vector<DifferenceLine>& lines) {
    int count = 0;
    for (std::size_t i = 0; i < lines.size(); ++i, ++count) {
        if (lines[i].sign == '-' && i + 1 < lines.size() && lines[i + 1].sign == '+') ++i;
    }
    return count;
}

const char* outcomeWord(Outcome outcome) {
    switch (outcome) {
        case Outcome::unchanged: return "unchanged";
        case Outcome::changed: return "changed";
        case Outcome::added: return "new";
        case Outcome::failed: return "failed";
        case Outcome::pending: break;
    }
    return "pending";
}

std::string leftAlone(const Job& job) {
    const std::string problem = notRegular(job.target, job.entry->name + ".DAT");
    return problem.empty() ? problem : problem + "; it is left alone";
}

void settle(Job& job) {
    if (!uploadLeftCompleteFile(job.status)) {
        job.result = Outcome::failed;
        job.reason = failureReason(job.err, job.status);
        platform::removeFile(job.temp);
        return;
    }
    std::unique_ptr<ImageCopy> uploaded;
    std::string bytes, problem;
    if (!readRegular(job.temp, kMaxDataFile, bytes, problem) || loadText(bytes, uploaded) != 0) {
        job.result = Outcome::failed;
        job.reason = "the upload left no data file";
        platform::removeFile(job.temp);
        return;
    }
    // The file is what the controller holds, also when it stands stopped.
    if (job.status == 8) {
        job.stopped = true;
        job.notes.push_back("the controller was found stopped: it may hold an unfinished download");
    } else if (job.status == 9) {
        job.stopped = true;
        job.notes.push_back("its restart was not confirmed");
    }
    struct stat st {};
    const bool exists = ::lstat(job.target.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        job.result = Outcome::failed;
        job.reason = leftAlone(job);
        platform::removeFile(job.temp);
        return;
    }
    // Set against the last commit, never against the file in the folder.
    std::string committed;
    const bool haveCommitted =
        job.inHead && (job.headDiffers ? (committed = job.committed, true)
                                       : readRegular(job.target, kMaxDataFile, committed, problem));
    if (haveCommitted) {
        std::unique_ptr<ImageCopy> old;
        if (loadText(committed, old) == 0) {
            const Comparison comparison = compareImages(*old, *uploaded, CompareScope::Files);
            if (comparison.lines.empty()) {
                job.result = Outcome::unchanged;
                job.uploaded = std::move(uploaded);
                platform::removeFile(job.temp);
                // The folder's file back at the last commit, which the
                // controller holds.
                if (job.headDiffers) {
                    if (!replaceFile(job.target, committed, problem)) {
                        job.result = Outcome::failed;
                        job.reason = problem;
                    } else {
                        job.written = contentHash(committed);
                    }
                }
                return;
            }
            job.changedValues = countChanges(comparison.lines);
            for (const DifferenceLine& d : comparison.lines) job.differences.push_back("  " + formatChange(d, ""));
        } else {
            job.differences.push_back("  (the earlier " + job.entry->name + ".DAT was not a data file)");
        }
    }
    if (!putInPlace(job.temp, job.target)) {
        job.result = Outcome::failed;
        job.reason = job.target + ": cannot be replaced: " + std::strerror(errno);
        job.differences.clear();
        job.changedValues = 0;
        platform::removeFile(job.temp);
        return;
    }
    job.written = contentHash(bytes);
    job.result = haveCommitted ? Outcome::changed : Outcome::added;
    job.uploaded = std::move(uploaded);
}

Drift driftFrom(History& history, const Approval& approval, const ImageCopy& now) {
    Drift drift;
    std::string text, error;
    std::unique_ptr<ImageCopy> then;
    if (!history.fileAt(approval.commit, approval.name + ".DAT", text, error) || loadText(text, then) != 0)
        return drift;
    drift.lines = compareImages(*then, now, CompareScope::Files).lines;
    drift.values = countChanges(drift.lines);
    return drift;
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string isoTime(long long seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm utc{};
    ::gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string contentHash(const std::string& bytes) {
    // FNV-1a, 64 bits.
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char c : bytes) {
        hash ^= c;
        hash *= 0x100000001b3ULL;
    }
    char text[24];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

bool writeReport(const std::string& path, const RunRecord& run, const std::vector<std::unique_ptr<Job>>& jobs,
                 std::string& error) {
    static const char* const kCounts[] = {"unchanged", "changed", "new", "failed", "stopped"};
    std::string text = "{\"run\": {\"started\":" + jsonString(isoTime(run.started)) +
                       ",\"ended\":" + jsonString(isoTime(run.ended)) + ",\"host\":" + jsonString(run.host) +
                       ",\"inventory\":" + jsonString(run.inventory) + ",\"dir\":" + jsonString(run.dir) +
                       ",\"status\":" + std::to_string(run.status) +
                       ",\"reason\":" + (run.reason.empty() ? "null" : jsonString(run.reason)) +
                       ",\"push\":" + jsonString(run.push) + ",\"controllers\":" + std::to_string(jobs.size());
    for (int i = 0; i < 5; ++i) text += std::string(",\"") + kCounts[i] + "\":" + std::to_string(run.counts[i]);
    text += "}}\n";
    for (const auto& job : jobs) {
        const InventoryEntry& e = *job->entry;
        const ImageCopy* up = job->uploaded.get();
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.3f", job->seconds);
        text += "{\"name\":" + jsonString(e.name) + ",\"port\":" + jsonString(e.port) +
                ",\"unit\":" + std::to_string(e.unit) + ",\"result\":" + jsonString(outcomeWord(job->result)) +
                ",\"reason\":" + (job->reason.empty() ? "null" : jsonString(job->reason)) +
                ",\"status\":" + (job->status < 0 ? "null" : std::to_string(job->status)) +
                ",\"stopped\":" + (job->stopped ? "true" : "false") +
                ",\"model\":" + (up ? std::to_string(up->image.model) : "null") +
                ",\"firmware\":" + (up ? std::to_string(up->image.firmwareRevision) : "null") +
                ",\"setpoints\":" + (up ? std::to_string(up->setpoints.size()) : "null") +
                ",\"changedValues\":" + std::to_string(job->changedValues) + ",\"seconds\":" + seconds +
                ",\"tries\":" + std::to_string(job->tries) +
                ",\"commit\":" + (job->commit.empty() ? "null" : jsonString(job->commit)) +
                ",\"lastBackedUp\":" + (job->lastBackedUp > 0 ? jsonString(isoTime(job->lastBackedUp)) : "null") +
                ",\"stale\":" + (job->stale ? "true" : "false") + ",\"approved\":" + approvedRecord(*job) + "}\n";
    }
    if (!replaceFile(path, text, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

bool replaceFile(const std::string& path, const std::string& text, std::string& error) {
    if (platform::replaceFileWith(path, text, platform::AtLink::replaced)) return true;
    error = std::strerror(errno);
    return false;
}

}  // namespace fleet
