// linkora backup: every controller of an inventory uploaded by the
// program's own unattended upload, one process per line at a time, the
// results compared with the backups in the folder and the changes committed.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "common/progress.h"
#include "fleet/backup.h"
#include "fleet/inventory.h"
#include "fleet/posix_backup_jobs.h"
#include "fleet/posix_folder.h"
#include "fleet/posix_history.h"
#include "fleet/posix_processes.h"
#include "fleet/site.h"
#include "image/image_compare.h"
#include "platform/files.h"

namespace fleet {

namespace {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitCommandLine = 2;
constexpr int kExitFolder = 5;
constexpr int kMaxJobs = 64;
constexpr int kDefaultJobsLimit = 16;
constexpr int kDefaultGitTimeout = 300;
constexpr long kMaxGitTimeout = 86400;
constexpr std::size_t kReasonCapture = 16 * 1024;
struct Options {
    std::string inventory;
    std::string into;
    std::string report;
    std::string site;
    int jobs = 0;
    int gitTimeout = kDefaultGitTimeout;
    bool push = false;
};

void usage() { std::fputs(kBackupUsage, stderr); }

std::string parseArguments(const std::vector<std::string>& args, Options& o) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) -> bool {
            if (i + 1 >= args.size() || args[i + 1].empty()) return false;
            out = args[++i];
            return true;
        };
        if (a == "--into") {
            if (!value(o.into)) return "--into needs a folder";
        } else if (a == "--report") {
            if (!value(o.report)) return "--report needs a file name";
        } else if (a == "--site") {
            if (!value(o.site)) return "--site needs a folder";
        } else if (a == "--jobs" || a == "--git-timeout") {
            const bool jobs = a == "--jobs";
            const long most = jobs ? kMaxJobs : kMaxGitTimeout;
            const std::string range = "1.." + std::to_string(most) + (jobs ? "" : " seconds");
            std::string n;
            if (!value(n)) return a + " needs a number (" + range + ")";
            char* end = nullptr;
            errno = 0;
            const long number = std::strtol(n.c_str(), &end, 10);
            if (errno != 0 || *end != '\0' || number < 1 || number > most) return a + " takes " + range + ", not " + n;
            (jobs ? o.jobs : o.gitTimeout) = static_cast<int>(number);
        } else if (a == "--push") {
            o.push = true;
        } else if (!a.empty() && a[0] == '-') {
            return "unknown option " + a;
        } else if (o.inventory.empty()) {
            o.inventory = a;
        } else {
            return "one inventory only (" + o.inventory + ", " + a + ")";
        }
    }
    if (o.inventory.empty()) return "no inventory given";
    return {};
}

// The inventory: a regular file of at most kMaxInventoryBytes. It may be
// reached through a link (it lies outside the backup folder), but a FIFO or
// a device is never waited for.
bool readInventory(const std::string& path, std::string& text, std::string& problem) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        problem = path + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        problem = path + " is " + kindOf(st.st_mode) + ", not a file";
        ::close(fd);
        return false;
    }
    const bool read = readOpenFile(fd, path, kMaxInventoryBytes, text, problem);
    ::close(fd);
    if (problem == path + " is larger than " + std::to_string(kMaxInventoryBytes) + " bytes") {
        problem = path + ": larger than 1 MiB (an inventory is at most 1 MiB and " +
                  std::to_string(kMaxInventoryEntries) + " controllers)";
    }
    return read;
}

std::string realPathOr(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : path;
}

std::string lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    return text;
}

// Entries on one port: the same device once COMn and symbolic links are
// resolved, or the same network address.
std::string portKey(const InventoryEntry& e) {
    if (e.portKind == PortKind::Network) return "net " + lower(e.port.substr(e.port.find("://") + 3));
    std::string device = e.port;
    if (e.portKind == PortKind::Com) {
        const int n = e.port[3] - '0';
        const std::string variable = "LINKORA_COM" + std::to_string(n);
        const char* mapped = std::getenv(variable.c_str());
        device = mapped != nullptr && *mapped != '\0' ? std::string(mapped) : "/dev/ttyS" + std::to_string(n - 1);
    }
    return "dev " + realPathOr(device);
}

std::string ownProgram() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return {};
    return std::string(buffer, static_cast<std::size_t>(n));
}

// ---- signals: the first ends the run after the uploads under way, which
// get it too; nothing new starts. A git call under way then ends at once (git
// leads a process group of its own, so the terminal's signal misses it).
int signalPipe[2] = {-1, -1};
volatile sig_atomic_t stopSignal = 0;

void onSignal(int number) {
    if (stopSignal == 0) stopSignal = number;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

void catchSignals() {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &action, nullptr);
}

class Run {
public:
    Run(const Options& o, std::vector<InventoryEntry>& entries, std::string dir)
        : options_(o), entries_(entries), dir_(std::move(dir)) {}
    int uploadAll();
    void printResult(const Job& job);
    const std::vector<std::unique_ptr<Job>>& jobs() const { return jobs_; }
    bool interrupted() const { return stopSignal != 0; }

private:
    bool start(Job& job);
    void finish(Job& job);
    void showStatus(bool force);
    void clearStatus();

    const Options& options_;
    std::vector<InventoryEntry>& entries_;
    std::string dir_;
    std::string self_;
    std::vector<std::unique_ptr<Job>> jobs_;
    std::vector<Job*> running_;
    bool terminal_ = ::isatty(STDOUT_FILENO) == 1;
    bool statusShown_ = false;
    int done_ = 0;
    std::chrono::steady_clock::time_point began_ = std::chrono::steady_clock::now();
};

bool Run::start(Job& job) {
    const InventoryEntry& e = *job.entry;
    job.startedAt = std::chrono::steady_clock::now();
    // A backup that is a link, a FIFO, a device or a folder is never opened.
    if (!(job.reason = leftAlone(job)).empty()) {
        job.result = "failed";
        return false;
    }
    platform::removeFile(job.temp);
    std::vector<std::string> argv{self_, "u", std::to_string(e.unit), e.port, std::to_string(e.baud), job.temp};
    if (!e.characterFormat.empty()) argv.push_back(e.characterFormat);
    std::vector<std::string> set;
    if (e.protocol != "auto") set.push_back("LINKORA_PROTOCOL=" + e.protocol);
    const std::vector<std::string> env = environmentWith({"LINKORA_PROTOCOL"}, set);
    if (!startProgram(argv, env, false, job.process)) {
        job.status = -1;
        job.err = std::string("linkora: cannot start ") + self_ + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void Run::clearStatus() {
    if (!statusShown_) return;
    std::fputs("\r\x1b[K", stdout);
    statusShown_ = false;
}

void Run::showStatus(bool force) {
    if (!terminal_ || (!force && !statusShown_)) return;
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - began_).count();
    char took[progress::kDurationSize];
    progress::formatDuration(elapsed, took, sizeof took);
    std::string line = std::to_string(done_) + " of " + std::to_string(jobs_.size()) + " done, " + took;
    if (!running_.empty()) {
        line += "; under way:";
        for (const Job* j : running_) line += " " + j->entry->name;
    }
    if (line.size() > 79) line = line.substr(0, 76) + "...";
    std::printf("\r\x1b[K%s", line.c_str());
    std::fflush(stdout);
    statusShown_ = true;
}

void Run::printResult(const Job& job) {
    clearStatus();
    const std::string& name = job.entry->name;
    if (job.result == "changed") {
        std::printf("%s: changed, %d value%s\n", name.c_str(), job.changedValues, job.changedValues == 1 ? "" : "s");
    } else if (job.result == "failed") {
        std::printf("%s: failed: %s\n", name.c_str(), job.reason.c_str());
    } else {
        std::printf("%s: %s\n", name.c_str(), job.result.c_str());
    }
    for (const std::string& line : job.differences) std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

void Run::finish(Job& job) {
    job.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - job.startedAt).count();
    if (job.result.empty()) settle(job);
    ++done_;
    printResult(job);
}

int Run::uploadAll() {
    self_ = ownProgram();
    // Groups of entries on one port, in the order of their first entry.
    std::vector<std::vector<Job*>> groups;
    std::vector<std::string> keys;
    for (const InventoryEntry& e : entries_) {
        auto job = std::make_unique<Job>();
        job->entry = &e;
        job->key = portKey(e);
        job->target = dir_ + "/" + e.name + ".DAT";
        job->temp = dir_ + "/" + kOwnPrefix + "." + e.name + ".upload";
        const auto at = std::find(keys.begin(), keys.end(), job->key);
        if (at == keys.end()) {
            keys.push_back(job->key);
            groups.push_back({job.get()});
        } else {
            groups[static_cast<std::size_t>(at - keys.begin())].push_back(job.get());
        }
        jobs_.push_back(std::move(job));
    }
    const int limit = options_.jobs > 0 ? options_.jobs : std::min(static_cast<int>(groups.size()), kDefaultJobsLimit);
    std::vector<std::size_t> nextOf(groups.size(), 0);
    std::vector<bool> busy(groups.size(), false);
    std::vector<std::size_t> groupOfRunning;

    for (;;) {
        // Start what may start: one upload per port, at most `limit` at once.
        for (std::size_t g = 0; g < groups.size() && !interrupted(); ++g) {
            while (!busy[g] && nextOf[g] < groups[g].size() && static_cast<int>(running_.size()) < limit) {
                Job& job = *groups[g][nextOf[g]++];
                if (start(job)) {
                    busy[g] = true;
                    running_.push_back(&job);
                    groupOfRunning.push_back(g);
                } else {
                    finish(job);
                }
            }
        }
        if (running_.empty()) break;
        showStatus(true);

        std::vector<pollfd> fds;
        for (const Job* j : running_) fds.push_back({j->process.errFd, POLLIN, 0});
        fds.push_back({signalPipe[0], POLLIN, 0});
        const int n = ::poll(fds.data(), fds.size(), terminal_ ? 1000 : -1);
        if (n < 0 && errno != EINTR) break;
        if (n <= 0) continue;
        if ((fds.back().revents & POLLIN) != 0) {
            char drain[16];
            while (::read(signalPipe[0], drain, sizeof drain) > 0) {}
            // The uploads under way end at their next exchange, as an
            // interrupted upload does: the controller restarted, no file.
            for (const Job* j : running_) ::kill(j->process.pid, stopSignal);
        }
        for (std::size_t i = running_.size(); i-- > 0;) {
            Job& job = *running_[i];
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            if (readInto(job.process.errFd, job.err, kReasonCapture)) continue;
            ::close(job.process.errFd);
            job.status = waitProgram(job.process.pid);
            busy[groupOfRunning[i]] = false;
            running_.erase(running_.begin() + static_cast<std::ptrdiff_t>(i));
            groupOfRunning.erase(groupOfRunning.begin() + static_cast<std::ptrdiff_t>(i));
            finish(job);
        }
    }
    clearStatus();
    // Entries never started after a signal.
    for (auto& job : jobs_) {
        if (job->result.empty()) {
            job->result = "failed";
            job->reason = "not started: the backup was interrupted";
            ++done_;
            printResult(*job);
        }
    }
    return 0;
}

}  // namespace

int backupCommand(const std::vector<std::string>& args) {
    Options options;
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(kBackupUsage, stdout);
        return kExitDone;
    }
    const std::string problem = parseArguments(args, options);
    if (!problem.empty()) {
        std::fprintf(stderr, "linkora: backup: %s\n", problem.c_str());
        usage();
        return kExitCommandLine;
    }

    std::string text, unread;
    if (!readInventory(options.inventory, text, unread)) {
        std::fprintf(stderr, "linkora: %s\n", unread.c_str());
        std::fprintf(stderr, "linkora: backup: nothing backed up\n");
        return kExitCommandLine;
    }
    std::vector<InventoryError> errors;
    std::vector<InventoryEntry> entries = parseInventory(text, errors);
    if (!errors.empty()) {
        for (const InventoryError& e : errors) {
            if (e.line > 0) {
                std::fprintf(stderr, "%s:%d: error: %s\n", options.inventory.c_str(), e.line, e.what.c_str());
            } else {
                std::fprintf(stderr, "%s: error: %s\n", options.inventory.c_str(), e.what.c_str());
            }
        }
        std::fprintf(stderr, "linkora: backup: nothing backed up\n");
        return kExitCommandLine;
    }

    const std::string git = findOnPath("git");
    if (git.empty()) {
        std::fprintf(stderr, "linkora: backup: git is not on PATH; the history needs it (apt install git)\n");
        return kExitFolder;
    }

    std::string dir = options.into.empty() ? folderOf(options.inventory) : options.into;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 && ::mkdir(dir.c_str(), 0755) != 0) {
        std::fprintf(stderr, "linkora: %s: %s\n", dir.c_str(), std::strerror(errno));
        return kExitFolder;
    }
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || ::access(dir.c_str(), W_OK | X_OK) != 0) {
        std::fprintf(stderr, "linkora: %s: %s\n", dir.c_str(),
                     S_ISDIR(st.st_mode) ? std::strerror(errno) : "not a folder");
        return kExitFolder;
    }
    // The folder is this user's alone, as ssh wants its own folder: whoever
    // else could write it could plant what git or the backup would follow.
    if (const std::string owner = ownershipProblem(dir, st); !owner.empty()) {
        std::fprintf(stderr, "linkora: backup: %s\n", owner.c_str());
        return kExitFolder;
    }

    // One run at a time on a folder. The lock is inherited by the uploads and
    // git, so that it lasts until the last child of a killed run has ended.
    const std::string lockPath = dir + "/" + kOwnPrefix + ".lock";
    std::string error;
    const int lock = openRegular(lockPath, O_RDWR | O_CREAT, error, 0644);
    if (lock < 0) {
        std::fprintf(stderr, "linkora: %s\n", error.c_str());
        return kExitFolder;
    }
    ::fcntl(lock, F_SETFD, 0);
    if (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
        std::fprintf(stderr, "linkora: backup: %s is locked by another backup run\n", dir.c_str());
        ::close(lock);
        return kExitFolder;
    }

    History history(git, dir, options.gitTimeout, dir + "/" + kOwnPrefix + ".push");
    std::vector<std::string> notes;
    const bool opened = history.open(notes, error);
    for (const std::string& note : notes) std::fprintf(stderr, "linkora: %s: %s\n", dir.c_str(), note.c_str());
    if (!opened || !history.prepare({std::string("/") + kOwnPrefix + "*", "/.linkora.*"}, error)) {
        std::fprintf(stderr, "linkora: %s: %s\n", dir.c_str(), error.c_str());
        return kExitFolder;
    }

    catchSignals();
    history.endOn(signalPipe[0]);
    const auto began = std::chrono::steady_clock::now();
    Run run(options, entries, dir);
    run.uploadAll();

    int counts[4] = {};  // unchanged, changed, new, failed
    std::vector<std::string> files;
    for (const auto& job : run.jobs()) {
        static const char* const kResults[] = {"unchanged", "changed", "new", "failed"};
        for (int i = 0; i < 4; ++i) counts[i] += job->result == kResults[i] ? 1 : 0;
        // Every backup of the inventory that differs from the last commit
        // goes in, also one that an earlier run replaced and could not commit.
        struct stat file {};
        if (::lstat(job->target.c_str(), &file) == 0 && S_ISREG(file.st_mode))
            files.push_back(job->entry->name + ".DAT");
    }
    int status = counts[3] > 0 ? kExitFailed : kExitDone;
    std::vector<std::string> committed;
    std::string commitId;
    if (!history.stage(files, committed, error)) {
        std::fprintf(stderr, "linkora: %s: %s\n", dir.c_str(), error.c_str());
        status = kExitFolder;
    } else if (!committed.empty()) {
        std::string body;
        for (const auto& job : run.jobs()) {
            const std::string file = job->entry->name + ".DAT";
            if (std::find(committed.begin(), committed.end(), file) == committed.end()) continue;
            if (job->result == "changed") {
                body += job->entry->name + ": changed, " + std::to_string(job->changedValues) + " value" +
                        (job->changedValues == 1 ? "" : "s") + "\n";
            } else if (job->result == "new") {
                body += job->entry->name + ": new\n";
            } else {
                body += job->entry->name + ": replaced by an earlier run that could not commit it\n";
            }
        }
        const std::string subject = "linkora backup: " + std::to_string(counts[1]) + " changed, " +
                                    std::to_string(counts[2]) + " new, " + std::to_string(counts[3]) + " failed";
        if (!history.commit(committed, subject, body, error)) {
            std::fprintf(stderr, "linkora: %s: %s\n", dir.c_str(), error.c_str());
            status = kExitFolder;
            committed.clear();
        } else {
            commitId = history.head();
        }
    }

    std::string pushed;
    if (options.push && status != kExitFolder) {
        if (!history.push(pushed, error)) {
            std::fprintf(stderr, "linkora: %s: %s\n", dir.c_str(), error.c_str());
            if (status == kExitDone) status = kExitFailed;
        } else if (!commitId.empty()) {
            commitId = history.head();  // a rebase gives the commit a new id
        }
    }
    for (const auto& job : run.jobs()) {
        const std::string file = job->entry->name + ".DAT";
        if (!commitId.empty() && std::find(committed.begin(), committed.end(), file) != committed.end()) {
            job->commit = commitId;
        }
    }

    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    char duration[progress::kDurationSize];
    progress::formatDuration(took, duration, sizeof duration);
    std::printf("linkora backup: %zu controller%s, %d unchanged, %d changed, %d new, %d failed, %s\n",
                run.jobs().size(), run.jobs().size() == 1 ? "" : "s", counts[0], counts[1], counts[2], counts[3],
                duration);
    if (!commitId.empty())
        std::printf("linkora backup: commit %s in %s\n", commitId.substr(0, 12).c_str(), dir.c_str());
    if (!pushed.empty()) std::printf("linkora backup: %s\n", pushed.c_str());
    std::fflush(stdout);

    if (!options.report.empty() && !writeReport(options.report, run.jobs(), error)) {
        std::fprintf(stderr, "linkora: report: %s\n", error.c_str());
        if (status == kExitDone || status == kExitFailed) status = kExitFolder;
    }
    if (!run.interrupted() && !options.site.empty() &&
        writeSite(entries, dir, options.report, options.site, options.gitTimeout) != kExitDone && status == kExitDone)
        status = kExitFolder;
    if (run.interrupted()) return 128 + stopSignal;
    return status;
}

}  // namespace fleet
